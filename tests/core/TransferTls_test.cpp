// Uploads to servers that speak TLS: explicit (ftpes://) and implicit (ftps://), with
// certificates made for each test, and the addresses that never reach a server.
#include "transfer/TransferFile.h"

#include "transfer/TrustStore.h"

#include "tests/support/FtpServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestCertificates.h"

#include <algorithm>
#include <curl/curl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string kOk = "Ok.\r\n";

std::vector<std::string> Verbs(const std::vector<std::string>& commands)
{
    std::vector<std::string> verbs;
    for (const auto& line : commands) {
        verbs.push_back(line.substr(0, line.find(' ')));
    }
    return verbs;
}

bool Holds(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::string& line)
{
    const auto found = std::find(lines.begin(), lines.end(), line);
    return found == lines.end() ? -1 : found - lines.begin();
}

// Trusts the test authority instead of the system's for the life of the object.
class ScopedAuthority
{
public:
    explicit ScopedAuthority(const std::string& path)
        : previous_(SetTransferAuthorityFileForTesting(path))
    {}
    ~ScopedAuthority() { SetTransferAuthorityFileForTesting(previous_); }
    ScopedAuthority(const ScopedAuthority&) = delete;
    ScopedAuthority& operator=(const ScopedAuthority&) = delete;

private:
    std::string previous_;
};

class TransferTlsTest : public testing::Test
{
protected:
    TransferTlsTest() : local_(MakeTempDir("ferrovane-tls"))
    {
        contents_ = "secure bytes\n";
        for (int i = 0; i < 20000; ++i) {
            contents_ += static_cast<char>(i * 7);
        }
        std::ofstream(local_ + "/up.bin", std::ios::binary) << contents_;
    }
    ~TransferTlsTest() override { RemoveTree(local_); }

    struct Result
    {
        std::string text;
        std::int32_t success = -1;
    };

    Result Upload(const std::string& address, std::uint16_t port,
                  const std::string& remote = "up.bin", std::int32_t passive = 1)
    {
        Result result;
        TransferFile(FtpServer::kWriter, FtpServer::kWriterPassword, address, remote,
                     local_ + "/up.bin", port, passive, result.text, result.success);
        return result;
    }

    static FtpServerTls Tls(FtpServerTls::Mode mode, const std::string& certificate,
                            bool required = true)
    {
        FtpServerTls tls;
        tls.mode = mode;
        tls.certificateFile = certificate;
        tls.required = required;
        return tls;
    }

    TestCertificates certificates_;
    std::string local_;
    std::string contents_;
};

TEST_F(TransferTlsTest, ExplicitTlsStartsBeforeTheLoginAndProtectsTheData)
{
    // The server takes neither a login nor a data connection without TLS.
    FtpServer server({}, Tls(FtpServerTls::Mode::Explicit, certificates_.server()));
    ScopedAuthority trusted(certificates_.authority());
    const std::string port = std::to_string(server.port());

    // The port in the address wins over the field; without one the field counts.
    const struct
    {
        std::string address;
        std::uint16_t field;
    } cases[] = {{"ftpes://127.0.0.1:" + port, 21}, {"FTPES://127.0.0.1", server.port()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        server.clearCommands();
        std::filesystem::remove(server.home() + "/up.bin");

        const Result result = Upload(c.address, c.field);
        EXPECT_EQ(result.text, kOk);
        EXPECT_EQ(result.success, 1);
        EXPECT_EQ(server.readFile("up.bin"), contents_);

        const auto commands = server.commands();
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.front(), "AUTH TLS");
        EXPECT_LT(IndexOf(commands, "AUTH TLS"), IndexOf(Verbs(commands), "USER"));
        EXPECT_TRUE(Holds(commands, "PROT P"));
        // Stored under a temporary name of its own, then renamed over the destination.
        const std::ptrdiff_t store = IndexOf(Verbs(commands), "STOR");
        ASSERT_GE(store, 0);
        const std::string temporary = commands[static_cast<std::size_t>(store)].substr(5);
        EXPECT_TRUE(temporary.starts_with(".up.bin.") && temporary.ends_with(".ferrovane-part"))
            << temporary;
        EXPECT_LT(IndexOf(commands, "PROT P"), store);
        EXPECT_LT(store, IndexOf(commands, "RNFR " + temporary));
        EXPECT_LT(IndexOf(commands, "RNFR " + temporary), IndexOf(commands, "RNTO up.bin"));
    }
}

