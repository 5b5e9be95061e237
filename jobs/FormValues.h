#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// How the job form turns its number fields into values.

// The interval field: leading blanks, an optional sign and decimal digits, anything after the
// digits ignored; at most the first 63 characters are looked at. No number (an empty field,
// letters first) gives nothing. Values beyond 32 bits stop at the nearest 32-bit limit.
std::optional<std::int32_t> ParseIntervalText(std::string_view text);

// The port field: read like atol (blanks, sign, digits; no number gives 0) and cut to its low
// 16 bits, so 70000 gives 4464 and -1 gives 65535.
std::uint16_t ParsePortText(std::string_view text);
