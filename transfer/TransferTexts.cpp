#include "transfer/TransferTexts.h"

namespace transfer {

// The text comes from the server or holds what it said, and goes to the log pane unchanged, where
// a CR or LF would start an entry of its own and an escape sequence could do worse: every control
// byte but the line's own end becomes "?".
std::string AsErrorLine(std::string_view text)
{
    if (text.ends_with("\r\n")) {
        text.remove_suffix(2);
    } else if (text.ends_with('\n') || text.ends_with('\r')) {
        text.remove_suffix(1);
    }
    std::string line(text.substr(0, kMaxErrorText - 2));
    for (char& c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = '?';
        }
    }
    line += "\r\n";
    return line;
}

std::string WithServerReason(std::string_view text, std::string_view reason)
{
    if (text.ends_with("\r\n")) {
        text.remove_suffix(2);
    }
    return AsErrorLine(std::string(text) + " " + std::string(reason));
}

bool HoldsLineBreak(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

} // namespace transfer
