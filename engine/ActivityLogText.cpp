#include "engine/ActivityLogText.h"

#include <cctype>
#include <cstdio>

namespace ActivityLogText {

namespace {

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

// The well-formed UTF-8 sequence at `at`: its length, with its code point in `point`, or 0 when
// the bytes there are none (a stray continuation byte, a cut or overlong sequence, a surrogate).
std::size_t DecodeAt(std::string_view text, std::size_t at, char32_t& point)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    char32_t least = 0;
    if (lead < 0x80) {
        point = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, point = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, point = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, point = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (next & 0x3F);
    }
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    return point < least || point > 0x10FFFF || surrogate ? 0 : length;
}

// Characters that move the cursor, drive a terminal or turn the text around it backwards: a
// server's reply or a file name could make a line read as something else with them.
bool Misleads(char32_t point)
{
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) ||
           (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

// "yyyy-MM-dd HH:mm:ss" from a stamp's fields and a full year.
std::string FullStamp(int year, std::string_view stamp)
{
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%04d-%.2s-%.2s %.8s", year, stamp.data(),
                                     stamp.data() + 3, stamp.data() + 9);
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

bool IsStamp(std::string_view text)
{
    static constexpr std::string_view kShape = "00/00/00 00:00:00";
    if (text.size() < kShape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (kShape[i] == '0' ? !digit : text[i] != kShape[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string Printable(std::string_view text, bool keepLineEnds)
{
    std::string printable;
    printable.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        if (keepLineEnds && text.substr(at, 2) == "\r\n") {
            printable += "\r\n";
            at += 2;
            continue;
        }
        char32_t point = 0;
        const std::size_t length = DecodeAt(text, at, point);
        if (length == 0 || Misleads(point)) {
            printable += kReplacement;
            at += length == 0 ? 1 : length;
        } else {
            printable.append(text.substr(at, length));
            at += length;
        }
    }
    return printable;
}

std::string Stamp(std::time_t when)
{
    // Built field by field rather than with strftime("%c"), whose form depends on the C library
    // and the locale.
    tzset(); // localtime_r alone may keep a time zone read before TZ changed
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        return {};
    }
    const int year = (local.tm_year + 1900) % 100;
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d",
                                     local.tm_mon + 1, local.tm_mday, year < 0 ? -year : year,
                                     local.tm_hour, local.tm_min, local.tm_sec);
    if (length != 17) {
        return {};
    }
    return std::string(text, static_cast<std::size_t>(length));
}

std::string Entry(std::string_view stamp, std::string_view webAddress, std::string_view userName,
                  std::string_view remotePath, std::string_view localPath,
                  std::string_view resultText)
{
    std::string entry;
    entry.reserve(stamp.size() + webAddress.size() + userName.size() + remotePath.size() +
                  localPath.size() + resultText.size() + 11);
    entry.append(stamp)
        .append(" - ")
        .append(Printable(webAddress, false))
        .append(", ")
        .append(Printable(userName, false))
        .append(", ")
        .append(Printable(remotePath, false))
        .append(", ")
        .append(Printable(localPath, false))
        .append(". ")
        .append(Printable(resultText, true));
    return entry;
}

std::string HistoryLine(std::string_view entry, std::time_t now)
{
    tzset();
    std::tm local{};
    const bool known = localtime_r(&now, &local) != nullptr;
    const int nowYear = local.tm_year + 1900;
    std::string line;
    if (known && IsStamp(entry)) {
        const int twoDigits = (entry[6] - '0') * 10 + (entry[7] - '0');
        // The nearest year ending in those digits: a stamp of 12/31/99 read on 01/01/00 is of
        // the year before.
        const int year = nowYear + (twoDigits - nowYear % 100 + 150) % 100 - 50;
        line = FullStamp(year, entry);
        entry.remove_prefix(17);
    } else if (const std::string stamp = Stamp(now); known && !stamp.empty()) {
        line = FullStamp(nowYear, stamp);
    }
    for (std::size_t at = 0; at < entry.size(); ++at) {
        if (entry[at] == '\r' || entry[at] == '\n') {
            line += '\n';
            at += entry.substr(at, 2) == "\r\n" ? 1 : 0;
        } else {
            line += entry[at];
        }
    }
    if (line.empty() || line.back() != '\n') {
        line += '\n';
    }
    return line;
}

std::size_t CountBreaks(std::string_view text)
{
    std::size_t count = 0;
    bool inBreak = false;
    for (const char c : text) {
        if (IsLineEnd(c)) {
            count += inBreak ? 0 : 1;
            inBreak = true;
        } else {
            inBreak = false;
        }
    }
    return count;
}

std::string Trim(std::string text)
{
    std::size_t breaks = CountBreaks(text);
    std::size_t start = 0; // the first character that stays
    while (breaks >= kBreakLimit) {
        // breaks > 0 guarantees a line end at or after start.
        std::size_t end = start;
        while (!IsLineEnd(text[end])) {
            ++end;
        }
        end += (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1;
        // The break is gone only when its whole run went with the line; otherwise what is left of
        // the run starts the text, as the end of an empty line.
        if (end == text.size() || !IsLineEnd(text[end])) {
            --breaks;
        }
        start = end;
    }
    text.erase(0, start);
    return text;
}

} // namespace ActivityLogText
