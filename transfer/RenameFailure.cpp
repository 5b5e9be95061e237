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

std::optional<RenameFailure> ReadRenameFailure(bool sftp, CURLcode code,
                                               const std::string& lastCommand,
                                               const std::string& lastReply,
                                               const std::string& errorText)
{
    RenameFailure failure;
    if (code == CURLE_OK) {
        return std::nullopt;
    }
    if (sftp) {
        // libcurl runs the commands after the store only once the file is whole, and each command
        // that fails says so by name; a lost connection there fails the command too.
        if (code != CURLE_QUOTE_ERROR) {
            return std::nullopt;
        }
        failure.step = errorText.rfind("rm ", 0) == 0 ? RenameFailure::Step::RemoveOld
                                                      : RenameFailure::Step::Rename;
        const std::size_t colon = errorText.find(": ");
        failure.reason = colon == std::string::npos ? errorText : errorText.substr(colon + 2);
        if (SaysRefused(failure.reason)) {
            failure.why = RenameFailure::Why::Refused;
        } else if (Holds(failure.reason, "exist") || failure.reason == "Operation failed" ||
                   failure.reason == "Failure") {
            failure.why = RenameFailure::Why::Exists;
        }
        return failure;
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

} // namespace transfer
