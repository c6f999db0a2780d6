#include "panel/views/meter_pair.h"

#include "panel/views/meter.h"

#include <QFrame>
#include <QVBoxLayout>

namespace korvane::views {

namespace {

std::array<Meter::Channel, 2> channels(const AudioModel& audio, std::size_t first) {
    std::array<Meter::Channel, 2> result;
    for (std::size_t side = 0; side < 2; ++side) {
        const std::size_t i = first + side;
        result[side].fraction = AudioModel::meterFraction(audio.meters()[i]);
        result[side].levelText = QString::fromStdString(AudioModel::levelText(audio.peakDisplay().peaks[i]));
        result[side].clipped = audio.peakDisplay().clipped[i];
    }
    return result;
}

}  // namespace

MeterPair::MeterPair(AudioModel& audio, QWidget* parent) : Surface(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);  // the surface pads
    column->setSpacing(10);
    input_ = new Meter(QStringLiteral("INPUT · PRE-GAIN"), this);
    send_ = new Meter(QStringLiteral("DAW SEND · POST-GAIN"), this);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    QPalette dividerPalette = divider->palette();
    dividerPalette.setColor(QPalette::WindowText, QColor::fromRgbF(1, 1, 1, 0.10));
    divider->setPalette(dividerPalette);
    column->addWidget(input_);
    column->addWidget(divider);
    column->addWidget(send_);
    for (Meter* meter : {input_, send_}) connect(meter, &Meter::resetRequested, this, [&audio] { audio.resetPeaks(); });
}

void MeterPair::refresh(const AudioModel& audio) {
    input_->setChannels(channels(audio, 0));
    send_->setChannels(channels(audio, 2));
}

}  // namespace korvane::views
