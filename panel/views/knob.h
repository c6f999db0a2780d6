// The listening-volume knob: a ring whose lit arc shows the level (0…1) over 270°, turned by a
// vertical drag (200 px for the whole range), the keyboard, the wheel or assistive technology.
// It shows what it is told and asks for changes through levelRequested; it stores no level of
// its own beyond what it draws.
#pragma once

#include <QWidget>

#include <optional>

namespace korvane::views {

class Knob final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSide = 148;
    static constexpr double kDragPixelsForFullRange = 200;
    static constexpr double kStep = 0.01;  // keyboard, wheel notch and accessibility increment
    static constexpr double kPageStep = 0.1;

    explicit Knob(QWidget* parent = nullptr);

    // The level shown, 0…1 (values outside are drawn clamped).
    double level() const { return level_; }
    void setLevel(double level);
    // A muted output draws its arc dimmed; the level stays the remembered one.
    void setMuted(bool muted);

    // Effects: emits levelRequested with the shown level + delta, clamped to 0…1.
    void step(double delta);
    // Effects: emits levelRequested with `level` clamped to 0…1; ignores a non-finite level.
    void requestLevel(double level);

    // The accessible value text: "N percent".
    QString valueText() const;

    // Angle of a level in degrees, 0 straight up and clockwise positive: −135 at 0, +135 at 1.
    static double angleForLevel(double level);

signals:
    void levelRequested(double level);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void wheelEvent(QWheelEvent*) override;

private:
    void paintRing(class QPainter& p, const QRectF& ring) const;
    void paintCap(class QPainter& p, const QRectF& cap) const;

    double level_ = 0;
    bool muted_ = false;
    // The level when the current drag began; empty while no drag is in progress.
    std::optional<double> dragStart_;
    double pressY_ = 0;
    bool pressed_ = false;
    int wheelRemainder_ = 0;  // eighths of a degree not yet turned into a step (touchpads)
};

}  // namespace korvane::views
