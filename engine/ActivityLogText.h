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

// What stands in for a character that must not reach the pane or the history: U+FFFD.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The text with every character that could pass for something it is not made kReplacement:
// control characters (C0, DEL, C1), the bidirectional embeddings, overrides and isolates
// (U+202A-U+202E, U+2066-U+2069), and bytes that are no UTF-8. With keepLineEnds a CR LF pair
// stays, as the end of a line; a lone CR or LF goes like any other control character.
std::string Printable(std::string_view text, bool keepLineEnds);

// stamp " - " webAddress ", " userName ", " remotePath ", " localPath ". " resultText. The result
// text brings its own line end. Every piece is made Printable, only the result text keeping its
// line ends: names and paths come from servers and folders and must not start a line of their own.
std::string Entry(std::string_view stamp, std::string_view webAddress, std::string_view userName,
                  std::string_view remotePath, std::string_view localPath,
                  std::string_view resultText);

// The entry as the history file keeps it: the stamp in full as "yyyy-MM-dd HH:mm:ss" (the year
// is the one nearest `now` that ends in the stamp's two digits, the entry having been made a
// moment before), an entry without a stamp dated `now`, and every line end an LF.
std::string HistoryLine(std::string_view entry, std::time_t now);

// Line breaks, where any run of CR and LF characters counts as one.
std::size_t CountBreaks(std::string_view text);

// Removes the oldest lines, each with its one line end (CR LF, or a lone CR or LF), while the
// text holds kBreakLimit breaks or more.
std::string Trim(std::string text);

} // namespace ActivityLogText