TEST_F(TransferTlsTest, ImplicitTlsUploadArrives)
{
    FtpServer server({}, Tls(FtpServerTls::Mode::Implicit, certificates_.server()));
    ScopedAuthority trusted(certificates_.authority());

    const Result result = Upload("ftps://127.0.0.1", server.port(), "dir/up.bin");
    // The folder is not there: the change of directory is refused over TLS as over plain FTP, and
    // the server's reason follows on the same line.
    EXPECT_EQ(result.text.rfind("Could not change directory !! 550 ", 0), 0u) << result.text;
    EXPECT_TRUE(result.text.ends_with("\r\n") && result.text.find('\n') == result.text.size() - 1);
    EXPECT_EQ(result.success, 0);

    std::filesystem::create_directory(server.home() + "/dir");
    server.clearCommands();
    const Result stored =
        Upload("ftps://127.0.0.1:" + std::to_string(server.port()), 0, "dir/up.bin");
    EXPECT_EQ(stored.text, kOk);
    EXPECT_EQ(stored.success, 1);
    EXPECT_EQ(server.readFile("dir/up.bin"), contents_);
    const auto commands = server.commands();
    EXPECT_FALSE(Holds(Verbs(commands), "AUTH")); // TLS came first, unasked
    EXPECT_TRUE(Holds(commands, "PROT P"));
}

TEST_F(TransferTlsTest, AnUntrustedCertificateStopsBeforeTheLoginAndNamesItsFingerprint)
{
    const std::string expected = "The server's identity could not be verified (certificate "
                                 "SHA-256 " +
                                 certificates_.selfSignedFingerprint() +
                                 "). Select the job and use \"Update now selected items\" to "
                                 "review the server.\r\n";
    for (const auto mode : {FtpServerTls::Mode::Explicit, FtpServerTls::Mode::Implicit}) {
        const bool isExplicit = mode == FtpServerTls::Mode::Explicit;
        SCOPED_TRACE(isExplicit ? "explicit" : "implicit");
        // No test authority: only the system's are trusted, and none signed this certificate.
        FtpServer server({}, Tls(mode, certificates_.selfSigned(), false));
        const Result result =
            Upload(isExplicit ? "ftpes://127.0.0.1" : "ftps://127.0.0.1", server.port());
        EXPECT_EQ(result.text, expected);
        EXPECT_EQ(result.success, 0);
        EXPECT_TRUE(result.text.find_first_of("\r\n") == result.text.size() - 2);
        const auto verbs = Verbs(server.commands());
        EXPECT_FALSE(Holds(verbs, "USER"));
        EXPECT_FALSE(Holds(verbs, "PASS"));
        EXPECT_EQ(verbs,
                  isExplicit ? std::vector<std::string>{"AUTH"} : std::vector<std::string>{});
        EXPECT_FALSE(std::filesystem::exists(server.home() + "/up.bin"));
    }

    // A certificate from an authority the system does not know fails the same way, with its own
    // fingerprint.
    FtpServer server({}, Tls(FtpServerTls::Mode::Explicit, certificates_.server()));
    const Result result = Upload("ftpes://127.0.0.1", server.port());
    EXPECT_NE(result.text.find(certificates_.serverFingerprint()), std::string::npos)
        << result.text;
    EXPECT_FALSE(Holds(Verbs(server.commands()), "USER"));
}

