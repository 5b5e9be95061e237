// Small files over a slow link: 200 files of 4 KiB to the system's proftpd (ftp://, and ftpes://
// with TLS 1.2 only and TLS 1.3 only) and OpenSSH's sshd (sftp://), ours against lftp, curl and
// OpenSSH's sftp, once on loopback and once through a link that delays every byte 25 ms each way.
// Each side's wall time and CPU time (user + system) are printed: ours from getrusage of this
// process, the peers' from wait4 of their process. The servers' own time counts for neither.
// On ftpes:// and sftp:// ours stores each file under a temporary name and renames it, which costs
// round trips the plain peers do not spend; each peer that can therefore runs a second time doing
// the same.
//
// The delay is bench/DelayProxy.h's proxy in a network namespace of its own; the clients, ours
// included, run inside that namespace for the delayed rounds. Needs root: the system's servers,
// and the namespace.
//
//   bench_wan [loopback rounds] [delayed rounds] [delay ms] [files]     (default 3 1 25 200)
//   BENCH_WAN_REPLACE=1 bench_wan ...   times runs that replace files already on the server

#include "bench/DelayProxy.h"
#include "bench/RunOverOneSession.h"
#include "tests/support/ProftpdServer.h"
#include "tests/support/SshdServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestCertificates.h"
#include "transfer/TransferSession.h"
#include "transfer/TrustStore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using delay_proxy::DelayProxy;

constexpr std::size_t kSmallSize = 4 * 1024;
int kSmallCount = 200; // the fourth argument may change it for a quick look

// ---- Measuring ----

struct Cost
{
    double wall = 0;
    double cpu = 0; // user + system
};

double CpuSeconds(const rusage& usage)
{
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double WallSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A peer run to its end with `home` as HOME, its output thrown away; throws with its error output
// when it fails.
Cost RunPeer(const std::vector<std::string>& args, const std::string& home)
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_", 0) != 0 &&
            text.rfind("SSH_AUTH_SOCK=", 0) != 0 && text.rfind("LFTP_HOME=", 0) != 0 &&
            text.rfind("CURL_HOME=", 0) != 0) {
            environment.push_back(text);
        }
    }
    environment.push_back("HOME=" + home);
    environment.push_back("XDG_CONFIG_HOME=" + home + "/.config");
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& arg : copy) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const std::string errorFile = home + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("could not start " + args[0]);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Cost cost{WallSince(start), CpuSeconds(usage)};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream in(errorFile);
        std::stringstream text;
        text << in.rdbuf();
        throw std::runtime_error(args[0] + " failed: " + text.str());
    }
    return cost;
}

// Ours, in this process: a wildcard job run over one TransferSession, as the window runs it.
Cost RunOurs(const UploadJob& job, const TrustStore* trust)
{
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    const std::string failure = RunOverOneSession(job, trust);
    const double wall = WallSince(start);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    if (!failure.empty()) {
        throw std::runtime_error("our job run failed: " + failure);
    }
    return {wall, CpuSeconds(after) - CpuSeconds(before)};
}

void CheckFolder(const std::string& folder)
{
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        // A temporary name left behind is a file that never arrived.
        if (entry.is_regular_file() && entry.file_size() == kSmallSize &&
            entry.path().filename().string()[0] != '.') {
            ++found;
        }
    }
    if (found != kSmallCount) {
        throw std::runtime_error(folder + ": " + std::to_string(found) + " of " +
                                 std::to_string(kSmallCount) + " files arrived whole");
    }
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One side against one server: it uploads the files into the folder named, which the server has
// made writable.
struct Side
{
    std::string name;
    std::function<Cost(const std::string& folder)> run;
    std::string missing; // why it has no figure, when it has none
};

struct Case
{
    std::string title;
    const DaemonServer* server;
    std::vector<Side> sides;
};

struct Row
{
    std::string link;
    std::string title;
    std::string side;
    std::vector<Cost> costs;
    std::string missing;
};

