#include "jobs/JobStore.h"

#include "jobs/PasswordCipher.h"
#include "jobs/SettingsStore.h"

namespace {

const QString kSection = QStringLiteral("1.0");
constexpr char kRunned[] = "Runned";
constexpr char kTime[] = "Time";
constexpr char kDestination[] = "Destination file";
constexpr char kSource[] = "Source file";
constexpr char kWeb[] = "WEB";
constexpr char kUserName[] = "User name";
constexpr char kPassword[] = "Password";
constexpr char kPort[] = "Port";
constexpr char kPassive[] = "Passive mode";
constexpr std::int32_t kEndOfList = -1;

} // namespace

QString JobKey(const char* baseName, std::size_t index)
{
    return QString::fromLatin1(baseName) + QLatin1Char('-') + QString::number(index);
}

bool WriteTextOrSpace(SettingsStore& store, const QString& section, const QString& key,
                      const std::string& text)
{
    return store.WriteText(section, key, text.empty() ? std::string(" ") : text);
}

namespace {

// " " (or nothing) stands for no password at all.
bool IsNoPasswordText(const std::string& text)
{
    return text.find_first_not_of(' ') == std::string::npos;
}

} // namespace

LoadReport LoadJobs(SettingsStore& store, std::int32_t& running, JobList& jobs)
{
    LoadReport report;
    running = store.ReadInt(kSection, QString::fromLatin1(kRunned), 0);
    for (std::size_t i = 0;; ++i) {
        const std::int32_t interval = store.ReadInt(kSection, JobKey(kTime, i), kEndOfList);
        if (interval == kEndOfList) {
            break;
        }
        UploadJob job;
        job.destinationFile = store.ReadText(kSection, JobKey(kDestination, i), "/");
        job.sourceFile = store.ReadText(kSection, JobKey(kSource, i), "");
        job.webAddress = store.ReadText(kSection, JobKey(kWeb, i), "");
        job.userName = store.ReadText(kSection, JobKey(kUserName, i), "");
        const std::string stored = store.ReadText(kSection, JobKey(kPassword, i), "");
        const std::int32_t port = store.ReadInt(kSection, JobKey(kPort, i), 21);
        job.passiveMode = store.ReadInt(kSection, JobKey(kPassive, i), 0);
        if (!IsNoPasswordText(stored)) {
            PasswordCipher cipher(true, store.KeyStoreRoot());
            const char* password = cipher.Decode(stored.c_str());
            job.storedPassword = stored;
            if (password != nullptr) {
                job.password = password;
            } else {
                job.passwordUnread = true;
                if (report.unreadPasswords++ == 0) {
                    report.reason = cipher.LastError();
                    report.keyFile = cipher.KeyFile();
                }
            }
        }
        job.intervalSeconds = interval;
        job.countdown = interval;
        job.port = static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFFu);
        jobs.push_back(std::move(job));
    }
    return report;
}

SaveReport SaveJobs(SettingsStore& store, std::int32_t running, JobList& jobs)
{
    SaveReport report;
    store.WriteInt(kSection, QString::fromLatin1(kRunned), running);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        UploadJob& job = jobs[i];
        store.WriteInt(kSection, JobKey(kTime, i), job.intervalSeconds);
        WriteTextOrSpace(store, kSection, JobKey(kDestination, i), job.destinationFile);
        WriteTextOrSpace(store, kSection, JobKey(kSource, i), job.sourceFile);
        WriteTextOrSpace(store, kSection, JobKey(kWeb, i), job.webAddress);
        WriteTextOrSpace(store, kSection, JobKey(kUserName, i), job.userName);
        store.WriteInt(kSection, JobKey(kPort, i), job.port);
        store.WriteInt(kSection, JobKey(kPassive, i), job.passiveMode != 0 ? 1 : 0);
        if (!job.passwordUnread) {
            PasswordCipher cipher(true, store.KeyStoreRoot());
            if (const char* encoded = cipher.Encode(job.password.c_str())) {
                job.storedPassword = encoded;
            } else if (report.passwordsNotEnciphered++ == 0) {
                report.keyError = cipher.LastError();
                report.keyFile = cipher.KeyFile();
            }
        }
        WriteTextOrSpace(store, kSection, JobKey(kPassword, i), job.storedPassword);
    }
    for (std::size_t k = jobs.size();; ++k) {
        if (store.ReadInt(kSection, JobKey(kTime, k), kEndOfList) == kEndOfList) {
            break;
        }
        store.WriteInt(kSection, JobKey(kTime, k), kEndOfList);
        store.WriteText(kSection, JobKey(kDestination, k), "");
        store.WriteText(kSection, JobKey(kSource, k), "");
        store.WriteText(kSection, JobKey(kWeb, k), "");
        store.WriteText(kSection, JobKey(kUserName, k), "");
        store.WriteText(kSection, JobKey(kPassword, k), "");
        store.WriteInt(kSection, JobKey(kPort, k), -1);
        store.WriteInt(kSection, JobKey(kPassive, k), -1);
    }
    report.written = store.Sync(&report.fileError);
    return report;
}
