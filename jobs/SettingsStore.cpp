#include "jobs/SettingsStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

std::unique_ptr<QSettings> OpenNative(const QString& applicationName)
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Ombrix"), applicationName);
}

std::unique_ptr<QSettings> OpenFile(const QString& filePath)
{
    return std::make_unique<QSettings>(filePath, QSettings::IniFormat);
}

// Where the native format keeps an application's file on Linux, found without opening it: Qt's own
// user path (a test may move Qt's with QSettings::setPath; the file checked is then this one).
QString NativeFilePath(const QString& applicationName)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Ombrix/") + applicationName + QStringLiteral(".conf");
}

// What stands at the store's path when it is no regular file, in words that follow "it is".
const char* KindOfFile(mode_t mode)
{
    if (S_ISFIFO(mode)) {
        return "a named pipe";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "a special file";
}

// Why the store's file is no file to use, or empty when it is a regular file (a symbolic link to
// one is as good) or not there yet. A named pipe would hold the program in open() until someone
// writes to it, and a device may do anything when opened: neither is ever opened. A file that
// cannot be read is refused too, so that its jobs are never replaced by an empty list.
std::string RefusalOf(const std::string& file, bool mustRead)
{
    struct stat info
    {};
    if (stat(file.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? std::string() : std::strerror(errno);
    }
    if (S_ISREG(info.st_mode) && mustRead) {
        // O_NONBLOCK: should a pipe have taken the file's place since, this open does not wait.
        const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return std::strerror(errno);
        }
        const int checked = fstat(fd, &info);
        close(fd);
        if (checked != 0) {
            return std::strerror(errno);
        }
    }
    if (S_ISREG(info.st_mode)) {
        return {};
    }
    return std::string("it is ") + KindOfFile(info.st_mode) + ", not a regular file";
}

// Makes the folder (and missing parents) private to the user; an existing folder of the store is
// made private too. False with the system's reason when that fails.
bool MakePrivateFolder(const std::string& folder, std::string& why)
{
    for (std::size_t end = 1; end <= folder.size(); ++end) {
        if (end != folder.size() && folder[end] != '/') {
            continue;
        }
        const std::string part = folder.substr(0, end);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            why = std::strerror(errno);
            return false;
        }
    }
    struct stat info
    {};
    if (stat(folder.c_str(), &info) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        why = std::strerror(ENOTDIR);
        return false;
    }
    if ((info.st_mode & 07777) != 0700 && info.st_uid == geteuid()) {
        chmod(folder.c_str(), 0700);
    }
    return true;
}

// QSettings says only that a write failed. Writing a scratch file of the store's size beside it
// finds out why: no permission, a read-only or full file system.
std::string ProbeWriteError(const std::string& folder, const std::string& file)
{
    struct stat info
    {};
    if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return std::strerror(EISDIR);
    }
    const std::size_t size = std::max<std::size_t>(
        64 * 1024, static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)));
    std::string name = folder + "/.ferrovane-probe-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return std::strerror(errno);
    }
    int error = 0;
    const std::vector<char> zeros(size, '\0');
    std::size_t done = 0;
    while (done < size && error == 0) {
        const ssize_t wrote = write(fd, zeros.data() + done, size - done);
        if (wrote < 0 && errno != EINTR) {
            error = errno;
        } else if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        }
    }
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    unlink(name.c_str());
    return error != 0 ? std::strerror(error) : std::string("the file could not be written");
}

// The folder and the name of a file's path.
std::pair<std::string, std::string> SplitPath(const std::string& file)
{
    const auto slash = file.rfind('/');
    if (slash == std::string::npos) {
        return {".", file};
    }
    return {slash == 0 ? std::string("/") : file.substr(0, slash), file.substr(slash + 1)};
}

// Gives the file named by a link back its owner and mode after Qt has replaced it with a copy of
// its own making.
void KeepOwnerAndMode(const std::string& file, const struct stat& before)
{
    struct stat now
    {};
    if (stat(file.c_str(), &now) != 0) {
        return;
    }
    if (now.st_uid != before.st_uid || now.st_gid != before.st_gid) {
        // Only the superuser can give a file away; anyone else wrote it as its owner already.
        [[maybe_unused]] const int given = chown(file.c_str(), before.st_uid, before.st_gid);
    }
    chmod(file.c_str(), before.st_mode & 07777);
}

