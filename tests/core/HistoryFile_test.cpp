#include "engine/ActivityLogText.h"
#include "engine/HistoryFile.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

const fs::perms kPrivate = fs::perms::owner_read | fs::perms::owner_write;

} // namespace

TEST(HistoryFileTest, EntriesLandPrivatelyWithFullDatesAndRotateAtOneMebibyte)
{
    TempHome home;
    const std::string path = HistoryFile::DefaultPath();
    ASSERT_EQ(path, home.stateHome() + "/Ombrix/ferrovane/history.log");
    const std::time_t now = std::time(nullptr);
    char full[32];
    std::tm local{};
    std::strftime(full, sizeof full, "%Y-%m-%d %H:%M:%S", localtime_r(&now, &local));
    const std::string entry = ActivityLogText::Stamp(now) + " - h, u, /r, /l. No!!\r\nSee.\r\n";
    std::vector<std::string> whys; // handed over under the writer's lock
    HistoryFile history(path, [&](const std::string& why) { whys.push_back(why); });
    history.Add(entry);
    ASSERT_TRUE(history.WaitWritten(60s));
    EXPECT_EQ(Read(path), std::string(full) + " - h, u, /r, /l. No!!\nSee.\n");
    EXPECT_EQ(fs::status(path).permissions(), kPrivate);
    EXPECT_EQ(fs::status(home.stateHome() + "/Ombrix/ferrovane").permissions(),
              fs::perms::owner_all);

    // Five mebibytes, a little at a time, as a schedule brings them.
    const std::string big = " - " + std::string(1000, 'x') + "\r\n";
    for (int part = 0; part < 25; ++part) {
        for (int n = 0; n < 200; ++n) {
            history.Add(big);
        }
        ASSERT_TRUE(history.WaitWritten(60s));
    }
    for (const std::string suffix : {"", ".1", ".2", ".3"}) {
        EXPECT_LE(fs::file_size(path + suffix), HistoryFile::kRotateAt) << suffix;
        EXPECT_GT(fs::file_size(path + suffix),
                  suffix.empty() ? 0 : HistoryFile::kRotateAt - 2 * big.size())
            << suffix;
        EXPECT_EQ(fs::status(path + suffix).permissions(), kPrivate);
    }
    EXPECT_FALSE(fs::exists(path + ".4"));
    EXPECT_TRUE(whys.empty());
}

TEST(HistoryFileTest, AFolderThatCannotBeWrittenIsToldOnce)
{
    TempHome home;
    // Root writes into read-only folders too: for root a file takes the state folder's place.
    if (geteuid() == 0) {
        std::ofstream(home.stateHome()) << "in the way";
    } else {
        fs::create_directory(home.stateHome());
        fs::permissions(home.stateHome(), fs::perms::owner_read | fs::perms::owner_exec);
    }
    std::vector<std::string> whys;
    HistoryFile history(HistoryFile::DefaultPath(),
                        [&](const std::string& why) { whys.push_back(why); });
    for (int n = 0; n < 3; ++n) {
        history.Add(" - h, u, /r, /l. Ok.\r\n");
        ASSERT_TRUE(history.WaitWritten(60s));
    }
    ASSERT_EQ(whys.size(), 1u);
    EXPECT_EQ(whys[0].find(home.stateHome()), 0u) << whys[0];
}
