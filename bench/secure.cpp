// Upload time on secure servers, ours against the usual command-line tools, all against the same
// local test servers on 127.0.0.1 (started here, with certificates made for this run):
//
//   1. 200 files of 4 KiB over ftpes:// in one wildcard run (RunJob over one TransferSession, one
//      login, as the window runs a job), against lftp's mput over explicit TLS.
//   2. The same 200 files over sftp://, against one curl process uploading them all over SFTP.
//   3. One file of 256 MiB over ftpes://, against curl --ssl-reqd -T.
//   4. As root, on the servers people run: the 200 files over ftpes:// to proftpd (TLS 1.2 and
//      1.3, session reuse required on data connections) against lftp's mput and one curl process,
//      and over sftp:// to OpenSSH's sshd against one curl process; and the ftpes:// run once
//      more with the system's whole bundle of authorities trusted, against lftp given the same.
//
// Every round starts the peer as a fresh process with a temporary HOME (no rc files, no
// bookmarks, no known hosts) and sends into a fresh remote folder, so that nothing is
// overwritten. The sides alternate round by round, so that a busy moment of the machine hits both;
// on a shared machine the median is the steadier figure. The targets are printed for comparison
// only: a slower figure does not fail the bench.
//
//   bench_secure [rounds]     (default 5)

#include "bench/RunOverOneSession.h"
#include "tests/support/FtpServer.h"
#include "tests/support/ProftpdServer.h"
#include "tests/support/SftpServer.h"
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
#include <optional>
#include <random>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLargeSize = std::size_t{256} * 1024 * 1024;
constexpr std::size_t kSmallSize = 4 * 1024;
constexpr int kSmallCount = 200;
constexpr double kSmallTarget = 1.2;
constexpr double kLargeTarget = 1.05;

void WriteRandomFile(const std::string& path, std::size_t size, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> block(1024 * 1024 / 8);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t written = 0; written < size;) {
        for (auto& word : block) {
            word = random();
        }
        const std::size_t chunk = std::min(size - written, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        written += chunk;
    }
    if (!out) {
        throw std::runtime_error("could not write " + path);
    }
}

