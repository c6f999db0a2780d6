#include "panel/views/accessibility.h"

#include "panel/views/knob.h"
#include "panel/views/lamp.h"
#include "panel/views/meter_bar.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

namespace korvane::views {

namespace {

class KnobAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit KnobAccessible(Knob* knob) : QAccessibleWidget(knob, QAccessible::Dial) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return knob()->valueText();
        return QAccessibleWidget::text(t);
    }

    QVariant currentValue() const override { return knob()->level(); }
    void setCurrentValue(const QVariant& value) override { knob()->requestLevel(value.toDouble()); }
    QVariant maximumValue() const override { return 1.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return Knob::kStep; }

    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << increaseAction() << decreaseAction();
    }
    void doAction(const QString& name) override {
        if (name == increaseAction()) knob()->step(Knob::kStep);
        else if (name == decreaseAction()) knob()->step(-Knob::kStep);
        else QAccessibleWidget::doAction(name);
    }

private:
    Knob* knob() const { return static_cast<Knob*>(widget()); }
};

// A read-only control whose value is a text: a meter bar or a lamp.
template <class Widget>
class ValueTextAccessible final : public QAccessibleWidget {
public:
    ValueTextAccessible(Widget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return static_cast<Widget*>(widget())->valueText();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* factory(const QString&, QObject* object) {
    if (auto* knob = qobject_cast<Knob*>(object)) return new KnobAccessible(knob);
    if (auto* bar = qobject_cast<MeterBar*>(object))
        return new ValueTextAccessible<MeterBar>(bar, QAccessible::ProgressBar);
    if (auto* lamp = qobject_cast<Lamp*>(object)) return new ValueTextAccessible<Lamp>(lamp, QAccessible::Indicator);
    return nullptr;
}

}  // namespace

void installAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(&factory);
        return true;
    }();
    (void)installed;
}

}  // namespace korvane::views
