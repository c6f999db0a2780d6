// The panel's symbols, drawn with QPainter at whatever size a button asks for, so they show
// without any system icon theme and stay sharp on any screen.
#pragma once

#include <QIcon>

namespace korvane::views {

enum class Symbol {
    Gear,                   // settings
    SpeakerWave,            // audio source, unmuted
    SpeakerSlash,           // muted
    Waveform,               // DAW input
    Play,                   // start audio, test sound
    Stop,                   // stop audio
    QuestionCircle,         // DAW setup help
    ExclamationCircle,      // the driver notice
    ExclamationCircleFill,  // an error
    ArrowsInward,           // compact view, exit full screen
    ArrowsOutward,          // expand, enter full screen
};

// Main thread (QIcon). Disabled icons are drawn dimmed.
QIcon icon(Symbol symbol);
// The symbol in one colour, `size` pixels, for a label beside a text of that colour.
QPixmap tintedSymbol(Symbol symbol, QSize size, const QColor& color);

}  // namespace korvane::views
