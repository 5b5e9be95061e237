// An sftp:// job without a password logs in with the user's SSH keys (files in the test's own
// ~/.ssh, or an ssh-agent), over one session for two files, against sshd taking keys only.
#include "tests/support/SshdServer.h"
#include "tests/support/TempHome.h"
#include "transfer/TransferSession.h"
#include "transfer/TrustStore.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

struct Case
{
    const char* name;
    // "<type>" in ~/.ssh/id_<type>, then "+" when authorized_keys holds it, "*" when enciphered.
    std::vector<std::string> keys;
    bool agent; // the keys go into an agent started for the case, none stays in ~/.ssh
    std::string result;
};

// clang-format off
const Case kCases[] = {
    {"KeyFile", {"ed25519+"}, false, "Ok.\r\n"},
    {"NextKeyFileAfterARefusedOne", {"ed25519", "ecdsa+"}, false, "Ok.\r\n"},
    {"Agent", {"ed25519+", "ecdsa"}, true, "Ok.\r\n"},
    {"EncryptedKeyWithoutAgent", {"ed25519+*"}, false,
     "Could not log in without a password: no SSH agent, and ~/.ssh/id_ed25519 skipped: it needs "
     "its passphrase!!\r\n"},
    {"RsaKeyAfterAWrongOne", {"ecdsa", "rsa+"}, false, "Ok.\r\n"},
    {"WrongKeys", {"ecdsa", "rsa"}, false,
     "Could not log in: the SSH server accepted no key: ~/.ssh/id_ecdsa, ~/.ssh/id_rsa!!\r\n"},
    {"NoKeyAtAll", {}, false,
     "Could not log in without a password: no SSH agent and no key file in ~/.ssh!!\r\n"},
};
// clang-format on

std::string Slurp(const std::string& path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

class SshKeyLoginTest : public testing::TestWithParam<Case>
{
protected:
    ~SshKeyLoginTest() override
    {
        if (agentPid_ > 0) {
            kill(agentPid_, SIGTERM);
        }
        RemoveTree(home_);
    }
    std::string home_ = MakeTempDir("ferrovane-ssh-keys");
    pid_t agentPid_ = -1;
};

TEST_P(SshKeyLoginTest, LogsInWithTheUsersKeysOrSaysWhatWasOffered)
{
    const Case& c = GetParam();
    if (const std::string why = SshdServer::Unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const std::string ssh = home_ + "/.ssh/id_";
    std::filesystem::create_directory(home_ + "/.ssh");
    std::string authorized;
    for (const std::string& key : c.keys) {
        const std::string type = key.substr(0, key.find_first_of("+*"));
        RunTool({"/usr/bin/ssh-keygen", "-q", "-t", type, "-N", key.ends_with('*') ? "secret" : "",
                 "-C", "", "-f", ssh + type});
        authorized += key.find('+') != std::string::npos ? Slurp(ssh + type + ".pub") : "";
    }
    setenv("HOME", home_.c_str(), 1);
    unsetenv("SSH_AUTH_SOCK");
    if (c.agent) {
        RunTool({"/usr/bin/ssh-agent", "-a", home_ + "/agent"}, home_ + "/agent.out");
        const std::string out = Slurp(home_ + "/agent.out");
        agentPid_ = std::atoi(out.substr(out.find("SSH_AGENT_PID=") + 14).c_str());
        setenv("SSH_AUTH_SOCK", (home_ + "/agent").c_str(), 1);
        for (const std::string& key : c.keys) {
            RunTool({"/usr/bin/ssh-add", "-q", ssh + key.substr(0, key.find_first_of("+*"))});
        }
        std::filesystem::remove_all(home_ + "/.ssh");
    }
    SshdServer server({}, authorized);
    TrustStore store(home_ + "/data");
    std::string failure;
    ASSERT_TRUE(store.Trust(server.hostKey(), failure)) << failure;
    std::ofstream(home_ + "/up.txt") << "keys";

    TransferSession session;
    for (const char* remote : {"a.txt", "b.txt"}) {
        std::string text;
        std::int32_t success = -1;
        session.Send(server.user(), "", "sftp://127.0.0.1", remote, home_ + "/up.txt",
                     server.port(), 1, text, success, {}, {&store, nullptr});
        EXPECT_EQ(text, c.result) << server.logs();
        EXPECT_EQ(success, c.result == "Ok.\r\n" ? 1 : 0);
    }
    EXPECT_EQ(server.logins(), c.result == "Ok.\r\n" ? 1u : 0u) << "one login for the run";
}

INSTANTIATE_TEST_SUITE_P(Keys, SshKeyLoginTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