// An interrupted save can leave its temporary copy beside the file: the file's name, a dot and
// six letters or digits.
void RemoveStaleCopies(const std::string& folder, const std::string& fileName)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) {
        return;
    }
    const std::string prefix = fileName + ".";
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0 ||
            !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
            continue;
        }
        const std::string path = folder + "/" + name;
        struct stat info
        {};
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            unlink(path.c_str());
        }
    }
}

} // namespace

SettingsStore::SettingsStore() : SettingsStore(QString()) {}

SettingsStore::SettingsStore(const QString& applicationName)
    : SettingsStore(OpenNative, ApplicationNameOrDefault(applicationName),
                    NativeFilePath(ApplicationNameOrDefault(applicationName)))
{}

SettingsStore::SettingsStore(Opener open, QString name, QString filePath)
    : open_(open), name_(std::move(name)), filePath_(std::move(filePath))
{
    refusal_ = RefusalOf(QFile::encodeName(filePath_).toStdString(), true);
    if (refusal_.empty()) {
        settings_ = open_(name_);
    }
}

SettingsStore SettingsStore::FromFile(const QString& filePath)
{
    return SettingsStore(OpenFile, filePath, filePath);
}

SettingsStore::~SettingsStore() = default;
SettingsStore::SettingsStore(SettingsStore&&) noexcept = default;
SettingsStore& SettingsStore::operator=(SettingsStore&&) noexcept = default;

std::int32_t SettingsStore::ReadInt(const QString& section, const QString& key,
                                    std::int32_t defaultValue) const
{
    if (!settings_) {
        return defaultValue;
    }
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
    if (!settings_) {
        return defaultValue;
    }
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
    if (!settings_) {
        return false;
    }
    settings_->setValue(KeyPath(section, key), value);
    return settings_->status() == QSettings::NoError;
}

bool SettingsStore::WriteText(const QString& section, const QString& key, const std::string& text)
{
    if (!settings_) {
        return false;
    }
    settings_->setValue(KeyPath(section, key),
                        QString::fromUtf8(text.data(), qsizetype(text.size())));
    return settings_->status() == QSettings::NoError;
}

bool SettingsStore::Sync(std::string* why)
{
    if (!settings_) {
        // Refused when the store was opened: its file was never read, so it is never replaced.
        if (why != nullptr) {
            *why = refusal_;
        }
        return false;
    }
    const std::string file = QFile::encodeName(settings_->fileName()).toStdString();
    // Qt reads the file again before it writes when the file has changed: a pipe put in its place
    // would hold the save, and the window, for good.
    if (std::string refusal = RefusalOf(file, false); !refusal.empty()) {
        if (why != nullptr) {
            *why = std::move(refusal);
        }
        return false;
    }
    if (failed_) {
        // QSettings keeps a failure for good. A fresh object shares the file's pending values
        // with the old one while both live, and tries the whole file again.
        std::unique_ptr<QSettings> fresh = open_(name_);
        settings_ = std::move(fresh);
        failed_ = false;
    }
    const auto [folder, name] = SplitPath(file);
    // A symbolic link stays one (Qt writes the file it names), and that file keeps its owner and
    // mode: whoever put the link there chose them.
    struct stat link
    {};
    struct stat target
    {};
    const bool linked = lstat(file.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
                        stat(file.c_str(), &target) == 0;
    std::string reason;
    bool ok = MakePrivateFolder(folder, reason);
    if (ok) {
        // New copies of the file are private from their first byte.
        const mode_t previous = umask(077);
        settings_->sync();
        umask(previous);
        ok = settings_->status() == QSettings::NoError;
        if (ok && linked) {
            KeepOwnerAndMode(file, target);
            char resolved[PATH_MAX];
            if (realpath(file.c_str(), resolved) != nullptr) {
                const auto [targetFolder, targetName] = SplitPath(resolved);
                RemoveStaleCopies(targetFolder, targetName);
            }
            return true;
        }
        if (ok) {
            chmod(file.c_str(), 0600);
            RemoveStaleCopies(folder, name);
            return true;
        }
        reason = ProbeWriteError(folder, file);
    }
    if (why != nullptr) {
        *why = reason;
    }
    failed_ = true;
    return false;
}

QString SettingsStore::FileName() const
{
    return settings_ ? settings_->fileName() : filePath_;
}

const std::string& SettingsStore::ReadError() const
{
    return refusal_;
}
