#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The result texts a transfer hands back, and how a text from elsewhere (the server, the client
// library) is made into one of them: a single line for the log pane.
namespace transfer {

inline constexpr const char* kOk = "Ok.\r\n";
inline constexpr const char* kCannotChangeDirectory = "Could not change directory !!\r\n";
inline constexpr const char* kCannotPut = "Could not put file to server!!\r\n";
inline constexpr const char* kAbandoned = "Transfer abandoned.\r\n";
inline constexpr const char* kAddressRefused =
    "Refused: the server address must be a host name, or ftp://, ftpes://, ftps:// or sftp:// "
    "followed by a host and an optional :port!!\r\n";
inline constexpr const char* kCannotConnect =
    "Could not connect to ftp server!!\r\nPlease ensure you have correct address and access "
    "rights!\r\n";

// Longest error text handed back, line end included.
inline constexpr std::size_t kMaxErrorText = 253;

// One line ending in "\r\n", at most kMaxErrorText bytes in all, every control byte but the
// line's own end made "?".
std::string AsErrorLine(std::string_view text);

// One of our failure texts with the server's reason after it, on the same line.
std::string WithServerReason(std::string_view text, std::string_view reason);

// Whether the text holds a CR, an LF or a NUL: it could not go into a command line whole.
bool HoldsLineBreak(std::string_view text);

} // namespace transfer
