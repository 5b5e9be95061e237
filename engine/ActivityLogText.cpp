#include "engine/ActivityLogText.h"

#include <cstdio>

namespace ActivityLogText {

namespace {

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

} // namespace

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
        .append(webAddress)
        .append(", ")
        .append(userName)
        .append(", ")
        .append(remotePath)
        .append(", ")
        .append(localPath)
        .append(". ")
        .append(resultText);
    return entry;
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
