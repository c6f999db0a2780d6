// The panel's one look: the Fusion style with a dark palette, whatever the desktop's theme, and
// the few button treatments the views share (prominent, bordered, header).
#pragma once

class QAbstractButton;
class QApplication;
class QFont;
class QWidget;

namespace korvane::views {

// Main thread; before any window is shown.
void applyDarkAppearance(QApplication& app);

// The main action of a group: filled with the accent colour.
void makeProminent(QAbstractButton& button);
// A secondary action that still reads as a button on a dark surface.
void makeBordered(QAbstractButton& button);

// Small capitals-style captions ("AUDIO SOURCE", "VOLUME DEVICE").
QFont captionFont(const QWidget& reference, double pointSize = 8.5, bool bold = true);
// Text at `pointSize` points in the application's family.
QFont textFont(const QWidget& reference, double pointSize, int weight = 400);
// Gives a label the secondary text colour.
void makeSecondary(QWidget& label);

}  // namespace korvane::views
