// One stereo meter: a title, the "0 dBFS" scale mark, a "RESET PEAKS" button, and for the left
// and the right channel a bar, the held peak's level text and a clip lamp.
#pragma once

#include <QWidget>

#include <array>

class QLabel;
class QPushButton;

namespace korvane::views {

class Lamp;
class MeterBar;

class Meter final : public QWidget {
    Q_OBJECT
public:
    // One channel as the meter shows it.
    struct Channel {
        double fraction = 0;  // of the bar, 0…1
        QString levelText = QStringLiteral("−∞");  // the held peak, e.g. "-6.0"
        bool clipped = false;
        friend bool operator==(const Channel&, const Channel&) = default;
    };

    explicit Meter(const QString& title, QWidget* parent = nullptr);

    void setChannels(const std::array<Channel, 2>& channels);

    QString title() const { return title_; }
    MeterBar* bar(int channel) const { return bars_[channel]; }
    Lamp* clipLamp(int channel) const { return lamps_[channel]; }
    QLabel* levelLabel(int channel) const { return levels_[channel]; }
    QPushButton* resetButton() const { return reset_; }

signals:
    void resetRequested();

private:
    QString title_;
    QPushButton* reset_;
    std::array<MeterBar*, 2> bars_{};
    std::array<QLabel*, 2> levels_{};
    std::array<Lamp*, 2> lamps_{};
};

}  // namespace korvane::views
