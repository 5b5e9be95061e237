#include "jobs/SettingsStore.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <limits>

namespace {

QString ApplicationNameOrDefault(const QString& applicationName)
{
    if (!applicationName.isEmpty()) {
        return applicationName;
    }
    const QString running = QCoreApplication::applicationName();
    return running.isEmpty() ? QStringLiteral("ferrovane") : running;
}

QString KeyPath(const QString& section, const QString& key)
{
    return section + QLatin1Char('/') + key;
}

} // namespace

SettingsStore::SettingsStore() : SettingsStore(QString()) {}

SettingsStore::SettingsStore(const QString& applicationName)
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QStringLiteral("Ombrix"),
                                            ApplicationNameOrDefault(applicationName)))
{}

SettingsStore::SettingsStore(std::unique_ptr<QSettings> settings) : settings_(std::move(settings))
{}

SettingsStore SettingsStore::FromFile(const QString& filePath)
{
    return SettingsStore(std::make_unique<QSettings>(filePath, QSettings::IniFormat));
}

SettingsStore::~SettingsStore() = default;
SettingsStore::SettingsStore(SettingsStore&&) noexcept = default;
SettingsStore& SettingsStore::operator=(SettingsStore&&) noexcept = default;

std::int32_t SettingsStore::ReadInt(const QString& section, const QString& key,
                                    std::int32_t defaultValue) const
{
    const QVariant value = settings_->value(KeyPath(section, key));
    if (!value.isValid()) {
        return defaultValue;
    }
    bool ok = false;
    qlonglong number = 0;
    if (value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QByteArray) {
        // The INI format keeps every value as text.
        number = value.toString().trimmed().toLongLong(&ok, 10);
    } else if (value.typeId() != QMetaType::QStringList) {
        number = value.toLongLong(&ok);
    }
    if (!ok || number < std::numeric_limits<std::int32_t>::min() ||
        number > static_cast<qlonglong>(std::numeric_limits<std::uint32_t>::max())) {
        return defaultValue;
    }
    // A 32-bit value: what another tool stored as unsigned reads back with the same bits.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

std::string SettingsStore::ReadText(const QString& section, const QString& key,
                                    const std::string& defaultValue) const
{
    const QVariant value = settings_->value(KeyPath(section, key));
    if (!value.isValid()) {
        return defaultValue;
    }
    if (value.typeId() == QMetaType::QStringList) {
        // An unquoted value with commas, as another tool may write it.
        return value.toStringList().join(QLatin1Char(',')).toUtf8().toStdString();
    }
    return value.toString().toUtf8().toStdString();
}

bool SettingsStore::WriteInt(const QString& section, const QString& key, std::int32_t value)
{
    settings_->setValue(KeyPath(section, key), value);
    return settings_->status() == QSettings::NoError;
}

bool SettingsStore::WriteText(const QString& section, const QString& key, const std::string& text)
{
    settings_->setValue(KeyPath(section, key),
                        QString::fromUtf8(text.data(), qsizetype(text.size())));
    return settings_->status() == QSettings::NoError;
}

bool SettingsStore::Sync()
{
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

QString SettingsStore::FileName() const
{
    return settings_->fileName();
}
