#include "jobs/JobStore.h"

#include "jobs/PasswordCipher.h"
#include "jobs/SettingsStore.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

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

// Below this many passwords one thread is as quick as several.
constexpr std::size_t kParallelFrom = 64;
constexpr unsigned kMaxThreads = 8;

// Runs work(begin, end) over [0, count) in contiguous slices, one per core when `threads` allows
// and the count is worth it, the calling thread taking the first slice; returns when every slice
// is done. Each slice makes its own cipher, so the slices share nothing but the cipher's
// process-wide key cache, which is guarded. A slice's exception is thrown again here; a thread
// that cannot be started leaves its slice to this one.
template <typename Work> void RunInSlices(std::size_t count, bool mayUseThreads, const Work& work)
{
    const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), kMaxThreads));
    const std::size_t slices =
        !mayUseThreads || count < kParallelFrom ? 1 : std::min<std::size_t>(cores, count);
    if (slices <= 1) {
        work(0, count);
        return;
    }
    std::vector<std::exception_ptr> errors(slices);
    std::vector<std::thread> threads;
    threads.reserve(slices - 1);
    std::vector<std::size_t> leftOver;
    const auto bounds = [&](std::size_t slice) {
        return std::make_pair(count * slice / slices, count * (slice + 1) / slices);
    };
    for (std::size_t slice = 1; slice < slices; ++slice) {
        const auto [begin, end] = bounds(slice);
        try {
            threads.emplace_back([&work, &errors, slice, begin = begin, end = end] {
                try {
                    work(begin, end);
                } catch (...) {
                    errors[slice] = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            leftOver.push_back(slice);
        }
    }
    try {
        work(bounds(0).first, bounds(0).second);
        for (const std::size_t slice : leftOver) {
            work(bounds(slice).first, bounds(slice).second);
        }
    } catch (...) {
        errors[0] = std::current_exception();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::exception_ptr& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

// The key-store root the store's cipher uses, resolved here once: the threads of RunInSlices get
// it ready-made and never ask the application for its data folder.
std::string CipherRoot(const SettingsStore& store)
{
    return PasswordCipher(true, store.KeyStoreRoot()).KeyStoreRoot();
}

// The outcome of one password's trip through the cipher.
struct CipherOutcome
{
    bool ok = false;
    std::string error; // the cipher's reason when it failed
};

} // namespace

LoadReport LoadJobs(SettingsStore& store, std::int32_t& running, JobList& jobs)
{
    LoadReport report;
    report.fileError = store.ReadError();
    running = store.ReadInt(kSection, QString::fromLatin1(kRunned), 0);
    const std::size_t first = jobs.size();
    std::vector<std::size_t> enciphered; // the loaded jobs whose stored text holds a password
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
        std::string stored = store.ReadText(kSection, JobKey(kPassword, i), "");
        const std::int32_t port = store.ReadInt(kSection, JobKey(kPort, i), 21);
        job.passiveMode = store.ReadInt(kSection, JobKey(kPassive, i), 0);
        if (!IsNoPasswordText(stored)) {
            job.storedPassword = std::move(stored);
            enciphered.push_back(first + i);
        }
        job.intervalSeconds = interval;
        job.countdown = interval;
        job.port = static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFFu);
        jobs.push_back(std::move(job));
    }

    // Deciphering is nearly all of a load's time, and every text is deciphered on its own.
    const std::string root = CipherRoot(store);
    std::vector<CipherOutcome> outcomes(enciphered.size());
    RunInSlices(enciphered.size(), !root.empty(), [&](std::size_t begin, std::size_t end) {
        PasswordCipher cipher(true, root);
        for (std::size_t n = begin; n < end; ++n) {
            UploadJob& job = jobs[enciphered[n]];
            if (const char* password = cipher.Decode(job.storedPassword.c_str())) {
                job.password = password;
                outcomes[n].ok = true;
            } else {
                outcomes[n].error = cipher.LastError();
            }
        }
    });
    for (std::size_t n = 0; n < enciphered.size(); ++n) {
        if (outcomes[n].ok) {
            continue;
        }
        jobs[enciphered[n]].passwordUnread = true;
        if (report.unreadPasswords++ == 0) {
            report.reason = std::move(outcomes[n].error);
            report.keyFile = PasswordCipher(true, root).KeyFile();
        }
    }
    return report;
}

SaveReport SaveJobs(SettingsStore& store, std::int32_t running, JobList& jobs)
{
    SaveReport report;
    // Every typed password is enciphered afresh before anything is written; the texts are then
    // written in the layout's order. The first one goes alone, since it may have to make the key
    // pair; the rest are spread over the cores.
    std::vector<std::size_t> typed; // the jobs whose password is enciphered
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!jobs[i].passwordUnread) {
            typed.push_back(i);
        }
    }
    const std::string root = CipherRoot(store);
    std::vector<CipherOutcome> outcomes(typed.size());
    const auto encipher = [&](std::size_t begin, std::size_t end) {
        PasswordCipher cipher(true, root);
        for (std::size_t n = begin; n < end; ++n) {
            UploadJob& job = jobs[typed[n]];
            if (const char* encoded = cipher.Encode(job.password.c_str())) {
                job.storedPassword = encoded;
                outcomes[n].ok = true;
            } else {
                outcomes[n].error = cipher.LastError();
            }
        }
    };
    if (!typed.empty()) {
        encipher(0, 1);
        RunInSlices(typed.size() - 1, !root.empty(),
                    [&](std::size_t begin, std::size_t end) { encipher(begin + 1, end + 1); });
    }
    for (std::size_t n = 0; n < typed.size(); ++n) {
        if (!outcomes[n].ok && report.passwordsNotEnciphered++ == 0) {
            report.keyError = std::move(outcomes[n].error);
            report.keyFile = PasswordCipher(true, root).KeyFile();
        }
    }

    store.WriteInt(kSection, QString::fromLatin1(kRunned), running);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const UploadJob& job = jobs[i];
        store.WriteInt(kSection, JobKey(kTime, i), job.intervalSeconds);
        WriteTextOrSpace(store, kSection, JobKey(kDestination, i), job.destinationFile);
        WriteTextOrSpace(store, kSection, JobKey(kSource, i), job.sourceFile);
        WriteTextOrSpace(store, kSection, JobKey(kWeb, i), job.webAddress);
        WriteTextOrSpace(store, kSection, JobKey(kUserName, i), job.userName);
        store.WriteInt(kSection, JobKey(kPort, i), job.port);
        store.WriteInt(kSection, JobKey(kPassive, i), job.passiveMode != 0 ? 1 : 0);
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