// Runs a peer tool to its end with `home` as HOME (and the XDG folders under it), its output
// thrown away and its error output kept for the message. True when it exits with 0; `errors`
// then holds nothing of use.
bool RunTool(const std::vector<std::string>& args, const std::string& home, std::string& errors)
{
    static const char* const kHidden[] = {
        "HOME=",           "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "XDG_CACHE_HOME=",
        "XDG_STATE_HOME=", "LFTP_HOME=",       "CURL_HOME=",     "SSH_AUTH_SOCK="};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const bool hidden = std::any_of(std::begin(kHidden), std::end(kHidden), [&](const char* p) {
            return std::strncmp(*entry, p, std::strlen(p)) == 0;
        });
        if (!hidden) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("HOME=" + home);
    environment.push_back("XDG_CONFIG_HOME=" + home + "/.config");
    environment.push_back("XDG_DATA_HOME=" + home + "/.local/share");
    environment.push_back("XDG_CACHE_HOME=" + home + "/.cache");
    environment.push_back("XDG_STATE_HOME=" + home + "/.local/state");

    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argsCopy = args;
    std::vector<char*> argv;
    for (auto& arg : argsCopy) {
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
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errors = "could not start " + args[0] + ": " + std::strerror(spawned);
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    std::ifstream in(errorFile);
    std::stringstream text;
    text << in.rdbuf();
    errors = args[0] + " failed (status " + std::to_string(status) + "): " + text.str();
    return false;
}

bool ToolPresent(const std::string& name, const std::string& home)
{
    std::string errors;
    return RunTool({name, "--version"}, home, errors);
}

double Seconds(const std::function<void()>& work)
{
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Best(std::vector<double> values)
{
    return *std::min_element(values.begin(), values.end());
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One comparison: our side and the peer's, each run once per round, alternating.
struct Comparison
{
    std::string title;
    std::string oursName;
    std::string peerName;
    double megabytes = 0;
    double target = 0;
    // Runs one round into a fresh remote place; throws when the upload did not arrive whole.
    std::function<void(int round)> ours;
    // Empty when the peer cannot do it; `peerMissing` then says why.
    std::function<void(int round)> peer;
    std::string peerMissing;
    // Check what arrived in a round, outside the timed part.
    std::function<void(int round)> checkOurs;
    std::function<void(int round)> checkPeer;
};

void Print(const Comparison& c, const std::vector<double>& ours, const std::vector<double>& peer)
{
    const auto line = [&](const std::string& who, const std::vector<double>& values) {
        std::string rounds;
        for (const double value : values) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, " %.3f", value);
            rounds += buffer;
        }
        std::printf("  %-26s best %7.3f s  median %7.3f s  (%7.1f MB/s)   rounds:%s\n", who.c_str(),
                    Best(values), Median(values), c.megabytes / Median(values), rounds.c_str());
    };
    line(c.oursName, ours);
    if (peer.empty()) {
        std::printf("  %-26s no figure: %s\n", c.peerName.c_str(), c.peerMissing.c_str());
        std::printf("  ratio ours / peer: none (target at most %.2f)\n", c.target);
        return;
    }
    line(c.peerName, peer);
    const double median = Median(ours) / Median(peer);
    const double best = Best(ours) / Best(peer);
    std::printf("  ratio ours / peer: median %.3f, best %.3f   (target at most %.2f: median %s)\n",
                median, best, c.target, median <= c.target ? "within" : "ABOVE");
}

void Measure(const Comparison& c, int rounds)
{
    std::printf("\n%s\n", c.title.c_str());
    std::fflush(stdout);
    std::vector<double> ours;
    std::vector<double> peer;
    for (int round = 1; round <= rounds; ++round) {
        ours.push_back(Seconds([&] { c.ours(round); }));
        c.checkOurs(round);
        if (c.peer) {
            peer.push_back(Seconds([&] { c.peer(round); }));
            c.checkPeer(round);
        }
    }
    Print(c, ours, peer);
    std::fflush(stdout);
}

// The files of a remote folder, checked against what was sent.
void CheckFolder(const std::string& folder, int count, std::size_t size)
{
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.file_size() == size) {
            ++found;
        }
    }
    if (found != count) {
        throw std::runtime_error(folder + ": " + std::to_string(found) + " of " +
                                 std::to_string(count) + " files arrived whole");
    }
}

// A large copy is checked and removed at once, so that the rounds do not fill the disk.
void CheckAndRemoveFile(const std::string& path, std::size_t size)
{
    if (!std::filesystem::exists(path) || std::filesystem::file_size(path) != size) {
        throw std::runtime_error(path + " did not arrive whole");
    }
    std::filesystem::remove(path);
}

// One wildcard job run as the window makes it: the run's own session, the job read before every
// file, a progress callback on every transfer. Throws at the first file that fails.
void RunWildcardJob(const UploadJob& job, const TrustStore* trust)
{
    const std::string failure = RunOverOneSession(job, trust);
    if (!failure.empty()) {
        throw std::runtime_error("job run failed: " + failure);
    }
}

std::string Round(int round)
{
    std::string name = std::to_string(round);
    name.insert(0, 1, 'r');
    return name;
}

