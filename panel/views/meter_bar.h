// One channel's level bar: 36 segments over a 60 dB scale whose top is 0 dBFS. Segment i is lit
// when i / 36 is below the bar's fraction; lit segments are green, then orange from segment 28,
// then red from segment 34; unlit ones a faint white.
#pragma once

#include <QColor>
#include <QWidget>

namespace korvane::views {

class MeterBar final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSegments = 36;
    static constexpr int kFirstOrange = 28;
    static constexpr int kFirstRed = 34;

    explicit MeterBar(QWidget* parent = nullptr);

    // `fraction` 0…1 of the scale; `valueText` what assistive technology reads.
    void setReading(double fraction, const QString& valueText);
    double fraction() const { return fraction_; }
    QString valueText() const { return valueText_; }

    static bool isLit(int segment, double fraction);
    static QColor segmentColor(int segment, bool lit);
    // Where segment i is drawn, in this widget's coordinates.
    QRectF segmentRect(int segment) const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    double fraction_ = 0;
    int lit_ = 0;
    QString valueText_;
};

}  // namespace korvane::views