void MeasureCases(std::vector<Case>& cases, const std::string& link, int rounds,
                  std::vector<Row>& rows)
{
    int folder = 0;
    for (Case& c : cases) {
        std::vector<Row> caseRows;
        for (const Side& side : c.sides) {
            caseRows.push_back({link, c.title, side.name, {}, side.missing});
        }
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t i = 0; i < c.sides.size(); ++i) {
                if (!c.sides[i].run || !caseRows[i].missing.empty()) {
                    continue;
                }
                const std::string name = "run" + std::to_string(++folder) + link;
                c.server->addFolder(name);
                try {
                    if (std::getenv("BENCH_WAN_REPLACE") != nullptr) {
                        c.sides[i].run(name); // the timed run then replaces every file
                    }
                    caseRows[i].costs.push_back(c.sides[i].run(name));
                    CheckFolder(c.server->home() + "/" + name);
                } catch (const std::exception& error) {
                    caseRows[i].missing = error.what();
                    caseRows[i].missing.resize(
                        std::min<std::size_t>(caseRows[i].missing.find_first_of("\r\n"), 160));
                }
                std::filesystem::remove_all(c.server->home() + "/" + name);
            }
        }
        for (const Row& row : caseRows) {
            if (row.costs.empty() && row.missing.empty()) {
                continue; // no rounds asked for
            }
            if (row.missing.empty()) {
                std::vector<double> walls;
                std::vector<double> cpus;
                for (const Cost& cost : row.costs) {
                    walls.push_back(cost.wall);
                    cpus.push_back(cost.cpu);
                }
                std::printf("  %-9s %-22s %-26s runs %d  wall %7.3f s  cpu %6.3f s\n", link.c_str(),
                            c.title.c_str(), row.side.c_str(), static_cast<int>(row.costs.size()),
                            Median(walls), Median(cpus));
            } else {
                std::printf("  %-9s %-22s %-26s no figure: %s\n", link.c_str(), c.title.c_str(),
                            row.side.c_str(), row.missing.c_str());
            }
            std::fflush(stdout);
            rows.push_back(row);
        }
    }
}

void PrintTable(const std::vector<Row>& rows)
{
    std::printf("\n%-9s %-22s %-26s %4s %10s %10s %10s %10s\n", "link", "server", "side", "runs",
                "wall med", "wall best", "cpu med", "cpu best");
    for (const Row& row : rows) {
        if (!row.missing.empty() || row.costs.empty()) {
            std::printf("%-9s %-22s %-26s %4s   no figure\n", row.link.c_str(), row.title.c_str(),
                        row.side.c_str(), "-");
            continue;
        }
        std::vector<double> walls;
        std::vector<double> cpus;
        for (const Cost& cost : row.costs) {
            walls.push_back(cost.wall);
            cpus.push_back(cost.cpu);
        }
        std::printf("%-9s %-22s %-26s %4zu %10.3f %10.3f %10.3f %10.3f\n", row.link.c_str(),
                    row.title.c_str(), row.side.c_str(), row.costs.size(), Median(walls),
                    *std::min_element(walls.begin(), walls.end()), Median(cpus),
                    *std::min_element(cpus.begin(), cpus.end()));
    }
}

std::string Glob(const std::vector<std::string>& files)
{
    std::string glob = "{";
    for (const auto& path : files) {
        glob += (glob.size() > 1 ? "," : "") + path;
    }
    return glob + "}";
}

