#include "jobs/FormValues.h"

#include <cctype>
#include <cstddef>
#include <limits>

namespace {
// Reads blanks, a sign and digits from the front of the text. Saturates at the 64-bit limits, as
// the C library's conversions do. Returns nothing when no digit follows the sign.
std::optional<std::int64_t> LeadingNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) {
        return std::nullopt;
    }
    constexpr std::uint64_t kPositiveLimit = std::numeric_limits<std::int64_t>::max();
    const std::uint64_t limit = negative ? kPositiveLimit + 1 : kPositiveLimit;
    std::uint64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (value > (limit - digit) / 10) {
            value = limit;
            while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
                ++i;
            }
            break;
        }
        value = value * 10 + digit;
    }
    if (negative) {
        return value == kPositiveLimit + 1 ? std::numeric_limits<std::int64_t>::min()
                                           : -static_cast<std::int64_t>(value);
    }
    return static_cast<std::int64_t>(value);
}
} // namespace

std::optional<std::int32_t> ParseIntervalText(std::string_view text)
{
    const auto number = LeadingNumber(text.substr(0, 63));
    if (!number) {
        return std::nullopt;
    }
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(*number < lo ? lo : (*number > hi ? hi : *number));
}

std::uint16_t ParsePortText(std::string_view text)
{
    const std::int64_t number = LeadingNumber(text).value_or(0);
    return static_cast<std::uint16_t>(static_cast<std::uint64_t>(number) & 0xFFFFu);
}
