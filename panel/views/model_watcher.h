// The views' one subscription to the model. The model notifies on every property write (a
// refresh pass writes dozens); the watcher merges a burst into one `changed` signal, emitted once
// the event loop turns, so a view refreshes at most once per pass.
#pragma once

#include "panel/audio_model.h"

#include <QObject>

namespace korvane::views {

class ModelWatcher final : public QObject {
    Q_OBJECT
public:
    // `audio` must outlive the watcher. Main thread.
    explicit ModelWatcher(panel::AudioModel& audio, QObject* parent = nullptr);

    panel::AudioModel& audio() const { return audio_; }

signals:
    // Main thread, from the event loop; never from inside a model write.
    void changed();

private:
    void flush();

    panel::AudioModel& audio_;
    panel::Subscription subscription_;
    bool scheduled_ = false;
};

}  // namespace korvane::views
