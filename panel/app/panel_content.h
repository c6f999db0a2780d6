// The windows' contents: the main panel and the settings view over the shared model. The one
// place where the application meets the views library.
#pragma once

#include <functional>
#include <memory>

class QApplication;
class QWidget;

namespace korvane::panel {
class AudioModel;
}

namespace korvane::app {

// The Fusion style with a dark palette, whatever the desktop's theme. Before any window shows.
void applyDarkAppearance(QApplication& application);

QWidget* makePanel(const std::shared_ptr<panel::AudioModel>& audio, QWidget* parent);

// `dismiss` closes the window or sheet that shows the settings; `completelyQuit` runs after the
// view dismissed itself for "Completely quit KORVANE".
QWidget* makeSettingsPanel(const std::shared_ptr<panel::AudioModel>& audio, std::function<void()> dismiss,
                           std::function<void()> completelyQuit, QWidget* parent);

}  // namespace korvane::app
