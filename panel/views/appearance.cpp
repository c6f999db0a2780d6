#include "panel/views/appearance.h"

#include "panel/views/colors.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPainter>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleOption>
#include <QStyleFactory>

namespace korvane::views {

namespace {

QColor accent() { return colors::rgb(0.70, 0.17, 0.23); }

// Fusion marks the keyboard focus with outlines of the highlight at low opacity, which the dark
// palette all but hides; this draws a clear ring instead, around tool buttons and check boxes (their
// focus frame) and around push buttons. Only after keyboard navigation, as Fusion does.
class FocusRingStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element != PE_FrameFocusRect) return QProxyStyle::drawPrimitive(element, option, painter, widget);
        if (option->state & State_KeyboardFocusChange) drawRing(*painter, option->rect);
    }

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        QProxyStyle::drawControl(element, option, painter, widget);
        const auto focus = State_HasFocus | State_KeyboardFocusChange;
        if (element == CE_PushButton && (option->state & focus) == focus) drawRing(*painter, option->rect);
    }

private:
    static void drawRing(QPainter& painter, const QRect& rect) {
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(colors::rgb(1.0, 0.55, 0.57), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect).adjusted(1, 1, -1, -1), 4, 4);
        painter.restore();
    }
};

QPalette darkPalette() {
    QPalette p;
    const QColor base = colors::windowBase();
    const QColor text = colors::primaryText();
    const QColor disabledText = colors::rgb(1, 1, 1, 0.32);
    p.setColor(QPalette::Window, base);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, colors::rgb(0.16, 0.17, 0.19));
    p.setColor(QPalette::AlternateBase, colors::rgb(0.13, 0.14, 0.16));
    p.setColor(QPalette::ToolTipBase, colors::rgb(0.16, 0.17, 0.19));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, colors::secondaryText());
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, colors::rgb(0.19, 0.20, 0.225));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, colors::clipRed());
    p.setColor(QPalette::Light, colors::rgb(0.30, 0.31, 0.34));
    p.setColor(QPalette::Midlight, colors::rgb(0.24, 0.25, 0.28));
    p.setColor(QPalette::Mid, colors::rgb(0.16, 0.17, 0.19));
    p.setColor(QPalette::Dark, colors::rgb(0.06, 0.065, 0.075));
    p.setColor(QPalette::Shadow, colors::rgb(0, 0, 0));
    p.setColor(QPalette::Highlight, accent());
    p.setColor(QPalette::HighlightedText, colors::rgb(1, 1, 1));
    p.setColor(QPalette::Link, colors::rgb(1.0, 0.55, 0.57));
    p.setColor(QPalette::LinkVisited, colors::rgb(0.9, 0.5, 0.55));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Button, colors::rgb(0.15, 0.155, 0.17));
    return p;
}

}  // namespace

void applyDarkAppearance(QApplication& app) {
    app.setStyle(new FocusRingStyle(QStyleFactory::create(QStringLiteral("Fusion"))));
    app.setPalette(darkPalette());
}

void makeProminent(QAbstractButton& button) {
    QPalette p = button.palette();
    p.setColor(QPalette::Active, QPalette::Button, accent());
    p.setColor(QPalette::Inactive, QPalette::Button, accent());
    p.setColor(QPalette::Active, QPalette::ButtonText, colors::rgb(1, 1, 1));
    p.setColor(QPalette::Inactive, QPalette::ButtonText, colors::rgb(1, 1, 1));
    button.setPalette(p);
    QFont f = button.font();
    f.setWeight(QFont::DemiBold);
    button.setFont(f);
    button.setMinimumHeight(30);
    button.setMinimumWidth(button.sizeHint().width() + 20);
}

void makeBordered(QAbstractButton& button) {
    QPalette p = button.palette();
    p.setColor(QPalette::Button, colors::rgb(0.23, 0.24, 0.27));
    button.setPalette(p);
    button.setMinimumHeight(28);
    button.setMinimumWidth(button.sizeHint().width() + 16);
}

QFont captionFont(const QWidget& reference, double pointSize, bool bold) {
    QFont f = reference.font();
    f.setPointSizeF(pointSize);
    f.setWeight(bold ? QFont::DemiBold : QFont::Normal);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    return f;
}

QFont textFont(const QWidget& reference, double pointSize, int weight) {
    QFont f = reference.font();
    f.setPointSizeF(pointSize);
    f.setWeight(static_cast<QFont::Weight>(weight));
    return f;
}

void makeSecondary(QWidget& label) {
    QPalette p = label.palette();
    p.setColor(QPalette::WindowText, colors::secondaryText());
    p.setColor(QPalette::Text, colors::secondaryText());
    label.setPalette(p);
}

}  // namespace korvane::views
