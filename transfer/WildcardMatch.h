#pragma once

#include <string_view>

// Whether a file name matches the last component of a job's path. Only two characters are
// wildcards: "*" stands for any run of characters, none included, and "?" for exactly one. Every
// other character stands for itself, "[", "]", "\", "!" and "-" among them, since they are common
// in real file names ("[2024] report.csv") and a user types the name as the folder shows it. The
// match is case-sensitive and a leading "." is an ordinary character. A character is a UTF-8
// character (a lead byte and its continuation bytes) when the name is valid UTF-8, and a single
// byte otherwise, so a name in a legacy encoding still matches "?" byte by byte. The work grows
// with the product of the two lengths at most: no pattern, however many stars it holds, makes it
// explode.
bool WildcardMatch(std::string_view pattern, std::string_view name);
