#include "transfer/ServerAddress.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <utility>

namespace {

constexpr std::string_view kSeparator = "://";

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<ServerScheme> SchemeNamed(std::string_view name)
{
    static constexpr std::array<std::pair<std::string_view, ServerScheme>, 4> schemes = {{
        {"ftp", ServerScheme::Ftp},
        {"ftpes", ServerScheme::FtpExplicitTls},
        {"ftps", ServerScheme::FtpImplicitTls},
        {"sftp", ServerScheme::Sftp},
    }};
    for (const auto& [known, scheme] : schemes) {
        if (EqualsIgnoringCase(name, known)) {
            return scheme;
        }
    }
    return std::nullopt;
}

// A port written in the address: 1 to 65535, digits only.
std::optional<std::uint16_t> ParsePort(std::string_view digits)
{
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : digits) {
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// A host name as DNS spells one: dot-separated labels of letters, digits, "-" and "_" (bytes from
// 0x80 on too, for names in other scripts), each 1 to 63 bytes, 253 in all, one final dot allowed.
// A dotted IPv4 address is one as well.
bool IsHostName(std::string_view host)
{
    if (host.ends_with('.')) {
        host.remove_suffix(1);
    }
    if (host.empty() || host.size() > 253) {
        return false;
    }
    std::size_t label = 0;
    for (const char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '.') {
            if (label == 0) {
                return false;
            }
            label = 0;
            continue;
        }
        if (!(std::isalnum(byte) || c == '-' || c == '_' || byte >= 0x80) || ++label > 63) {
            return false;
        }
    }
    return label > 0;
}

// An IPv6 literal, as written between brackets.
bool IsIpv6Address(std::string_view host)
{
    if (host.empty() || host.size() >= INET6_ADDRSTRLEN) {
        return false;
    }
    in6_addr address{};
    return inet_pton(AF_INET6, std::string(host).c_str(), &address) == 1;
}

std::uint16_t PortFromField(ServerScheme scheme, std::uint16_t field)
{
    if (field == 0) {
        return DefaultPort(scheme);
    }
    // The form starts every job at 21; for a scheme that lives elsewhere that means "usual".
    if (field == 21 && (scheme == ServerScheme::FtpImplicitTls || scheme == ServerScheme::Sftp)) {
        return DefaultPort(scheme);
    }
    return field;
}

} // namespace

std::uint16_t DefaultPort(ServerScheme scheme)
{
    switch (scheme) {
    case ServerScheme::FtpImplicitTls:
        return 990;
    case ServerScheme::Sftp:
        return 22;
    case ServerScheme::Ftp:
    case ServerScheme::FtpExplicitTls:
        break;
    }
    return 21;
}

std::optional<ServerAddress> ParseServerAddress(std::string_view text, std::uint16_t portField)
{
    const std::size_t separator = text.find(kSeparator);
    if (separator == std::string_view::npos) {
        // Addresses typed before schemes existed go through as they always have.
        const std::uint16_t port = portField == 0 ? std::uint16_t{21} : portField;
        return ServerAddress{ServerScheme::Ftp, std::string(text), port};
    }
    const std::optional<ServerScheme> scheme = SchemeNamed(text.substr(0, separator));
    if (!scheme) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(separator + kSeparator.size());

    std::string_view host;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        if (!IsIpv6Address(host)) {
            return std::nullopt;
        }
        rest.remove_prefix(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            return std::nullopt;
        }
    } else {
        host = rest.substr(0, rest.find(':'));
        if (!IsHostName(host)) {
            return std::nullopt;
        }
        rest.remove_prefix(host.size());
    }
    if (host.empty()) {
        return std::nullopt;
    }

    std::uint16_t port = PortFromField(*scheme, portField);
    if (!rest.empty()) {
        // Only ":port" can be left.
        const std::optional<std::uint16_t> given = ParsePort(rest.substr(1));
        if (!given) {
            return std::nullopt;
        }
        port = *given;
    }
    return ServerAddress{*scheme, std::string(host), port};
}
