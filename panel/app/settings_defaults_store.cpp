#include "panel/app/settings_defaults_store.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cstdio>

namespace korvane::app {
namespace {

// Preferences are a handful of short values; a larger file is not ours and is read as empty.
constexpr qint64 kMaximumFileBytes = 1 << 20;
const QString kDataKey = QStringLiteral("data");

bool readTyped(QIODevice& device, QSettings::SettingsMap& map) {
    if (device.size() > kMaximumFileBytes) return true;
    const QJsonDocument document = QJsonDocument::fromJson(device.read(kMaximumFileBytes));
    // An unreadable file counts as empty (and is replaced on the next write) rather than as an
    // error, which would make QSettings refuse every later write.
    if (!document.isObject()) return true;
    const QJsonObject object = document.object();
    for (auto entry = object.begin(); entry != object.end(); ++entry) {
        const QJsonValue value = entry.value();
        if (value.isBool()) {
            map.insert(entry.key(), value.toBool());
        } else if (value.isString()) {
            map.insert(entry.key(), value.toString());
        } else if (value.isObject() && value.toObject().value(kDataKey).isString()) {
            const auto decoded = QByteArray::fromBase64Encoding(value.toObject().value(kDataKey).toString().toLatin1(),
                                                                QByteArray::AbortOnBase64DecodingErrors);
            if (decoded) map.insert(entry.key(), *decoded);
        }
    }
    return true;
}

bool writeTyped(QIODevice& device, const QSettings::SettingsMap& map) {
    QJsonObject object;
    for (auto entry = map.begin(); entry != map.end(); ++entry) {
        const QVariant& value = entry.value();
        switch (value.typeId()) {
        case QMetaType::Bool: object.insert(entry.key(), value.toBool()); break;
        case QMetaType::QString: object.insert(entry.key(), value.toString()); break;
        case QMetaType::QByteArray:
            object.insert(entry.key(), QJsonObject{{kDataKey, QString::fromLatin1(value.toByteArray().toBase64())}});
            break;
        default: break;  // only the three types above are ever stored
        }
    }
    return device.write(QJsonDocument(object).toJson(QJsonDocument::Indented)) >= 0;
}

QSettings::Format typedFormat() {
    static const QSettings::Format format = QSettings::registerFormat(QStringLiteral("conf"), readTyped, writeTyped);
    return format;
}

QString toQString(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// QSettings' own user scope takes the config home once per process, when first used; the path is
// taken here instead, from the config home of the moment.
QString preferencesFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/RAVLIN/KORVANE.conf");
}

// A regular file that is not readable preferences (too large, not a JSON object, or not readable at
// all) would be replaced by the first save: it is kept as "KORVANE.conf.bad" (replacing an older
// one) for whoever wants to look at it. Anything but a regular file is left where it is.
QString withUnreadableFileSetAside(const QString& path) {
    const QFileInfo info(path);
    if (!info.isFile() || info.isSymLink()) return path;
    QFile file(path);
    if (info.size() <= kMaximumFileBytes && file.open(QIODevice::ReadOnly) &&
        QJsonDocument::fromJson(file.read(kMaximumFileBytes)).isObject())
        return path;
    file.close();
    const QString aside = path + QStringLiteral(".bad");
    QFile::remove(aside);
    if (QFile::rename(path, aside))
        std::fprintf(stderr, "KORVANE: preferences in %s could not be read; kept as %s and started afresh\n",
                     qPrintable(path), qPrintable(aside));
    return path;
}

}  // namespace

SettingsDefaultsStore::SettingsDefaultsStore()
    : settings_(std::make_unique<QSettings>(withUnreadableFileSetAside(preferencesFile()), typedFormat())) {
    const QString folder = QFileInfo(settings_->fileName()).absolutePath();
    if (!QFileInfo::exists(folder)) {
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

SettingsDefaultsStore::~SettingsDefaultsStore() { settings_->sync(); }

std::optional<bool> SettingsDefaultsStore::boolValue(std::string_view key) const {
    const QVariant value = settings_->value(toQString(key));
    if (value.typeId() != QMetaType::Bool) return std::nullopt;
    return value.toBool();
}

std::optional<std::string> SettingsDefaultsStore::stringValue(std::string_view key) const {
    const QVariant value = settings_->value(toQString(key));
    if (value.typeId() != QMetaType::QString) return std::nullopt;
    return value.toString().toStdString();
}

std::optional<std::string> SettingsDefaultsStore::dataValue(std::string_view key) const {
    const QVariant value = settings_->value(toQString(key));
    if (value.typeId() != QMetaType::QByteArray) return std::nullopt;
    const QByteArray bytes = value.toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void SettingsDefaultsStore::setBool(std::string_view key, bool value) {
    settings_->setValue(toQString(key), value);
    saved();
}

void SettingsDefaultsStore::setString(std::string_view key, std::string_view value) {
    settings_->setValue(toQString(key), toQString(value));
    saved();
}

void SettingsDefaultsStore::setData(std::string_view key, std::string_view bytes) {
    settings_->setValue(toQString(key), QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    saved();
}

void SettingsDefaultsStore::remove(std::string_view key) {
    settings_->remove(toQString(key));
    saved();
}

void SettingsDefaultsStore::sync() { saved(); }

void SettingsDefaultsStore::saved() {
    settings_->sync();
    if (settings_->status() == QSettings::NoError || saveFailed_) return;
    saveFailed_ = true;
    std::fprintf(stderr, "KORVANE: preferences could not be saved to %s\n", qPrintable(settings_->fileName()));
    if (onSaveFailure_) onSaveFailure_();
}

void SettingsDefaultsStore::onSaveFailure(std::function<void()> handler) {
    onSaveFailure_ = std::move(handler);
    if (saveFailed_ && onSaveFailure_) onSaveFailure_();
}

QString SettingsDefaultsStore::fileName() const { return settings_->fileName(); }

}  // namespace korvane::app
