#include "engine/ActivityLogText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

using namespace ActivityLogText;

namespace {

std::string OneLine(int n)
{
    return "09/14/24 10:00:0" + std::to_string(n % 10) +
           " - ftp.example.net, ann, /in/f.txt, /home/ann/f.txt. Ok.\r\n";
}

const std::string kConnectFailure = "Could not connect to ftp server!!\r\nPlease ensure you have "
                                    "correct address and access rights!\r\n";

std::string Join(const std::vector<std::string>& parts)
{
    std::string text;
    for (const auto& part : parts) {
        text += part;
    }
    return text;
}

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char* zone)
    {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        old_ = old ? old : "";
        setenv("TZ", zone, 1);
    }
    ~ScopedTimeZone()
    {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
    }

private:
    std::string old_;
    bool had_ = false;
};

} // namespace

struct StampCase
{
    const char* zone;
    std::time_t when;
    const char* expected;
};

void PrintTo(const StampCase& param, std::ostream* out)
{
    *out << param.zone << " " << param.when;
}

class StampTest : public testing::TestWithParam<StampCase>
{};

TEST_P(StampTest, IsLocalTimeInSeventeenCharacters)
{
    ScopedTimeZone zone(GetParam().zone);
    EXPECT_EQ(Stamp(GetParam().when), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Times, StampTest,
    testing::Values(StampCase{"UTC", 0, "01/01/70 00:00:00"},
                    // Every field below ten gets its leading zero.
                    StampCase{"UTC", 1709622489, "03/05/24 07:08:09"},
                    StampCase{"UTC", 1735689599, "12/31/24 23:59:59"},
                    // The local time, not UTC: two hours east moves the date on.
                    StampCase{"UTC-2", 1735689599, "01/01/25 01:59:59"},
                    StampCase{"UTC", 4102444800, "01/01/00 00:00:00"}));

TEST(StampTest, IsEmptyWhenTheTimeHasNoLocalForm)
{
    EXPECT_EQ(Stamp(std::numeric_limits<std::time_t>::max()), "");
}

TEST(EntryTest, JoinsThePiecesInOrder)
{
    EXPECT_EQ(Entry("09/14/24 10:00:00", "S", "U", "R", "L", "Ok.\r\n"),
              "09/14/24 10:00:00 - S, U, R, L. Ok.\r\n");
}

TEST(EntryTest, WithoutAStampBeginsWithTheDash)
{
    const std::string entry = Entry(Stamp(std::numeric_limits<std::time_t>::max()),
                                    "ftp.example.net", "ann", "/in/a", "/src/a", "Ok.\r\n");
    EXPECT_EQ(entry, " - ftp.example.net, ann, /in/a, /src/a. Ok.\r\n");
}

struct BreakCase
{
    const char* text;
    std::size_t breaks;
};

void PrintTo(const BreakCase& param, std::ostream* out)
{
    *out << testing::PrintToString(std::string(param.text));
}

class CountBreaksTest : public testing::TestWithParam<BreakCase>
{};

TEST_P(CountBreaksTest, CountsRunsOfLineEndsOnce)
{
    EXPECT_EQ(CountBreaks(GetParam().text), GetParam().breaks);
}

INSTANTIATE_TEST_SUITE_P(Texts, CountBreaksTest,
                         testing::Values(BreakCase{"", 0}, BreakCase{"no end", 0},
                                         BreakCase{"a\r\n", 1}, BreakCase{"\r\na", 1},
                                         BreakCase{"a\r\n\r\nb\r\n", 2}, BreakCase{"a\n\r\r\nb", 1},
                                         BreakCase{"a\rb\nc", 2}, BreakCase{"\r\r\r", 1}));

TEST(TrimTest, KeepsTheLatestEightOneLineEntries)
{
    std::vector<std::string> entries;
    std::string pane;
    for (int n = 0; n < 8; ++n) {
        entries.push_back(OneLine(n));
        const std::string before = pane + entries.back();
        pane = Trim(before);
        EXPECT_EQ(pane, before) << "entry " << n << " trimmed";
    }
    entries.push_back(OneLine(8));
    pane = Trim(pane + entries.back());
    EXPECT_EQ(pane, Join({entries.begin() + 1, entries.end()}));

    for (int n = 9; n < 30; ++n) {
        entries.push_back(OneLine(n));
        pane = Trim(pane + entries.back());
    }
    EXPECT_EQ(pane, Join({entries.end() - 8, entries.end()}));
}

TEST(TrimTest, TwoLineEntriesKeepTheBound)
{
    std::string pane;
    for (int n = 0; n < 8; ++n) {
        pane += OneLine(n);
    }
    const std::string twoLines = Entry("09/14/24 10:00:00", "h", "u", "/r", "/l", kConnectFailure);
    pane = Trim(pane + twoLines);
    // Two lines in, two lines out: the pane still ends with its 8 latest lines.
    EXPECT_EQ(pane, OneLine(2) + OneLine(3) + OneLine(4) + OneLine(5) + OneLine(6) + OneLine(7) +
                        twoLines);
    for (int n = 0; n < 20; ++n) {
        pane = Trim(pane + twoLines);
        ASSERT_EQ(CountBreaks(pane), 8u);
    }
    EXPECT_EQ(pane, twoLines + twoLines + twoLines + twoLines);
}

TEST(TrimTest, AShortFirstLineGoesAlone)
{
    const std::string rest = OneLine(1) + OneLine(2) + OneLine(3) + OneLine(4) + OneLine(5) +
                             OneLine(6) + OneLine(7) + OneLine(8);
    EXPECT_EQ(Trim("ab\r\n" + rest), rest);
    EXPECT_EQ(Trim("\r\n" + rest), rest);
}

TEST(TrimTest, AnEmptyLineAfterTheOldestGoesWithIt)
{
    const std::string rest = OneLine(1) + OneLine(2) + OneLine(3) + OneLine(4) + OneLine(5) +
                             OneLine(6) + OneLine(7) + OneLine(8);
    // The run CR LF CR LF is one break: the oldest line and the empty one after it both go.
    EXPECT_EQ(Trim("first line\r\n\r\n" + rest), rest);
    // Within the bound an empty line stays.
    const std::string eight = "first line\r\n\r\n" + OneLine(1) + OneLine(2) + OneLine(3) +
                              OneLine(4) + OneLine(5) + OneLine(6) + OneLine(7);
    EXPECT_EQ(Trim(eight), eight);
}

TEST(TrimTest, RemovesOneLineEndOfAnyKind)
{
    const std::string rest = "2\n3\n4\r\n5\r6\n7\n8\n9\n";
    EXPECT_EQ(Trim("1\r" + rest), rest);
    EXPECT_EQ(Trim("1\n" + rest), rest);
    EXPECT_EQ(Trim("1\r\n" + rest), rest);
    // LF CR is a lone LF ending the line and a lone CR ending an empty one.
    EXPECT_EQ(Trim("1\n\r" + rest), rest);
}

TEST(TrimTest, AnEntryOfManyLinesKeepsOnlyItsLatestLines)
{
    std::string entry = "head";
    for (int n = 0; n < 12; ++n) {
        entry += "\r\nline " + std::to_string(n);
    }
    entry += "\r\n";
    const std::string pane = Trim(OneLine(0) + entry);
    EXPECT_EQ(CountBreaks(pane), 8u);
    EXPECT_EQ(pane.substr(0, 8), "line 4\r\n");
}

// U+FFFD, U+202E, U+2066, U+2069 and the C1 CSI, as UTF-8.
#define R "\xEF\xBF\xBD"
#define RLO "\xE2\x80\xAE"
#define LRI "\xE2\x81\xA6"
#define PDI "\xE2\x81\xA9"
#define CSI "\xC2\x9B"

TEST(PrintableTest, ReplacesWhatCouldMisleadTheReader)
{
    const struct
    {
        std::string text;
        bool keepLineEnds;
        std::string expected;
    } cases[] = {
        // The overrides and isolates turn what follows around; TAB, ESC and CSI drive terminals.
        {"530 " RLO "cod.exe\r\n", true, "530 " R "cod.exe\r\n"},
        {"a" LRI "b" PDI, false, "a" R "b" R},
        {"a\tb\x1B[2Jc" CSI "d\x7F", true, "a" R "b" R "[2Jc" R "d" R},
        // Only a CR LF pair ends a line, and only where line ends are kept.
        {"a\rb\nc\r\n", true, "a" R "b" R "c\r\n"},
        {"a\r\n", false, "a" R R},
        // Bytes that are no UTF-8 go one by one; other text stays as it is.
        {"\xFF\xC3(\xE2\x82", false, R R "(" R R},
        {"caf\xC3\xA9 \xF0\x9F\x93\x81 " R, true, "caf\xC3\xA9 \xF0\x9F\x93\x81 " R},
    };
    for (const auto& [text, keepLineEnds, expected] : cases) {
        EXPECT_EQ(Printable(text, keepLineEnds), expected) << testing::PrintToString(text);
    }
}

TEST(EntryTest, NoPieceBreaksTheLine)
{
    EXPECT_EQ(Entry("09/14/24 10:00:00", "S", "U", "/in/a\r\nb", "/l\x1B", "Ok.\r\n"),
              "09/14/24 10:00:00 - S, U, /in/a" R R "b, /l" R ". Ok.\r\n");
}
