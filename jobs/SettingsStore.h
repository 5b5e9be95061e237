#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <string>

class QSettings;

// The user's per-program key/value store: organisation "Ombrix", then the application name, then a
// section, then key -> 32-bit integer or text. It sits on QSettings in its native format, which on
// Linux is the file $XDG_CONFIG_HOME/Ombrix/<application>.conf (replaced atomically when written).
//
// Reads fall back to the given default and never fail. Writes are kept in memory until Sync() or
// the store's destruction; their flag is false once the store has failed to reach its file (Qt
// learns that a file cannot be written only when it writes it). Texts are UTF-8 bytes.
//
// The store also names the key-store root that the password cipher uses for its key containers
// (empty: the cipher's default), so that a test can move both the settings and the keys into a
// temporary folder.
//
// A store whose file is no regular file (a named pipe, a device, a folder; a symbolic link to a
// regular file is fine) or cannot be read is refused: it is never opened, reads give their
// defaults, and every Sync fails with ReadError()'s reason, so that its file is never replaced by
// a list that was never read from it.
//
// Note for tests: Qt reads XDG_CONFIG_HOME once per process for the native format. A test that
// wants a fresh store each time uses FromFile(), or QSettings::setPath() for the native format.
class SettingsStore
{
public:
    // The native store of this program: the application name is
    // QCoreApplication::applicationName() (the executable's base name), or "ferrovane" when there
    // is no application object.
    SettingsStore();
    // The native store of another application name; empty means the default above.
    explicit SettingsStore(const QString& applicationName);
    // A store kept in one INI file of the same layout, wherever the caller wants it.
    static SettingsStore FromFile(const QString& filePath);

    ~SettingsStore();
    SettingsStore(SettingsStore&&) noexcept;
    SettingsStore& operator=(SettingsStore&&) noexcept;
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The value as a 32-bit integer. A decimal number in the range of a signed or an unsigned
    // 32-bit value gives its 32 bits (4294967295 reads as -1); anything else, an absent value
    // included, gives the default.
    std::int32_t ReadInt(const QString& section, const QString& key,
                         std::int32_t defaultValue) const;
    // The value as text, or the default when it is absent. An empty value reads as "".
    std::string ReadText(const QString& section, const QString& key,
                         const std::string& defaultValue) const;
    bool WriteInt(const QString& section, const QString& key, std::int32_t value);
    bool WriteText(const QString& section, const QString& key, const std::string& text);

    // Writes what changed to disk now. False when the store could not be written; `why` then
    // gets the system's reason ("Permission denied", "No space left on device"). The store's
    // folder is made private (0700) and its file 0600: they hold server names, user names and
    // enciphered passwords. A file reached through a symbolic link keeps its owner and mode, and
    // the link stays. After a success, temporary copies that an interrupted save left beside the
    // file are removed. After a failure every value is still held in memory, and the next Sync
    // tries to write the whole file again. A file that is no regular file (any more) is never
    // opened: the Sync fails and says what it is.
    bool Sync(std::string* why = nullptr);

    // Where the store lives: a file path for INI stores (the native format on Linux).
    QString FileName() const;
    // Why the store's file was refused when the store was opened ("it is a named pipe, not a
    // regular file", "Permission denied"); empty when it was not.
    const std::string& ReadError() const;

    const std::string& KeyStoreRoot() const { return keyStoreRoot_; }
    void SetKeyStoreRoot(std::string root) { keyStoreRoot_ = std::move(root); }

private:
    using Opener = std::unique_ptr<QSettings> (*)(const QString& name);
    SettingsStore(Opener open, QString name, QString filePath);

    Opener open_;
    QString name_;                        // what open_ takes: an application name or a file path
    QString filePath_;                    // the file that open_ reads, checked before it is opened
    std::unique_ptr<QSettings> settings_; // none when the file was refused
    std::string refusal_;
    bool failed_ = false; // the last Sync failed
    std::string keyStoreRoot_;
};