TEST_F(TransferTlsTest, TheAuthoritiesAreReadAgainWhenTheirFileChanges)
{
    // The authorities are loaded once for many connections, yet a changed file counts at once.
    FtpServer server({}, Tls(FtpServerTls::Mode::Explicit, certificates_.server()));
    const std::string file = local_ + "/authorities.pem";
    std::filesystem::copy_file(certificates_.selfSigned(), file);
    ScopedAuthority trusted(file);
    EXPECT_EQ(Upload("ftpes://127.0.0.1", server.port()).success, 0);
    std::filesystem::copy_file(certificates_.authority(), file,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(Upload("ftpes://127.0.0.1", server.port()).text, kOk);
}

TEST_F(TransferTlsTest, ATrustedCertificateForAnotherHostIsNotTaken)
{
    ScopedAuthority trusted(certificates_.authority());
    for (const auto mode : {FtpServerTls::Mode::Explicit, FtpServerTls::Mode::Implicit}) {
        const bool isExplicit = mode == FtpServerTls::Mode::Explicit;
        SCOPED_TRACE(isExplicit ? "explicit" : "implicit");
        FtpServer server({}, Tls(mode, certificates_.wrongName(), false));
        const Result result =
            Upload(isExplicit ? "ftpes://127.0.0.1" : "ftps://127.0.0.1", server.port());
        EXPECT_EQ(result.text.rfind("The server's identity could not be verified (certificate "
                                    "SHA-256 " +
                                        certificates_.wrongNameFingerprint() + ").",
                                    0),
                  0u)
            << result.text;
        EXPECT_EQ(result.success, 0);
        EXPECT_FALSE(Holds(Verbs(server.commands()), "USER"));
        EXPECT_FALSE(std::filesystem::exists(server.home() + "/up.bin"));
    }
}

TEST_F(TransferTlsTest, AnExpiredCertificateIsRefusedSayingSo)
{
    ScopedAuthority trusted(certificates_.authority());
    FtpServer server({}, Tls(FtpServerTls::Mode::Explicit, certificates_.expired(), false));
    std::optional<ServerIdentity> untrusted;
    Result result;
    TransferFile(FtpServer::kWriter, FtpServer::kWriterPassword, "ftpes://127.0.0.1", "up.bin",
                 local_ + "/up.bin", server.port(), 1, result.text, result.success, {},
                 {nullptr, &untrusted});
    EXPECT_EQ(result.success, 0);
    ASSERT_TRUE(untrusted.has_value()) << result.text;
    EXPECT_EQ(untrusted->dates, ServerIdentity::Dates::Expired);
    EXPECT_NE(result.text.find(", expired on " + untrusted->notAfter + ")."), std::string::npos)
        << result.text;
    EXPECT_FALSE(Holds(Verbs(server.commands()), "USER"));
}

TEST_F(TransferTlsTest, ARecordedCertificateIsTakenAndAnyOtherIsAChangedIdentity)
{
    const std::string root = local_ + "/data";
    const TrustStore store(root);
    for (const auto mode : {FtpServerTls::Mode::Explicit, FtpServerTls::Mode::Implicit}) {
        const bool isExplicit = mode == FtpServerTls::Mode::Explicit;
        SCOPED_TRACE(isExplicit ? "explicit" : "implicit");
        const std::string address = isExplicit ? "ftpes://127.0.0.1" : "ftps://127.0.0.1";
        FtpServer server({}, Tls(mode, certificates_.selfSigned()));

        // Unknown: refused, and the transfer says what it saw.
        std::optional<ServerIdentity> untrusted;
        Result result;
        TransferFile(FtpServer::kWriter, FtpServer::kWriterPassword, address, "up.bin",
                     local_ + "/up.bin", server.port(), 1, result.text, result.success, {},
                     {&store, &untrusted});
        EXPECT_EQ(result.success, 0);
        ASSERT_TRUE(untrusted.has_value()) << result.text;
        EXPECT_EQ(untrusted->kind, ServerIdentity::Kind::Tls);
        EXPECT_EQ(untrusted->host, "127.0.0.1");
        EXPECT_EQ(untrusted->port, server.port());
        EXPECT_FALSE(untrusted->changed);
        EXPECT_EQ(untrusted->fingerprint, certificates_.selfSignedFingerprint());
        EXPECT_EQ(untrusted->subject, "CN=127.0.0.1");
        EXPECT_EQ(untrusted->issuer, "CN=127.0.0.1");
        EXPECT_FALSE(untrusted->notBefore.empty());
        EXPECT_FALSE(untrusted->notAfter.empty());

        // Recorded: that exact certificate is taken, data connections included.
        std::string why;
        ASSERT_TRUE(store.Trust(*untrusted, why)) << why;
        TransferFile(FtpServer::kWriter, FtpServer::kWriterPassword, address, "up.bin",
                     local_ + "/up.bin", server.port(), 1, result.text, result.success, {},
                     {&store, &untrusted});
        EXPECT_EQ(result.text, kOk);
        EXPECT_EQ(result.success, 1);
        EXPECT_FALSE(untrusted.has_value());
        EXPECT_EQ(server.readFile("up.bin"), contents_);
    }

    // Another certificate on a recorded port, even one a trusted authority signed for this very
    // host, is a changed identity: refused before the login, and told as such.
    ScopedAuthority trusted(certificates_.authority());
    FtpServer server({}, Tls(FtpServerTls::Mode::Explicit, certificates_.server()));
    ServerIdentity recorded;
    recorded.host = "127.0.0.1";
    recorded.port = server.port();
    recorded.fingerprint = certificates_.selfSignedFingerprint();
    std::string why;
    ASSERT_TRUE(store.Trust(recorded, why)) << why;
    std::optional<ServerIdentity> untrusted;
    Result result;
    TransferFile(FtpServer::kWriter, FtpServer::kWriterPassword, "ftpes://127.0.0.1", "up.bin",
                 local_ + "/up.bin", server.port(), 1, result.text, result.success, {},
                 {&store, &untrusted});
    EXPECT_EQ(result.text, "The server's identity has changed (certificate SHA-256 " +
                               certificates_.serverFingerprint() +
                               "). Select the job and use \"Update now selected items\" to "
                               "review the server.\r\n");
    EXPECT_EQ(result.success, 0);
    ASSERT_TRUE(untrusted.has_value());
    EXPECT_TRUE(untrusted->changed);
    EXPECT_EQ(untrusted->fingerprint, certificates_.serverFingerprint());
    EXPECT_FALSE(Holds(Verbs(server.commands()), "USER"));

    // Without the store the authority's word counts as before.
    EXPECT_EQ(Upload("ftpes://127.0.0.1", server.port()).text, kOk);
}

TEST_F(TransferTlsTest, NeitherSideGivesUpTls)
{
    // A server that insists on TLS refuses a plain job at its login.
    FtpServer secure({}, Tls(FtpServerTls::Mode::Explicit, certificates_.server()));
    for (const std::string address : {"127.0.0.1", "ftp://127.0.0.1"}) {
        const Result result = Upload(address, secure.port());
        EXPECT_EQ(result.text, "550 SSL/TLS required on the control channel.\r\n") << address;
        EXPECT_EQ(result.success, 0);
    }
    EXPECT_FALSE(Holds(Verbs(secure.commands()), "STOR"));

    // An ftpes job never goes on in the clear with a server that has no TLS.
    FtpServer plain;
    const Result result = Upload("ftpes://127.0.0.1", plain.port());
    EXPECT_EQ(result.text.rfind("The server would not use TLS: 5", 0), 0u) << result.text;
    EXPECT_EQ(result.success, 0);
    const auto verbs = Verbs(plain.commands());
    EXPECT_TRUE(Holds(verbs, "AUTH"));
    EXPECT_FALSE(Holds(verbs, "USER"));
    EXPECT_FALSE(Holds(verbs, "PASS"));

    // The same plain server takes an ftp:// job as it takes a bare host.
    const Result stored = Upload("ftp://127.0.0.1:" + std::to_string(plain.port()), 21);
    EXPECT_EQ(stored.text, kOk);
    EXPECT_EQ(plain.readFile("up.bin"), contents_);
}

TEST_F(TransferTlsTest, AddressesThatReachNoServer)
{
    const struct
    {
        const char* address;
        const char* text;
    } cases[] = {
        {"sftp://u@127.0.0.1", nullptr},
        {"ftps://u:p@127.0.0.1", "Refused: the server address must be a host name, or ftp://, "
                                 "ftpes://, ftps:// or sftp:// followed by a host and an optional "
                                 ":port!!\r\n"},
        {"http://127.0.0.1", nullptr},
        {"ftpes://127.0.0.1/dir", nullptr},
    };
    const std::string refused = cases[1].text;
    for (const auto& c : cases) {
        const Result result = Upload(c.address, 21);
        EXPECT_EQ(result.text, c.text ? c.text : refused) << c.address;
        EXPECT_EQ(result.success, 0);
    }
}

} // namespace

namespace {
TEST_F(TransferTlsTest, ActiveModeOverTlsEitherWorksOrSaysToTickPassiveAtOnce)
{
    FtpServer server({}, Tls(FtpServerTls::Mode::Explicit, certificates_.server()));
    ScopedAuthority trusted(certificates_.authority());
    const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
    const bool brokenLibcurl = version->version_num >= 0x075700 && version->version_num < 0x080000;

    const Result result = Upload("ftpes://127.0.0.1", server.port(), "up.bin", 0);
    if (brokenLibcurl) {
        EXPECT_EQ(result.text, "Active mode over TLS does not work with this system's libcurl "
                               "(before 8.0); tick \"Passive mode\" for this job.\r\n");
        EXPECT_EQ(result.success, 0);
        EXPECT_TRUE(server.commands().empty()) << "told before connecting";
    } else {
        EXPECT_EQ(result.text, kOk);
        EXPECT_EQ(server.readFile("up.bin"), contents_);
    }
    // Plain FTP in active mode is not affected.
    FtpServer plain;
    EXPECT_EQ(Upload("127.0.0.1", plain.port(), "up.bin", 0).text, kOk);
}
} // namespace
