// Load and save time of a store of 1,000 jobs with passwords, on a temporary store and key
// containers. Every job enciphers or deciphers its own password, so the cipher dominates.
#include "jobs/JobStore.h"
#include "jobs/PasswordCipher.h"
#include "jobs/SettingsStore.h"
#include "tests/support/TempHome.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

constexpr int kJobs = 1000;

double Milliseconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F> double Time(F&& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return Milliseconds(std::chrono::steady_clock::now() - start);
}

} // namespace

int main()
{
    const std::string dir = MakeTempDir("ferrovane-bench");
    const QString file = QString::fromStdString(dir) + QStringLiteral("/Ombrix/ferrovane.conf");

    JobList jobs;
    for (int n = 0; n < kJobs; ++n) {
        UploadJob job;
        job.userName = "user" + std::to_string(n);
        job.password = "password-" + std::to_string(n);
        job.webAddress = "ftp" + std::to_string(n) + ".example.invalid";
        job.sourceFile = "/home/user/outgoing/file" + std::to_string(n) + ".txt";
        job.destinationFile = "/incoming/file" + std::to_string(n) + ".txt";
        job.intervalSeconds = job.countdown = 60 + n;
        job.port = 21;
        job.passiveMode = n % 2;
        jobs.push_back(job);
    }

    // The first Encode makes the key pair; keep that out of the figures.
    PasswordCipher(true, dir + "/data").Encode("warm up");

    double firstSave = 0;
    double secondSave = 0;
    double load = 0;
    JobList loaded;
    {
        SettingsStore store = SettingsStore::FromFile(file);
        store.SetKeyStoreRoot(dir + "/data");
        firstSave = Time([&] { SaveJobs(store, 1, jobs); });
        secondSave = Time([&] { SaveJobs(store, 1, jobs); });
    }
    {
        SettingsStore store = SettingsStore::FromFile(file);
        store.SetKeyStoreRoot(dir + "/data");
        std::int32_t running = 0;
        load = Time([&] { LoadJobs(store, running, loaded); });
    }
    const bool same = loaded == jobs;
    RemoveTree(dir);

    std::printf("jobs: %d (with passwords)\n", kJobs);
    std::printf("save over an empty store: %8.1f ms (%.3f ms per job)\n", firstSave,
                firstSave / kJobs);
    std::printf("save over the same list:  %8.1f ms (%.3f ms per job)\n", secondSave,
                secondSave / kJobs);
    std::printf("load:                     %8.1f ms (%.3f ms per job)\n", load, load / kJobs);
    std::printf("loaded list equals saved list: %s\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}
