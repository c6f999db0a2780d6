#include "panel/views/model_watcher.h"

namespace korvane::views {

ModelWatcher::ModelWatcher(panel::AudioModel& audio, QObject* parent) : QObject(parent), audio_(audio) {
    subscription_ = audio_.observe([this](panel::Property) {
        if (scheduled_) return;
        scheduled_ = true;
        QMetaObject::invokeMethod(this, &ModelWatcher::flush, Qt::QueuedConnection);
    });
}

void ModelWatcher::flush() {
    scheduled_ = false;
    emit changed();
}

}  // namespace korvane::views
