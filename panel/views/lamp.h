// A small round lamp (the route's state lamp, a meter's clip lamp): one colour, and a value text
// for assistive technology that says what the colour means.
#pragma once

#include <QColor>
#include <QWidget>

namespace korvane::views {

class Lamp final : public QWidget {
    Q_OBJECT
public:
    explicit Lamp(int side, QWidget* parent = nullptr);

    QColor color() const { return color_; }
    void setColor(const QColor& color);
    QString valueText() const { return valueText_; }
    void setValueText(const QString& text);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor color_;
    QString valueText_;
};

}  // namespace korvane::views
