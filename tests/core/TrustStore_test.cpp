// The record of trusted servers: what goes in comes back per host and port, a new record
// replaces the old one for the same server only, and the files stay private.
#include "transfer/TrustStore.h"

#include "tests/support/TempHome.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

ServerIdentity Tls(const std::string& host, std::uint16_t port, const std::string& fingerprint)
{
    ServerIdentity identity;
    identity.kind = ServerIdentity::Kind::Tls;
    identity.host = host;
    identity.port = port;
    identity.fingerprint = fingerprint;
    return identity;
}

ServerIdentity Ssh(const std::string& host, std::uint16_t port, const std::string& key)
{
    ServerIdentity identity;
    identity.kind = ServerIdentity::Kind::Ssh;
    identity.host = host;
    identity.port = port;
    identity.fingerprint = "SHA256:whatever";
    identity.keyType = "ssh-ed25519";
    identity.keyBase64 = key;
    return identity;
}

mode_t ModeOf(const std::string& path)
{
    struct stat info
    {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class TrustStoreTest : public testing::Test
{
protected:
    TrustStoreTest() : folder_(MakeTempDir("ferrovane-trust")), root_(folder_ + "/data/app") {}
    ~TrustStoreTest() override { RemoveTree(folder_); }

    std::string folder_;
    std::string root_;
};

TEST_F(TrustStoreTest, TlsRecordsComeBackPerHostAndPortAndReplaceOnlyTheirOwn)
{
    const TrustStore store(root_);
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", 990), ""); // nothing recorded, no file yet

    std::string why;
    ASSERT_TRUE(store.Trust(Tls("127.0.0.1", 990, "AA:01"), why)) << why;
    ASSERT_TRUE(store.Trust(Tls("127.0.0.1", 21, "BB:02"), why)) << why;
    ASSERT_TRUE(store.Trust(Tls("::1", 990, "CC:03"), why)) << why;
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", 990), "AA:01");
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", 21), "BB:02");
    EXPECT_EQ(store.TlsFingerprint("::1", 990), "CC:03");
    EXPECT_EQ(store.TlsFingerprint("127.0.0.2", 990), "");
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", 2121), "");

    // A second store over the same folder sees the records: nothing is only in memory.
    ASSERT_TRUE(TrustStore(root_).Trust(Tls("127.0.0.1", 990, "DD:04"), why)) << why;
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", 990), "DD:04");
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", 21), "BB:02");
    EXPECT_EQ(Read(store.TlsFile()), "127.0.0.1 21 BB:02\n::1 990 CC:03\n127.0.0.1 990 DD:04\n");
}

TEST_F(TrustStoreTest, FoldersAndFilesArePrivateWhateverTheUmaskAndNoTemporaryFileStays)
{
    const mode_t previous = umask(0);
    const TrustStore store(root_);
    std::string why;
    const bool tls = store.Trust(Tls("127.0.0.1", 990, "AA:01"), why);
    const bool ssh = store.Trust(Ssh("127.0.0.1", 2222, "AAAAkey"), why);
    umask(previous);
    ASSERT_TRUE(tls && ssh) << why;

    EXPECT_EQ(ModeOf(folder_ + "/data"), 0700u);
    EXPECT_EQ(ModeOf(root_), 0700u);
    EXPECT_EQ(ModeOf(root_ + "/trust"), 0700u);
    EXPECT_EQ(ModeOf(store.TlsFile()), 0600u);
    EXPECT_EQ(ModeOf(store.KnownHostsFile()), 0600u);
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root_ + "/trust")) {
        ++entries;
        EXPECT_TRUE(entry.path().filename() == "tls-servers" ||
                    entry.path().filename() == "known_hosts")
            << entry.path();
    }
    EXPECT_EQ(entries, 2);

    // A trust folder loosened by hand is made private again at the next record.
    chmod((root_ + "/trust").c_str(), 0755);
    ASSERT_TRUE(store.Trust(Tls("127.0.0.1", 991, "AA:02"), why)) << why;
    EXPECT_EQ(ModeOf(root_ + "/trust"), 0700u);
}

TEST_F(TrustStoreTest, ARecordThatCannotBeReadIsNeverReplaced)
{
    const TrustStore store(root_);
    std::string why;
    ASSERT_TRUE(store.MakeFolder(why)) << why;
    // A link that loops cannot be read by anyone; a file of mode 000 only by root.
    struct Case
    {
        const char* what;
        std::function<void(const std::string&)> spoil;
    } cases[] = {
        {"loop", [](const std::string& path) { std::filesystem::create_symlink(path, path); }},
        {"mode 000",
         [](const std::string& path) {
             std::ofstream(path) << "127.0.0.1 21 AA:00\n";
             chmod(path.c_str(), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what) == "mode 000" && geteuid() == 0) {
            continue; // root reads it anyway
        }
        for (const ServerIdentity& identity :
             {Tls("127.0.0.1", 990, "AA:01"), Ssh("127.0.0.1", 22, "AAAAkey")}) {
            const std::string file = identity.kind == ServerIdentity::Kind::Tls
                                         ? store.TlsFile()
                                         : store.KnownHostsFile();
            c.spoil(file);
            why.clear();
            EXPECT_FALSE(store.Trust(identity, why));
            EXPECT_NE(why.find(file), std::string::npos) << why;
            EXPECT_EQ(std::filesystem::symlink_status(file).type(),
                      std::string(c.what) == "loop" ? std::filesystem::file_type::symlink
                                                    : std::filesystem::file_type::regular);
            std::filesystem::remove(file);
        }
    }
}

TEST_F(TrustStoreTest, SshKeysGoToAKnownHostsFileInOpenSshForm)
{
    const TrustStore store(root_);
    std::string why;
    ASSERT_TRUE(store.Trust(Ssh("127.0.0.1", 22, "AAAAfirst"), why)) << why;
    ASSERT_TRUE(store.Trust(Ssh("127.0.0.1", 2222, "AAAAsecond"), why)) << why;
    // A changed key replaces the server's line; the other server keeps its own.
    ASSERT_TRUE(store.Trust(Ssh("127.0.0.1", 2222, "AAAAthird"), why)) << why;
    EXPECT_EQ(Read(store.KnownHostsFile()), "127.0.0.1 ssh-ed25519 AAAAfirst\n"
                                            "[127.0.0.1]:2222 ssh-ed25519 AAAAthird\n");
}

TEST_F(TrustStoreTest, IncompleteIdentitiesAndUnusableFoldersAreRefused)
{
    std::string why;
    EXPECT_FALSE(TrustStore(root_).Trust(Tls("", 990, "AA:01"), why));
    EXPECT_FALSE(TrustStore(root_).Trust(Tls("two words", 990, "AA:01"), why));
    EXPECT_FALSE(TrustStore(root_).Trust(Tls("host", 990, ""), why));
    EXPECT_FALSE(TrustStore(root_).Trust(Ssh("host", 22, "two words"), why));
    EXPECT_FALSE(TrustStore("").Trust(Tls("host", 990, "AA:01"), why));
    EXPECT_FALSE(why.empty());

    // A file where the folder belongs: told, not thrown.
    const std::string blocked = folder_ + "/blocked";
    std::filesystem::create_directories(blocked);
    std::ofstream(blocked + "/trust") << "in the way";
    why.clear();
    EXPECT_FALSE(TrustStore(blocked).Trust(Tls("host", 990, "AA:01"), why));
    EXPECT_NE(why.find("trust"), std::string::npos) << why;
}

} // namespace
