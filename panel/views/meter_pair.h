// The two stereo meters: "INPUT · PRE-GAIN" (channels 0–1) and, below a divider,
// "DAW SEND · POST-GAIN" (channels 2–3). Bars follow the decaying meters; the level texts and
// clip lamps the held peaks. Either reset button clears all four held peaks.
#pragma once

#include "panel/views/presentation.h"
#include "panel/views/surface.h"

namespace korvane::views {

class Meter;

class MeterPair final : public Surface {
    Q_OBJECT
public:
    explicit MeterPair(AudioModel& audio, QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);

    Meter* input() const { return input_; }
    Meter* send() const { return send_; }

private:
    Meter* input_;
    Meter* send_;
};

}  // namespace korvane::views