// The 200 small files on the system's proftpd (ftpes://) and OpenSSH sshd (sftp://), each side
// against the command-line clients on the same server; needs root to run the servers.
void MeasureSystemServers(int rounds, const std::string& smallFolder,
                          const std::vector<std::string>& small, const TestCertificates& certs,
                          const std::string& peerHome, const std::string& local)
{
    const std::string why =
        ProftpdServer::Unavailable(ProftpdServer::Mode::ExplicitTls) + SshdServer::Unavailable();
    if (!why.empty()) {
        std::printf("\nproftpd and sshd: not measured (%s)\n", why.c_str());
        return;
    }
    ProftpdServer proftpd(ProftpdServer::Mode::ExplicitTls, certs.server());
    SshdServer sshd;
    const TrustStore trust(local + "/system-trust");
    std::string failure;
    if (!trust.Trust(sshd.hostKey(), failure)) {
        throw std::runtime_error("could not trust sshd: " + failure);
    }
    std::string curlGlob = "{";
    for (const auto& path : small) {
        curlGlob += (curlGlob.size() > 1 ? "," : "") + path;
    }
    curlGlob += "}";
    const auto job = [&](const DaemonServer& server, const char* address) {
        UploadJob job;
        job.userName = server.user();
        job.password = server.password();
        job.webAddress = address;
        job.sourceFile = smallFolder + "/*.bin";
        job.port = server.port();
        job.passiveMode = 1;
        return job;
    };
    const auto ours = [&](const DaemonServer& server, const char* address) {
        return [&server, &trust, address, base = job(server, address)](int round) {
            server.addFolder("ours" + Round(round));
            UploadJob run = base;
            run.destinationFile = "ours" + Round(round) + "/x";
            RunWildcardJob(run, &trust);
        };
    };
    const auto tool = [&](std::vector<std::string> args) {
        std::string errors;
        if (!RunTool(args, peerHome, errors)) {
            throw std::runtime_error(errors);
        }
    };
    const std::string ftpUrl = "ftp://127.0.0.1:" + std::to_string(proftpd.port()) + "/";
    const std::string lftpOpen = "set cmd:fail-exit true; set net:max-retries 1; "
                                 "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                                 "set ssl:ca-file " +
                                 certs.authority() + "; open -u " + proftpd.user() + "," +
                                 proftpd.password() + " -p " + std::to_string(proftpd.port()) +
                                 " ftp://127.0.0.1; ";
    const auto check = [&](const DaemonServer& server, const std::string& who) {
        return [&server, who](int round) {
            CheckFolder(server.home() + "/" + who + Round(round), kSmallCount, kSmallSize);
        };
    };
    // curl's command line offers a spent TLS 1.3 session to the second data connection, which
    // proftpd refuses; it is measured with TLS 1.2 then, and says so.
    std::vector<std::string> curlTls = {"curl",       "-q",       "-sS",
                                        "--ssl-reqd", "--cacert", certs.authority()};
    std::string curlNote;
    proftpd.addFolder("curlwarm");
    try {
        auto args = curlTls;
        args.insert(args.end(), {"--user", proftpd.user() + ":" + proftpd.password(), "-T",
                                 curlGlob, ftpUrl + "curlwarm/"});
        tool(args);
    } catch (const std::exception&) {
        curlTls.push_back("--tls-max");
        curlTls.push_back("1.2");
        curlNote = " (TLS 1.2)";
    }

    const double megabytes = kSmallCount * kSmallSize / 1e6;
    Comparison viaLftp{
        "proftpd: 200 files of 4 KiB over ftpes://, one run",
        "ours (job run, 1 login)",
        "lftp mput",
        megabytes,
        kSmallTarget,
        ours(proftpd, "ftpes://127.0.0.1"),
        [&](int round) {
            proftpd.addFolder("lftp" + Round(round));
            tool({"lftp", "--norc", "-c",
                  lftpOpen + "cd lftp" + Round(round) + "; lcd " + smallFolder + "; mput *.bin"});
        },
        {},
        check(proftpd, "ours"),
        check(proftpd, "lftp")};
    Comparison viaCurl = viaLftp;
    viaCurl.title = "proftpd: the same 200 files, against one curl process";
    viaCurl.peerName = "curl -T {200 files}" + curlNote;
    viaCurl.checkOurs = [](int) {};
    viaCurl.ours = [&](int round) { ours(proftpd, "ftpes://127.0.0.1")(round + 100); };
    viaCurl.checkOurs = [&](int round) { check(proftpd, "ours")(round + 100); };
    viaCurl.peer = [&](int round) {
        proftpd.addFolder("curl" + Round(round));
        auto args = curlTls;
        args.insert(args.end(), {"--user", proftpd.user() + ":" + proftpd.password(), "-T",
                                 curlGlob, ftpUrl + "curl" + Round(round) + "/"});
        tool(args);
    };
    viaCurl.checkPeer = check(proftpd, "curl");

    // Trusting the system's authorities as well, from one bundle of the usual size (the system's
    // and the test authority), which every side parses.
    const std::string bundle = local + "/system-and-test-authorities.pem";
    {
        std::ofstream out(bundle);
        out << std::ifstream("/etc/ssl/certs/ca-certificates.crt").rdbuf();
        out << std::ifstream(certs.authority()).rdbuf();
    }
    Comparison withBundle = viaLftp;
    withBundle.title = "proftpd: the same 200 files trusting the system's bundle and the test "
                       "authority, against lftp";
    withBundle.ours = [&](int round) {
        const std::string previous = SetTransferAuthorityFileForTesting(bundle);
        ours(proftpd, "ftpes://127.0.0.1")(round + 200);
        SetTransferAuthorityFileForTesting(previous);
    };
    withBundle.checkOurs = [&](int round) { check(proftpd, "ours")(round + 200); };
    withBundle.peer = [&](int round) {
        proftpd.addFolder("lftp" + Round(round + 200));
        tool({"lftp", "--norc", "-c",
              "set cmd:fail-exit true; set net:max-retries 1; set ftp:ssl-force true; "
              "set ftp:ssl-protect-data true; set ssl:ca-file " +
                  bundle + "; open -u " + proftpd.user() + "," + proftpd.password() + " -p " +
                  std::to_string(proftpd.port()) + " ftp://127.0.0.1; cd lftp" +
                  Round(round + 200) + "; lcd " + smallFolder + "; mput *.bin"});
    };
    withBundle.checkPeer = [&](int round) { check(proftpd, "lftp")(round + 200); };

    std::string hostKey = sshd.hostKey().fingerprint.substr(std::strlen("SHA256:"));
    while (hostKey.size() % 4 != 0) {
        hostKey += '=';
    }
    Comparison overSsh{"OpenSSH sshd: 200 files of 4 KiB over sftp://, one run",
                       "ours (job run, 1 login)",
                       "curl -T {200 files}",
                       megabytes,
                       kSmallTarget,
                       ours(sshd, "sftp://127.0.0.1"),
                       [&](int round) {
                           sshd.addFolder("curl" + Round(round));
                           tool({"curl", "-q", "-sS", "--user", sshd.user() + ":" + sshd.password(),
                                 "--hostpubsha256", hostKey, "-T", curlGlob,
                                 "sftp://127.0.0.1:" + std::to_string(sshd.port()) + "/~/curl" +
                                     Round(round) + "/"});
                       },
                       {},
                       check(sshd, "ours"),
                       check(sshd, "curl")};

    // Untimed first runs of our side, then the figures.
    ours(proftpd, "ftpes://127.0.0.1")(0);
    ours(sshd, "sftp://127.0.0.1")(0);
    Measure(viaLftp, rounds);
    Measure(viaCurl, rounds);
    Measure(withBundle, rounds);
    Measure(overSsh, rounds);
    std::printf("  logins: proftpd %zu, sshd %zu (one per run is ours; one per run is the "
                "peers')\n",
                proftpd.logins(), sshd.logins());
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string local = MakeTempDir("ferrovane-bench-secure");
    int exitCode = 0;
    try {
        TempHome home; // our own side never touches the real user's settings
        TestCertificates certificates;
        SetTransferAuthorityFileForTesting(certificates.authority());
        const std::string peerHome = local + "/peer-home";
        std::filesystem::create_directories(peerHome);
        const TrustStore trust(local + "/trust");

        FtpServerTls tls;
        tls.mode = FtpServerTls::Mode::Explicit;
        tls.certificateFile = certificates.server();
        tls.required = true;
        FtpServer ftp({}, tls);
        SftpServer sftp;

        const std::string smallFolder = local + "/small";
        const std::string largeFolder = local + "/large";
        std::filesystem::create_directories(smallFolder);
        std::filesystem::create_directories(largeFolder);
        std::vector<std::string> small;
        for (int i = 0; i < kSmallCount; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/f%03d.bin", i);
            small.push_back(smallFolder + name);
            WriteRandomFile(small.back(), kSmallSize, 100 + static_cast<unsigned>(i));
        }
        const std::string large = largeFolder + "/large.bin";
        WriteRandomFile(large, kLargeSize, 1);

        const bool haveLftp = ToolPresent("lftp", peerHome);
        const bool haveCurl = ToolPresent("curl", peerHome);
        const std::string ftpPort = std::to_string(ftp.port());
        const std::string sftpPort = std::to_string(sftp.port());
        const std::string ftpLogin =
            std::string(FtpServer::kWriter) + "," + std::string(FtpServer::kWriterPassword);
        const std::string curlFtpLogin =
            std::string(FtpServer::kWriter) + ":" + std::string(FtpServer::kWriterPassword);
        const std::string curlSftpLogin =
            std::string(SftpServer::kUser) + ":" + std::string(SftpServer::kPassword);

        // The machine's load when the figures were taken, since they depend on it.
        std::string load;
        std::getline(std::ifstream("/proc/loadavg"), load);
        std::printf("bench_secure: %d round(s); ftpes on 127.0.0.1:%u, sftp on 127.0.0.1:%u; "
                    "load average %s\n",
                    rounds, ftp.port(), sftp.port(), load.c_str());

        // Our side trusts the SSH host key the way the user would: once, recorded in the store.
        {
            std::string text;
            std::int32_t success = 0;
            std::optional<ServerIdentity> untrusted;
            TransferSession probe;
            probe.Send(SftpServer::kUser, SftpServer::kPassword, "sftp://127.0.0.1", "probe.bin",
                       small[0], sftp.port(), 0, text, success, {}, {&trust, &untrusted});
            std::string why;
            if (!untrusted || !trust.Trust(*untrusted, why)) {
                throw std::runtime_error("could not trust the SSH test server: " + text + why);
            }
        }

        UploadJob ftpesJob;
        ftpesJob.userName = FtpServer::kWriter;
        ftpesJob.password = FtpServer::kWriterPassword;
        ftpesJob.webAddress = "ftpes://127.0.0.1";
        ftpesJob.sourceFile = smallFolder + "/*.bin";
        ftpesJob.port = ftp.port();
        ftpesJob.passiveMode = 1;
        UploadJob sftpJob = ftpesJob;
        sftpJob.userName = SftpServer::kUser;
        sftpJob.password = SftpServer::kPassword;
        sftpJob.webAddress = "sftp://127.0.0.1";
        sftpJob.port = sftp.port();

        // lftp: the settings asked of it, the test authority first; when it cannot verify the
        // test certificate with it, without verification (and the output says so).
        const auto lftpScript = [&](bool verify, const std::string& remoteFolder) {
            std::string script = "set cmd:fail-exit true; set net:max-retries 1; "
                                 "set ftp:ssl-force true; set ftp:ssl-protect-data true; ";
            script += verify ? "set ssl:ca-file " + certificates.authority() + "; "
                             : std::string("set ssl:verify-certificate no; ");
            script += "open -u " + ftpLogin + " -p " + ftpPort + " ftp://127.0.0.1; ";
            script += "cd " + remoteFolder + "; lcd " + smallFolder + "; mput *.bin";
            return script;
        };
        bool lftpVerifies = true;
        std::string lftpMissing;
        if (!haveLftp) {
            lftpMissing = "lftp is not installed";
        } else {
            // An untimed first run, which also finds out whether lftp takes the test authority.
            std::filesystem::create_directories(ftp.home() + "/lftp/warm");
            std::string errors;
            if (!RunTool({"lftp", "--norc", "-c", lftpScript(true, "/lftp/warm")}, peerHome,
                         errors)) {
                std::printf("lftp does not verify the test certificate with ssl:ca-file (%s); "
                            "it runs with ssl:verify-certificate no\n",
                            errors.c_str());
                lftpVerifies = false;
                if (!RunTool({"lftp", "--norc", "-c", lftpScript(false, "/lftp/warm")}, peerHome,
                             errors)) {
                    lftpMissing = "lftp could not upload over explicit TLS: " + errors;
                }
            }
        }

        // curl: every file as one -T glob, one process and so one login for all of them.
        std::string curlGlob = "{";
        for (const auto& path : small) {
            curlGlob += (curlGlob.size() > 1 ? "," : "") + path;
        }
        curlGlob += "}";
        // The host key's SHA-256 as --hostpubsha256 takes it: base64, padding restored.
        std::string hostKey = sftp.fingerprint().substr(std::strlen("SHA256:"));
        while (hostKey.size() % 4 != 0) {
            hostKey += '=';
        }
        std::string curlSftpMissing = haveCurl ? "" : "curl is not installed";
        if (haveCurl) {
            std::filesystem::create_directories(sftp.home() + "/curl/warm");
            std::string errors;
            if (!RunTool({"curl", "-q", "-sS", "--user", curlSftpLogin, "--hostpubsha256", hostKey,
                          "-T", curlGlob, "sftp://127.0.0.1:" + sftpPort + "/curl/warm/"},
                         peerHome, errors)) {
                curlSftpMissing = "curl could not upload over SFTP: " + errors;
            }
        }
        // Our own first runs, untimed too.
        ftpesJob.destinationFile = "/ours/warm/x";
        sftpJob.destinationFile = "/ours/warm/x";
        std::filesystem::create_directories(ftp.home() + "/ours/warm");
        std::filesystem::create_directories(sftp.home() + "/ours/warm");
        RunWildcardJob(ftpesJob, &trust);
        RunWildcardJob(sftpJob, &trust);

        Comparison ftpesSmall;
        ftpesSmall.title = "200 files of 4 KiB over ftpes:// (explicit TLS, PROT P), one run";
        ftpesSmall.oursName = "ours (job run, 1 login)";
        ftpesSmall.peerName = std::string("lftp mput") + (lftpVerifies ? "" : " (no verify)");
        ftpesSmall.megabytes = kSmallCount * kSmallSize / 1e6;
        ftpesSmall.target = kSmallTarget;
        ftpesSmall.ours = [&](int round) {
            const std::string folder = "/ours/" + Round(round);
            std::filesystem::create_directories(ftp.home() + folder);
            UploadJob job = ftpesJob;
            job.destinationFile = folder + "/x";
            RunWildcardJob(job, &trust);
        };
        if (lftpMissing.empty()) {
            ftpesSmall.peer = [&](int round) {
                const std::string folder = "/lftp/" + Round(round);
                std::filesystem::create_directories(ftp.home() + folder);
                std::string errors;
                if (!RunTool({"lftp", "--norc", "-c", lftpScript(lftpVerifies, folder)}, peerHome,
                             errors)) {
                    throw std::runtime_error(errors);
                }
            };
        }
        ftpesSmall.peerMissing = lftpMissing;

        Comparison sftpSmall;
        sftpSmall.title = "200 files of 4 KiB over sftp:// (password login), one run";
        sftpSmall.oursName = "ours (job run, 1 login)";
        sftpSmall.peerName = "curl -T {200 files}";
        sftpSmall.megabytes = ftpesSmall.megabytes;
        sftpSmall.target = kSmallTarget;
        sftpSmall.ours = [&](int round) {
            const std::string folder = "/ours/" + Round(round);
            std::filesystem::create_directories(sftp.home() + folder);
            UploadJob job = sftpJob;
            job.destinationFile = folder + "/x";
            RunWildcardJob(job, &trust);
        };
        if (curlSftpMissing.empty()) {
            sftpSmall.peer = [&](int round) {
                const std::string folder = "/curl/" + Round(round) + "/";
                std::filesystem::create_directories(sftp.home() + folder);
                std::string errors;
                if (!RunTool({"curl", "-q", "-sS", "--user", curlSftpLogin, "--hostpubsha256",
                              hostKey, "-T", curlGlob, "sftp://127.0.0.1:" + sftpPort + folder},
                             peerHome, errors)) {
                    throw std::runtime_error(errors);
                }
            };
        }
        sftpSmall.peerMissing = curlSftpMissing;

        Comparison ftpesLarge;
        ftpesLarge.title = "One file of 256 MiB over ftpes:// (explicit TLS, PROT P)";
        ftpesLarge.oursName = "ours (session, 1 file)";
        ftpesLarge.peerName = "curl --ssl-reqd -T";
        ftpesLarge.megabytes = kLargeSize / 1e6;
        ftpesLarge.target = kLargeTarget;
        std::filesystem::create_directories(ftp.home() + "/large");
        ftpesLarge.ours = [&](int round) {
            const std::string remote = "/large/ours-" + Round(round) + ".bin";
            TransferSession session;
            std::string text;
            std::int32_t success = 0;
            session.Send(FtpServer::kWriter, FtpServer::kWriterPassword, "ftpes://127.0.0.1",
                         remote, large, ftp.port(), 1, text, success,
                         [](std::uint64_t, std::uint64_t) { return true; }, {&trust, nullptr});
            if (success != 1) {
                throw std::runtime_error("our upload failed: " + text);
            }
        };
        if (haveCurl) {
            ftpesLarge.peer = [&](int round) {
                const std::string remote = "/large/curl-" + Round(round) + ".bin";
                std::string errors;
                if (!RunTool({"curl", "-q", "-sS", "--ssl-reqd", "--cacert",
                              certificates.authority(), "--user", curlFtpLogin, "-T", large,
                              "ftp://127.0.0.1:" + ftpPort + remote},
                             peerHome, errors)) {
                    throw std::runtime_error(errors);
                }
            };
        }
        ftpesLarge.peerMissing = "curl is not installed";

        // What each side said to the server for its files, as a hint to where the time went.
        std::vector<std::string> oursCommands;
        std::vector<std::string> peerCommands;
        ftpesSmall.checkOurs = [&](int round) {
            CheckFolder(ftp.home() + "/ours/" + Round(round), kSmallCount, kSmallSize);
            oursCommands = ftp.commands();
            ftp.clearCommands();
        };
        ftpesSmall.checkPeer = [&](int round) {
            CheckFolder(ftp.home() + "/lftp/" + Round(round), kSmallCount, kSmallSize);
            peerCommands = ftp.commands();
            ftp.clearCommands();
        };
        sftpSmall.checkOurs = [&](int round) {
            CheckFolder(sftp.home() + "/ours/" + Round(round), kSmallCount, kSmallSize);
        };
        sftpSmall.checkPeer = [&](int round) {
            CheckFolder(sftp.home() + "/curl/" + Round(round), kSmallCount, kSmallSize);
        };
        ftpesLarge.checkOurs = [&](int round) {
            CheckAndRemoveFile(ftp.home() + "/large/ours-" + Round(round) + ".bin", kLargeSize);
        };
        ftpesLarge.checkPeer = [&](int round) {
            CheckAndRemoveFile(ftp.home() + "/large/curl-" + Round(round) + ".bin", kLargeSize);
        };

        ftp.clearCommands();
        Measure(ftpesSmall, rounds);
        std::printf("  commands the server received in the last round: ours %zu (%.1f a file)",
                    oursCommands.size(), static_cast<double>(oursCommands.size()) / kSmallCount);
        if (ftpesSmall.peer) {
            std::printf(", %s %zu (%.1f a file)", ftpesSmall.peerName.c_str(), peerCommands.size(),
                        static_cast<double>(peerCommands.size()) / kSmallCount);
        }
        std::printf("\n");
        Measure(sftpSmall, rounds);
        Measure(ftpesLarge, rounds);
        MeasureSystemServers(rounds, smallFolder, small, certificates, peerHome, local);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_secure: %s\n", error.what());
        exitCode = 1;
    }
    SetTransferAuthorityFileForTesting({});
    RemoveTree(local);
    return exitCode;
}
