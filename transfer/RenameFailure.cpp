#include "transfer/RenameFailure.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace transfer {

namespace {

bool Holds(std::string_view text, std::string_view part)
{
    return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           }) != text.end();
}

bool SaysRefused(std::string_view text)
{
    for (const std::string_view word : {"permission denied", "not permitted", "not allowed",
                                        "unsupported", "not supported", "not implemented"}) {
        if (Holds(text, word)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::optional<RenameFailure> ReadRenameFailure(CURLcode code, const std::string& lastCommand,
                                               const std::string& lastReply,
                                               const std::string& errorText)
{
    RenameFailure failure;
    if (code == CURLE_OK) {
        return std::nullopt;
    }
    if (lastCommand != "DELE" && lastCommand != "RNFR" && lastCommand != "RNTO") {
        return std::nullopt;
    }
    failure.step =
        lastCommand == "DELE" ? RenameFailure::Step::RemoveOld : RenameFailure::Step::Rename;
    const bool answered = code == CURLE_QUOTE_ERROR && lastReply.size() >= 3;
    failure.reason = answered ? lastReply : errorText;
    if (answered && (lastReply.rfind("500", 0) == 0 || lastReply.rfind("502", 0) == 0 ||
                     lastReply.rfind("504", 0) == 0 || SaysRefused(lastReply))) {
        failure.why = RenameFailure::Why::Refused;
    } else if (answered && Holds(lastReply, "exist")) {
        failure.why = RenameFailure::Why::Exists;
    }
    return failure;
}

RenameFailure::Why SftpRenameWhy(std::uint32_t statusCode, bool lost, bool posixRename)
{
    // The status codes of SFTP versions 3 to 6.
    constexpr std::uint32_t kFailure = 4;
    constexpr std::uint32_t kPermissionDenied = 3;
    constexpr std::uint32_t kUnsupported = 8;
    constexpr std::uint32_t kFileAlreadyExists = 11;
    if (lost) {
        return RenameFailure::Why::Other;
    }
    if (statusCode == kPermissionDenied || statusCode == kUnsupported) {
        return RenameFailure::Why::Refused;
    }
    if (statusCode == kFileAlreadyExists || (statusCode == kFailure && !posixRename)) {
        return RenameFailure::Why::Exists;
    }
    return RenameFailure::Why::Other;
}

} // namespace transfer