int BenchMain(int loopbackRounds, int delayedRounds, int delayMs)
{
    const std::string why =
        ProftpdServer::Unavailable(ProftpdServer::Mode::ExplicitTls) + SshdServer::Unavailable();
    if (!why.empty()) {
        std::printf("bench_wan: not measured (%s)\n", why.c_str());
        return 0;
    }
    const std::string local = MakeTempDir("ferrovane-bench-wan");
    int exitCode = 0;
    try {
        TempHome home;
        TestCertificates certificates;
        // Every TLS side trusts the system's authorities and the test one, from one bundle, so
        // that each parses a bundle of the usual size.
        const std::string bundle = local + "/authorities.pem";
        {
            std::ofstream out(bundle);
            out << std::ifstream("/etc/ssl/certs/ca-certificates.crt").rdbuf();
            out << std::ifstream(certificates.authority()).rdbuf();
        }
        SetTransferAuthorityFileForTesting(bundle);
        const std::string peerHome = local + "/peer-home";
        std::filesystem::create_directories(peerHome);

        const std::string smallFolder = local + "/small";
        std::filesystem::create_directories(smallFolder);
        std::vector<std::string> small;
        for (int i = 0; i < kSmallCount; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/f%03d.bin", i);
            small.push_back(smallFolder + name);
            std::ofstream(small.back(), std::ios::binary)
                << std::string(kSmallSize, static_cast<char>('a' + i % 26));
        }
        const std::string curlGlob = Glob(small);

        ProftpdServer plain(ProftpdServer::Mode::Plain);
        ProftpdServer tls12(ProftpdServer::Mode::ExplicitTls12, certificates.server());
        ProftpdServer tls13(ProftpdServer::Mode::ExplicitTls13, certificates.server());
        SshdServer sshd;
        const TrustStore trust(local + "/trust");
        std::string failure;
        if (!trust.Trust(sshd.hostKey(), failure)) {
            throw std::runtime_error("could not trust sshd: " + failure);
        }
        const std::string knownHosts = peerHome + "/known_hosts";
        std::ofstream(knownHosts) << "[127.0.0.1]:" << sshd.port() << " " << sshd.hostKey().keyType
                                  << " " << sshd.hostKey().keyBase64 << "\n";
        std::string hostKey = sshd.hostKey().fingerprint.substr(std::strlen("SHA256:"));
        while (hostKey.size() % 4 != 0) {
            hostKey += '=';
        }

        const auto ours = [&](const DaemonServer& server, const char* address) {
            return [&server, &trust, &smallFolder, address](const std::string& folder) {
                UploadJob job;
                job.userName = server.user();
                job.password = server.password();
                job.webAddress = address;
                job.sourceFile = smallFolder + "/*.bin";
                job.destinationFile = folder + "/x";
                job.port = server.port();
                job.passiveMode = 1;
                return RunOurs(job, &trust);
            };
        };
        // `replace` asks the peer for the work ours does on a secure server: each file stored under
        // a temporary name and renamed over its destination once complete.
        const auto lftp = [&](const DaemonServer& server, bool tls, bool replace = false) {
            return [&server, &peerHome, &smallFolder, &bundle, tls,
                    replace](const std::string& folder) {
                std::string script = "set cmd:fail-exit true; set net:max-retries 1; ";
                if (replace) {
                    script += "set xfer:use-temp-file yes; ";
                }
                script += tls ? "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                                "set ssl:ca-file " +
                                    bundle + "; "
                              : std::string("set ftp:ssl-allow no; ");
                script += "open -u " + server.user() + "," + server.password() + " -p " +
                          std::to_string(server.port()) + " ftp://127.0.0.1; cd " + folder +
                          "; lcd " + smallFolder + "; mput *.bin";
                return RunPeer({"lftp", "--norc", "-c", script}, peerHome);
            };
        };
        const auto curlFtp = [&](const DaemonServer& server, std::vector<std::string> options) {
            return [&server, &peerHome, &curlGlob, options](const std::string& folder) {
                std::vector<std::string> args = {"curl", "-q", "-sS"};
                args.insert(args.end(), options.begin(), options.end());
                args.insert(
                    args.end(),
                    {"--user", server.user() + ":" + server.password(), "-T", curlGlob,
                     "ftp://127.0.0.1:" + std::to_string(server.port()) + "/" + folder + "/"});
                return RunPeer(args, peerHome);
            };
        };
        // curl keeps its connection across --next, and each file's group renames it afterwards.
        const auto curlReplace = [&](const DaemonServer& server, std::vector<std::string> options) {
            return [&server, &peerHome, &small, options](const std::string& folder) {
                std::vector<std::string> args = {"curl", "-q"};
                for (const std::string& path : small) {
                    const std::string name = std::filesystem::path(path).filename();
                    const std::string part = "." + name + ".part";
                    if (&path != &small.front()) {
                        args.push_back("--next");
                    }
                    args.insert(args.end(),
                                {"-sS", "--user", server.user() + ":" + server.password(), "-Q",
                                 "-RNFR " + part, "-Q", "-RNTO " + name, "-T", path,
                                 "ftp://127.0.0.1:" + std::to_string(server.port()) + "/" + folder +
                                     "/" + part});
                    args.insert(args.end(), options.begin(), options.end());
                }
                return RunPeer(args, peerHome);
            };
        };
        const std::vector<std::string> curlTls = {"--ssl-reqd", "--cacert", bundle};
        std::vector<std::string> curlTls12 = curlTls;
        curlTls12.insert(curlTls12.end(), {"--tls-max", "1.2"});
        const auto curlSftp = [&](const std::string& folder) {
            return RunPeer(
                {"curl", "-q", "-sS", "--user", sshd.user() + ":" + sshd.password(),
                 "--hostpubsha256", hostKey, "-T", curlGlob,
                 "sftp://127.0.0.1:" + std::to_string(sshd.port()) + "/~/" + folder + "/"},
                peerHome);
        };
        const bool haveSshpass = std::system("command -v sshpass >/dev/null 2>&1") == 0;
        const auto sftpBatch = [&](bool replace) {
            Side side{replace ? "sftp -b, put + rename" : "sftp -b (sshpass)", {}, {}};
            if (!haveSshpass) {
                side.missing = "sshpass is not installed";
                return side;
            }
            side.run = [&, replace](const std::string& folder) {
                const std::string batch = peerHome + "/batch-" + folder;
                std::ofstream out(batch);
                out << "cd " << folder << "\nlcd " << smallFolder << "\n";
                if (!replace) {
                    out << "put *.bin\n";
                } else {
                    // OpenSSH's sftp renames with the server's posix-rename, which replaces.
                    for (const std::string& path : small) {
                        const std::string name = std::filesystem::path(path).filename();
                        out << "put " << name << " ." << name << ".part\nrename ." << name
                            << ".part " << name << "\n";
                    }
                }
                out.close();
                return RunPeer({"sshpass", "-p", sshd.password(), "sftp", "-q", "-F", "/dev/null",
                                "-oBatchMode=no", "-oUserKnownHostsFile=" + knownHosts,
                                "-oGlobalKnownHostsFile=/dev/null", "-oStrictHostKeyChecking=yes",
                                "-oPubkeyAuthentication=no", "-P", std::to_string(sshd.port()),
                                "-b", batch, sshd.user() + "@127.0.0.1"},
                               peerHome);
            };
            return side;
        };

        std::vector<Case> cases = {
            {"proftpd ftp://",
             &plain,
             {{"ours (job run)", ours(plain, "ftp://127.0.0.1"), {}},
              {"lftp mput", lftp(plain, false), {}},
              {"curl -T {all files}", curlFtp(plain, {}), {}}}},
            {"proftpd ftpes:// 1.2",
             &tls12,
             {{"ours (job run, 1 login)", ours(tls12, "ftpes://127.0.0.1"), {}},
              {"lftp mput", lftp(tls12, true), {}},
              {"curl -T {all files}", curlFtp(tls12, curlTls12), {}},
              {"lftp mput, temp + rename", lftp(tls12, true, true), {}},
              {"curl --next, RNFR + RNTO", curlReplace(tls12, curlTls12), {}}}},
            {"proftpd ftpes:// 1.3",
             &tls13,
             {{"ours (job run, 1 login)", ours(tls13, "ftpes://127.0.0.1"), {}},
              {"lftp mput", lftp(tls13, true), {}},
              {"curl -T {all files}", curlFtp(tls13, curlTls), {}},
              {"lftp mput, temp + rename", lftp(tls13, true, true), {}},
              {"curl --next, RNFR + RNTO", curlReplace(tls13, curlTls), {}}}},
            {"sshd sftp://",
             &sshd,
             {{"ours (job run, 1 login)", ours(sshd, "sftp://127.0.0.1"), {}},
              {"curl -T {all files}", curlSftp, {}},
              sftpBatch(false),
              sftpBatch(true)}},
        };

        // BENCH_WAN_ONLY=text keeps the servers whose title holds it, for a closer look at one.
        // BENCH_WAN_REPLACE=1 times runs into a folder that already holds every file, as each
        // scheduled run after a job's first finds it.
        if (const char* only = std::getenv("BENCH_WAN_ONLY")) {
            std::erase_if(cases,
                          [&](const Case& c) { return c.title.find(only) == std::string::npos; });
        }
        std::string load;
        std::getline(std::ifstream("/proc/loadavg"), load);
        std::printf("bench_wan: %d file(s) of %zu bytes a run; %d loopback round(s), %d delayed "
                    "round(s) at %d ms each way; load average %s\n",
                    kSmallCount, kSmallSize, loopbackRounds, delayedRounds, delayMs, load.c_str());
        std::fflush(stdout);

        std::vector<Row> rows;
        // An untimed first run of every side, which also finds the ones that cannot take part.
        {
            std::vector<Row> warm;
            MeasureCases(cases, "warm-up", 1, warm);
            for (std::size_t c = 0, r = 0; c < cases.size(); ++c) {
                for (Side& side : cases[c].sides) {
                    side.missing = warm[r++].missing;
                }
            }
        }
        MeasureCases(cases, "loopback", loopbackRounds, rows);
        if (delayedRounds > 0) {
            std::vector<std::uint16_t> ports = {sshd.port()};
            for (const ProftpdServer* server : {&plain, &tls12, &tls13}) {
                ports.push_back(server->port());
                for (std::uint16_t i = 0; i < ProftpdServer::kPassiveCount; ++i) {
                    ports.push_back(server->firstPassivePort() + i);
                }
            }
            DelayProxy proxy(delayMs, ports);
            proxy.Enter();
            MeasureCases(cases, std::to_string(delayMs) + "ms", delayedRounds, rows);
            proxy.Leave();
        }
        PrintTable(rows);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_wan: %s\n", error.what());
        exitCode = 1;
    }
    SetTransferAuthorityFileForTesting({});
    RemoveTree(local);
    return exitCode;
}

} // namespace

int main(int argc, char** argv)
{
    if (const int proxy = delay_proxy::RunDelayProxyIfAsked(argc, argv); proxy >= 0) {
        return proxy;
    }
    signal(SIGPIPE, SIG_IGN);
    const int loopbackRounds = argc > 1 ? std::max(0, std::atoi(argv[1])) : 3;
    const int delayedRounds = argc > 2 ? std::max(0, std::atoi(argv[2])) : 1;
    const int delayMs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 25;
    kSmallCount = argc > 4 ? std::max(1, std::atoi(argv[4])) : kSmallCount;
    return BenchMain(loopbackRounds, delayedRounds, delayMs);
}
