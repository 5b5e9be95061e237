#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How a server is reached, named by the scheme that starts its address.
enum class ServerScheme
{
    Ftp,            // no scheme, or "ftp://": plain FTP
    FtpExplicitTls, // "ftpes://": FTP that switches to TLS (AUTH TLS) before the login
    FtpImplicitTls, // "ftps://": FTP inside TLS from the first byte
    Sftp,           // "sftp://": SSH file transfer
};

// A job's server address taken apart: the scheme, the host to connect to and the port to use.
// An address without "://" is a bare host name exactly as it always was: the whole text is the
// host, untouched, and only the Port field counts. With a scheme, the host is what follows it, up
// to an optional ":port" (which wins over the Port field); an IPv6 literal goes in brackets
// ("ftps://[::1]:990") and is kept here without them. Anything more (a path, a user, a password,
// a query) is refused, as is a scheme other than the four above: the address says where to go,
// and the job's own fields say who logs in and where the file goes.
struct ServerAddress
{
    ServerScheme scheme = ServerScheme::Ftp;
    std::string host;
    std::uint16_t port = 21;

    bool operator==(const ServerAddress&) const = default;
};

// Parses `text` with the job's Port field. The port used is the one in the address when it holds
// one; else the Port field as typed, unless it is 0 or (for ftps:// and sftp://) the form's
// default 21, which stand for the scheme's usual port (21, 990 or 22). Gives nothing when the
// address is refused; an address without "://" is never refused.
std::optional<ServerAddress> ParseServerAddress(std::string_view text, std::uint16_t portField);

// The usual port of a scheme: 21 for FTP with or without explicit TLS, 990 for implicit TLS, 22
// for SFTP.
std::uint16_t DefaultPort(ServerScheme scheme);
