// Accessible interfaces for the panel's custom controls: the knob is an adjustable dial (value,
// increment, decrement), the meter bars and lamps report their value texts.
#pragma once

namespace korvane::views {

// Registers the interfaces with Qt's accessibility once per process. Main thread; idempotent.
void installAccessibility();

}  // namespace korvane::views
