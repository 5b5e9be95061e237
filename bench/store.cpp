// Load and save time of stores of 10 to 10,000 jobs with passwords, on a temporary store and key
// containers. Every job enciphers or deciphers its own password, so the cipher dominates.
// Targets at 1,000 jobs: save at most 100 ms, load at most 80 ms.
#include "jobs/JobStore.h"
#include "jobs/PasswordCipher.h"
#include "jobs/SettingsStore.h"
#include "tests/support/TempHome.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

constexpr int kSizes[] = {10, 100, 1000, 10000};

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

JobList MakeJobs(int count)
{
    JobList jobs;
    for (int n = 0; n < count; ++n) {
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
    return jobs;
}

} // namespace

int main()
{
    const std::string dir = MakeTempDir("ferrovane-bench");
    // The first Encode makes the key pair; keep that out of the figures.
    PasswordCipher(true, dir + "/data").Encode("warm up");

    std::printf("%8s %12s %12s %12s %14s %6s\n", "jobs", "save (new)", "save (same)", "load",
                "load per job", "equal");
    bool allSame = true;
    for (const int count : kSizes) {
        const JobList jobs = MakeJobs(count);
        const QString file = QString::fromStdString(dir) + QStringLiteral("/Ombrix/bench-") +
                             QString::number(count) + QStringLiteral(".conf");
        double firstSave = 0;
        double secondSave = 0;
        double load = 0;
        JobList saved = jobs;
        JobList loaded;
        {
            SettingsStore store = SettingsStore::FromFile(file);
            store.SetKeyStoreRoot(dir + "/data");
            firstSave = Time([&] { SaveJobs(store, 1, saved); });
            secondSave = Time([&] { SaveJobs(store, 1, saved); });
        }
        {
            SettingsStore store = SettingsStore::FromFile(file);
            store.SetKeyStoreRoot(dir + "/data");
            std::int32_t running = 0;
            load = Time([&] { LoadJobs(store, running, loaded); });
        }
        const bool same = loaded == jobs;
        allSame = allSame && same;
        std::printf("%8d %9.1f ms %9.1f ms %9.1f ms %11.3f ms %6s\n", count, firstSave, secondSave,
                    load, load / count, same ? "yes" : "NO");
    }
    RemoveTree(dir);
    return allSame ? 0 : 1;
}
