#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

// The text of the activity log: one entry per file tried, and the trim that keeps the pane at its
// latest lines. Pure functions; the window reads the pane, appends, trims and writes it back.
namespace ActivityLogText {

// The pane holds fewer line breaks than this; with one-line entries, the 8 latest entries.
inline constexpr std::size_t kBreakLimit = 9;

// The local time as "MM/dd/yy HH:mm:ss" (17 characters), or "" when it cannot be had.
std::string Stamp(std::time_t when);

// stamp " - " webAddress ", " userName ", " remotePath ", " localPath ". " resultText. The result
// text brings its own line end.
std::string Entry(std::string_view stamp, std::string_view webAddress, std::string_view userName,
                  std::string_view remotePath, std::string_view localPath,
                  std::string_view resultText);

// Line breaks, where any run of CR and LF characters counts as one.
std::size_t CountBreaks(std::string_view text);

// Removes the oldest lines, each with its one line end (CR LF, or a lone CR or LF), while the
// text holds kBreakLimit breaks or more.
std::string Trim(std::string text);

} // namespace ActivityLogText
