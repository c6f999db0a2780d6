// One tile of the signal chain ("AUDIO SOURCE", "DAW INPUT"): a symbol, a caption, a title and a
// subtitle on a surface, 220 px wide.
#pragma once

#include "panel/views/icons.h"
#include "panel/views/surface.h"

class QLabel;

namespace korvane::views {

class SignalTile final : public Surface {
    Q_OBJECT
public:
    static constexpr int kWidth = 220;

    SignalTile(Symbol symbol, const QString& caption, QWidget* parent = nullptr);

    void setTitle(const QString& title);
    void setSubtitle(const QString& subtitle);
    QString title() const;
    QString subtitle() const;

private:
    QLabel* title_;
    QLabel* subtitle_;
};

}  // namespace korvane::views
