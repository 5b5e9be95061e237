#include "transfer/ServerAddress.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using S = ServerScheme;

struct Accepted
{
    const char* text;
    std::uint16_t portField;
    ServerAddress expected;
};

class ServerAddressAccepted : public testing::TestWithParam<Accepted>
{};

TEST_P(ServerAddressAccepted, GivesSchemeHostAndPort)
{
    const Accepted& c = GetParam();
    const std::optional<ServerAddress> parsed = ParseServerAddress(c.text, c.portField);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(*parsed, c.expected) << c.text << " port field " << c.portField << " gave host '"
                                   << parsed->host << "' port " << parsed->port;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerAddressAccepted,
    testing::Values(
        // Without "://" the text is the host, untouched, whatever it holds.
        Accepted{"ftp.example.org", 21, {S::Ftp, "ftp.example.org", 21}},
        Accepted{"ftp.example.org", 0, {S::Ftp, "ftp.example.org", 21}},
        Accepted{"ftp.example.org", 990, {S::Ftp, "ftp.example.org", 990}},
        Accepted{"user@host/dir:12", 2121, {S::Ftp, "user@host/dir:12", 2121}},
        Accepted{"::1", 21, {S::Ftp, "::1", 21}},
        Accepted{"ftps:host", 21, {S::Ftp, "ftps:host", 21}}, Accepted{"", 21, {S::Ftp, "", 21}},
        // Each scheme, its usual port for 0, and the form's 21 where the scheme lives elsewhere.
        Accepted{"ftp://host", 0, {S::Ftp, "host", 21}},
        Accepted{"ftp://host", 2121, {S::Ftp, "host", 2121}},
        Accepted{"ftpes://host", 21, {S::FtpExplicitTls, "host", 21}},
        Accepted{"ftpes://host", 0, {S::FtpExplicitTls, "host", 21}},
        Accepted{"ftpes://host", 990, {S::FtpExplicitTls, "host", 990}},
        Accepted{"ftps://host", 21, {S::FtpImplicitTls, "host", 990}},
        Accepted{"ftps://host", 0, {S::FtpImplicitTls, "host", 990}},
        Accepted{"ftps://host", 4990, {S::FtpImplicitTls, "host", 4990}},
        Accepted{"sftp://host", 21, {S::Sftp, "host", 22}},
        Accepted{"sftp://host", 0, {S::Sftp, "host", 22}},
        Accepted{"sftp://host", 2222, {S::Sftp, "host", 2222}},
        Accepted{"FTPES://Host.Example", 21, {S::FtpExplicitTls, "Host.Example", 21}},
        Accepted{"ftp://my_host.example.", 21, {S::Ftp, "my_host.example.", 21}},
        // A port in the address wins over the field.
        Accepted{"ftps://host:21", 21, {S::FtpImplicitTls, "host", 21}},
        Accepted{"ftpes://10.0.0.1:2121", 0, {S::FtpExplicitTls, "10.0.0.1", 2121}},
        Accepted{"sftp://host:65535", 21, {S::Sftp, "host", 65535}},
        // IPv6 literals, with and without a port.
        Accepted{"ftps://[::1]:990", 21, {S::FtpImplicitTls, "::1", 990}},
        Accepted{"ftps://[::1]", 21, {S::FtpImplicitTls, "::1", 990}},
        Accepted{"ftp://[fe80::1:2]:2121", 21, {S::Ftp, "fe80::1:2", 2121}},
        Accepted{"ftpes://[::ffff:127.0.0.1]", 21, {S::FtpExplicitTls, "::ffff:127.0.0.1", 21}}));

class ServerAddressRefused : public testing::TestWithParam<const char*>
{};

TEST_P(ServerAddressRefused, GivesNothing)
{
    EXPECT_FALSE(ParseServerAddress(GetParam(), 21).has_value()) << GetParam();
    EXPECT_FALSE(ParseServerAddress(GetParam(), 0).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerAddressRefused,
    testing::Values(
        // Unknown schemes.
        "http://host", "ftpx://host", "://host", "scp://host", " ftp://host",
        // A user, a password, a path, a query, a fragment.
        "ftps://u:p@host", "ftps://u@host", "ftpes://host/dir", "ftpes://host/",
        "ftp://host:21/dir", "ftp://host?x", "ftp://host#x", "ftp://host\\dir",
        // No host, or not one word.
        "ftp://", "ftps://:990", "ftp://ho st", "ftp://host\t", "ftp://ho%41st",
        // Ports that are not one: empty, zero, too big, not digits.
        "ftp://host:", "ftp://host:0", "ftp://host:65536", "ftp://host:99999999", "ftp://host:+21",
        "ftp://host:2x", "ftp://host:21:22",
        // IPv6 literals: unbracketed, unclosed, junk after the bracket.
        "ftps://::1", "ftps://[::1", "ftps://[::1]x", "ftps://[]", "ftps://[host]", "ftps://[::1]:",
        // Neither an IP address nor a host name.
        "ftps://[:]", "ftps://[1:2:3]", "ftps://[::1::2]", "ftp://a..b", "ftp://.", "ftp://host!",
        "sftp://ho$t"));

TEST(ServerAddress, RefusesAHugeBracketedRunOfColons)
{
    EXPECT_FALSE(ParseServerAddress("ftps://[" + std::string(100000, ':') + "]", 21));
}

} // namespace
