#include "jobs/JobStore.h"
#include "jobs/SettingsStore.h"
#include "tests/support/TempHome.h"

#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <optional>
#include <set>

namespace {

UploadJob MakeJob(int n)
{
    UploadJob job;
    job.userName = "user" + std::to_string(n);
    job.password = "pw" + std::to_string(n);
    job.webAddress = "ftp" + std::to_string(n) + ".example.invalid";
    job.sourceFile = "/src/file" + std::to_string(n) + ".txt";
    job.destinationFile = "/dest/file" + std::to_string(n) + ".txt";
    job.intervalSeconds = 10 + n;
    job.countdown = 10 + n;
    job.port = static_cast<std::uint16_t>(2100 + n);
    job.passiveMode = n % 2;
    return job;
}

JobList MakeJobs(int count)
{
    JobList jobs;
    for (int n = 0; n < count; ++n) {
        jobs.push_back(MakeJob(n));
    }
    return jobs;
}

const char* const kBaseNames[] = {"Time",      "Destination file", "Source file", "WEB",
                                  "User name", "Password",         "Port",        "Passive mode"};

// Each test gets a store file and key containers of its own; the raw view goes through QSettings
// directly, apart from the code under test.
class JobStoreTest : public ::testing::Test
{
protected:
    void TearDown() override { RemoveTree(dir_); }

    SettingsStore Open() const
    {
        SettingsStore store = SettingsStore::FromFile(file_);
        store.SetKeyStoreRoot(dir_ + "/data");
        return store;
    }

    std::pair<std::int32_t, JobList> Load() const
    {
        SettingsStore store = Open();
        std::int32_t running = -99;
        JobList jobs;
        LoadJobs(store, running, jobs);
        return {running, jobs};
    }

    SaveReport Save(std::int32_t running, JobList jobs) const
    {
        SettingsStore store = Open();
        return SaveJobs(store, running, jobs);
    }

    QVariant Raw(const QString& key) const
    {
        QSettings raw(file_, QSettings::IniFormat);
        return raw.value(QStringLiteral("1.0/") + key);
    }

    void SetRaw(const QString& key, const std::optional<QString>& value) const
    {
        QSettings raw(file_, QSettings::IniFormat);
        if (value) {
            raw.setValue(QStringLiteral("1.0/") + key, *value);
        } else {
            raw.remove(QStringLiteral("1.0/") + key);
        }
    }

    std::set<QString> RawKeys() const
    {
        QSettings raw(file_, QSettings::IniFormat);
        raw.beginGroup(QStringLiteral("1.0"));
        const QStringList keys = raw.childKeys();
        return {keys.begin(), keys.end()};
    }

    std::string dir_ = MakeTempDir("ferrovane-store");
    QString file_ = QString::fromStdString(dir_) + QStringLiteral("/Ombrix/ferrovane.conf");
};

TEST_F(JobStoreTest, FirstStartLoadsNothingAndStoresNothing)
{
    const auto [running, jobs] = Load();
    EXPECT_EQ(running, 0);
    EXPECT_TRUE(jobs.empty());
    EXPECT_TRUE(RawKeys().empty());
}

TEST_F(JobStoreTest, SavedJobsComeBackWithTheirCountdownReset)
{
    JobList jobs = MakeJobs(3);
    jobs[1].countdown = 2; // in the middle of its interval
    Save(1, jobs);

    const auto [running, loaded] = Load();
    EXPECT_EQ(running, 1);
    jobs[1].countdown = jobs[1].intervalSeconds;
    EXPECT_EQ(loaded, jobs);

    std::set<QString> expected{QStringLiteral("Runned")};
    for (int i = 0; i < 3; ++i) {
        for (const char* base : kBaseNames) {
            expected.insert(QString::fromLatin1(base) + QStringLiteral("-") + QString::number(i));
        }
    }
    EXPECT_EQ(RawKeys(), expected); // eight keys per job, no count, no countdown
    EXPECT_EQ(Raw(QStringLiteral("Destination file-2")).toString(),
              QStringLiteral("/dest/file2.txt"));
    EXPECT_NE(Raw(QStringLiteral("Password-0")).toString(), QStringLiteral("pw0"));
}

TEST_F(JobStoreTest, ShorterListClearsTheUnusedIndicesUpToTheFirstAbsentTime)
{
    Save(0, MakeJobs(5));
    SetRaw(QStringLiteral("Time-6"), QStringLiteral("7")); // beyond the gap at 5: never reached
    Save(1, MakeJobs(3));

    for (const int k : {3, 4}) {
        const QString n = QString::number(k);
        EXPECT_EQ(Raw(QStringLiteral("Time-") + n).toString(), QStringLiteral("-1"));
        EXPECT_EQ(Raw(QStringLiteral("Port-") + n).toString(), QStringLiteral("-1"));
        EXPECT_EQ(Raw(QStringLiteral("Passive mode-") + n).toString(), QStringLiteral("-1"));
        for (const char* base :
             {"Destination file", "Source file", "WEB", "User name", "Password"}) {
            const QVariant value = Raw(QString::fromLatin1(base) + QStringLiteral("-") + n);
            EXPECT_TRUE(value.isValid() && value.toString().isEmpty()) << base << k;
        }
    }
    EXPECT_FALSE(Raw(QStringLiteral("Time-5")).isValid());
    EXPECT_EQ(Raw(QStringLiteral("Time-6")).toString(), QStringLiteral("7"));

    const auto [running, jobs] = Load();
    EXPECT_EQ(running, 1);
    EXPECT_EQ(jobs, MakeJobs(3));
}

TEST_F(JobStoreTest, EmptyListOverTwoJobsClearsBoth)
{
    Save(1, MakeJobs(2));
    Save(1, {});
    EXPECT_EQ(Raw(QStringLiteral("Time-0")).toString(), QStringLiteral("-1"));
    EXPECT_EQ(Raw(QStringLiteral("Time-1")).toString(), QStringLiteral("-1"));
    EXPECT_TRUE(Raw(QStringLiteral("User name-1")).toString().isEmpty());
    const auto [running, jobs] = Load();
    EXPECT_EQ(running, 1);
    EXPECT_TRUE(jobs.empty());
}

TEST_F(JobStoreTest, EmptyTextsAreStoredAsASpaceAndLoadAsASpace)
{
    UploadJob empty;
    empty.intervalSeconds = empty.countdown = 5;
    Save(0, {empty});
    for (const char* base : {"Destination file", "Source file", "WEB", "User name"}) {
        EXPECT_EQ(Raw(QString::fromLatin1(base) + QStringLiteral("-0")).toString(),
                  QStringLiteral(" "))
            << base;
    }
    const auto [running, jobs] = Load();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].userName, " ");
    EXPECT_EQ(jobs[0].webAddress, " ");
    EXPECT_EQ(jobs[0].sourceFile, " ");
    EXPECT_EQ(jobs[0].destinationFile, " ");
    EXPECT_EQ(jobs[0].password, "");
}

TEST_F(JobStoreTest, TwoSavesOfOnePasswordDifferAndBothLoad)
{
    Save(0, MakeJobs(1));
    const QString first = Raw(QStringLiteral("Password-0")).toString();
    EXPECT_EQ(Load().second, MakeJobs(1));
    Save(0, MakeJobs(1));
    EXPECT_NE(Raw(QStringLiteral("Password-0")).toString(), first);
    EXPECT_EQ(Load().second, MakeJobs(1));
}

TEST_F(JobStoreTest, StoredPassiveModeSevenLoadsAsIsAndIsSavedBackAsOne)
{
    Save(0, MakeJobs(1));
    SetRaw(QStringLiteral("Passive mode-0"), QStringLiteral("7"));
    JobList jobs = Load().second;
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].passiveMode, 7);
    Save(0, jobs);
    EXPECT_EQ(Raw(QStringLiteral("Passive mode-0")).toString(), QStringLiteral("1"));
}

TEST_F(JobStoreTest, ValuesAfterTheFirstEndOfListAreNeverRead)
{
    Save(0, MakeJobs(4));
    SetRaw(QStringLiteral("Time-1"), QStringLiteral("-1"));
    EXPECT_EQ(Load().second, MakeJobs(1));
    SetRaw(QStringLiteral("Time-1"), std::nullopt);
    EXPECT_EQ(Load().second, MakeJobs(1));
}

// --- Passwords whose key is gone or damaged ---------------------------------------------------

class KeyLossTest : public JobStoreTest
{
protected:
    std::string KeyFile() const { return dir_ + "/data/keys/machine/default/exchange.pem"; }
    std::string KeyBytes() const
    {
        QFile file(QString::fromStdString(KeyFile()));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }
    void WriteKey(const std::string& bytes) const
    {
        QFile file(QString::fromStdString(KeyFile()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
    std::vector<QString> PasswordTexts(int count) const
    {
        std::vector<QString> texts;
        for (int i = 0; i < count; ++i) {
            texts.push_back(Raw(QStringLiteral("Password-") + QString::number(i)).toString());
        }
        return texts;
    }
    std::pair<LoadReport, JobList> LoadWithReport() const
    {
        SettingsStore store = Open();
        std::int32_t running = 0;
        JobList jobs;
        const LoadReport report = LoadJobs(store, running, jobs);
        return {report, jobs};
    }
    SaveReport SaveAsIs(JobList& jobs) const
    {
        SettingsStore store = Open();
        return SaveJobs(store, 1, jobs);
    }
};

TEST_F(KeyLossTest, TextsOutliveAMissingKeyFollowTheirJobsAndComeBackWithTheKey)
{
    Save(1, MakeJobs(3));
    const std::string key = KeyBytes();
    const std::vector<QString> texts = PasswordTexts(3);
    ASSERT_EQ(std::remove(KeyFile().c_str()), 0);

    auto [report, jobs] = LoadWithReport();
    EXPECT_EQ(report.unreadPasswords, 3);
    EXPECT_EQ(report.reason, "the key file is missing");
    EXPECT_EQ(report.keyFile, KeyFile());
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_EQ(jobs[1].password, "");

    // A save (the exit alone makes one) writes the unread texts back as they were, even though
    // it may make a new pair for the jobs that have none.
    jobs.push_back(MakeJob(7));
    EXPECT_EQ(SaveAsIs(jobs).passwordsNotEnciphered, 0);
    EXPECT_EQ(PasswordTexts(3), texts);

    // A deleted job takes its text along; the others move up with theirs.
    jobs.erase(jobs.begin());
    SaveAsIs(jobs);
    EXPECT_EQ(PasswordTexts(2), std::vector<QString>(texts.begin() + 1, texts.end()));

    WriteKey(key);
    auto [again, back] = LoadWithReport();
    EXPECT_EQ(again.unreadPasswords, 1) << "only the job added under the stand-in key";
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[0].password, "pw1");
    EXPECT_EQ(back[1].password, "pw2");
}

TEST_F(KeyLossTest, ADamagedKeyIsNeverReplacedAndTypedPasswordsKeepThePreviousText)
{
    Save(1, MakeJobs(2));
    const std::string key = KeyBytes();
    const std::vector<QString> texts = PasswordTexts(2);
    const struct
    {
        const char* name;
        std::string bytes;
        const char* reason;
    } damages[] = {
        {"empty", "", "the key file is empty"},
        {"corrupt", key.substr(0, key.size() / 2) + "garbage\n",
         "the key file does not hold a usable key (damaged or replaced)"},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.name);
        WriteKey(damage.bytes);
        auto [report, jobs] = LoadWithReport();
        EXPECT_EQ(report.unreadPasswords, 2);
        EXPECT_EQ(report.reason, damage.reason);

        // The user types a new password for job 1: it cannot be enciphered, so the store keeps
        // the job's previous text rather than " ", and the job keeps the typed one in memory.
        jobs[1].password = "typed";
        jobs[1].passwordUnread = false;
        const SaveReport saved = SaveAsIs(jobs);
        EXPECT_EQ(saved.passwordsNotEnciphered, 1);
        EXPECT_EQ(saved.keyError, damage.reason);
        EXPECT_EQ(saved.keyFile, KeyFile());
        EXPECT_TRUE(saved.written);
        EXPECT_EQ(jobs[1].password, "typed");
        EXPECT_EQ(PasswordTexts(2), texts);
        EXPECT_EQ(KeyBytes(), damage.bytes) << "a pair that cannot be read is left alone";
    }

    WriteKey(key);
    const auto [report, jobs] = LoadWithReport();
    EXPECT_EQ(report.unreadPasswords, 0);
    EXPECT_EQ(jobs[0].password, "pw0");
    EXPECT_EQ(jobs[1].password, "pw1");
}

TEST_F(KeyLossTest, ALongListKeepsEachTextWithItsOwnJob)
{
    // Enough passwords to be enciphered and deciphered on several threads.
    constexpr int kJobs = 150;
    JobList jobs = MakeJobs(kJobs);
    Save(1, jobs);
    const std::vector<QString> texts = PasswordTexts(kJobs);
    // A few texts made under another key: they cannot be read, and must stay where they are.
    const std::string key = KeyBytes();
    ASSERT_EQ(std::remove(KeyFile().c_str()), 0);
    Save(1, MakeJobs(3));
    const std::vector<QString> foreign = PasswordTexts(3);
    WriteKey(key);
    Save(1, jobs);
    const int unreadAt[] = {0, 77, 149};
    for (int i = 0; i < 3; ++i) {
        SetRaw(QStringLiteral("Password-%1").arg(unreadAt[i]), foreign[i]);
    }

    auto [report, loaded] = LoadWithReport();
    EXPECT_EQ(report.unreadPasswords, 3);
    ASSERT_EQ(loaded.size(), static_cast<std::size_t>(kJobs));
    for (int i = 0; i < kJobs; ++i) {
        const bool unread = i == 0 || i == 77 || i == 149;
        EXPECT_EQ(loaded[i].passwordUnread, unread) << i;
        EXPECT_EQ(loaded[i].password, unread ? "" : "pw" + std::to_string(i)) << i;
    }

    loaded.erase(loaded.begin() + 10);
    EXPECT_EQ(SaveAsIs(loaded).passwordsNotEnciphered, 0);
    const std::vector<QString> after = PasswordTexts(kJobs - 1);
    EXPECT_EQ(after[0], foreign[0]);
    EXPECT_EQ(after[76], foreign[1]);
    EXPECT_EQ(after[148], foreign[2]);
    const auto [again, reloaded] = LoadWithReport();
    EXPECT_EQ(again.unreadPasswords, 3);
    for (int i = 1; i < kJobs - 1; ++i) {
        if (i != 76 && i != 148) {
            EXPECT_EQ(reloaded[i].password, "pw" + std::to_string(i < 10 ? i : i + 1)) << i;
        }
    }
}

TEST_F(KeyLossTest, NoPasswordIsNotAnUnreadPassword)
{
    JobList jobs = MakeJobs(1);
    jobs[0].password.clear();
    Save(1, jobs);
    SetRaw(QStringLiteral("Password-0"), QStringLiteral(" "));
    const auto [report, loaded] = LoadWithReport();
    EXPECT_EQ(report.unreadPasswords, 0);
    EXPECT_EQ(loaded[0].password, "");
}

TEST_F(JobStoreTest, TheStoreIsPrivateAndStaleCopiesAreRemoved)
{
    const std::string folder = dir_ + "/Ombrix";
    Save(0, MakeJobs(1));
    // Left by saves that were cut short, and files that only look like them.
    const std::string stale = folder + "/ferrovane.conf.Ab12Cd";
    const std::string keep[] = {folder + "/ferrovane.conf.Ab12Cde", folder + "/other.conf.Ab12Cd"};
    for (const std::string& path : {stale, keep[0], keep[1]}) {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    chmod(folder.c_str(), 0755);
    chmod(QFile::encodeName(file_).constData(), 0644);

    Save(0, MakeJobs(2));

    struct stat info
    {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(QFile::encodeName(file_).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_NE(access(stale.c_str(), F_OK), 0);
    for (const std::string& path : keep) {
        EXPECT_EQ(access(path.c_str(), F_OK), 0) << path;
    }
}

TEST_F(JobStoreTest, SaveIsOnDiskWhenItReturns)
{
    SettingsStore store = Open();
    JobList jobs = MakeJobs(1);
    SaveJobs(store, 1, jobs);
    QFile file(file_);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("[1.0]"));
    EXPECT_TRUE(text.contains("Runned=1"));
    EXPECT_TRUE(text.contains("Source%20file-0=/src/file0.txt"));
}

// One stored value of a complete job, as another tool or an older save may have left it.
struct StoredValueCase
{
    const char* name;
    const char* key;
    std::optional<QString> value; // nullopt: the value is absent
    std::function<void(UploadJob&)> expect;
};

class JobStoreStoredValue : public JobStoreTest,
                            public ::testing::WithParamInterface<StoredValueCase>
{};

TEST_P(JobStoreStoredValue, LoadsAsTheLayoutSays)
{
    Save(0, MakeJobs(1));
    SetRaw(QString::fromLatin1(GetParam().key), GetParam().value);
    UploadJob expected = MakeJob(0);
    GetParam().expect(expected);
    EXPECT_EQ(Load().second, JobList{expected});
}

INSTANTIATE_TEST_SUITE_P(
    Values, JobStoreStoredValue,
    ::testing::Values(
        StoredValueCase{"Port70000", "Port-0", QStringLiteral("70000"),
                        [](UploadJob& j) { j.port = 4464; }},
        StoredValueCase{"PortMinusOne", "Port-0", QStringLiteral("-1"),
                        [](UploadJob& j) { j.port = 65535; }},
        StoredValueCase{"PortNoNumber", "Port-0", QStringLiteral("abc"),
                        [](UploadJob& j) { j.port = 21; }},
        StoredValueCase{"PortAbsent", "Port-0", std::nullopt, [](UploadJob& j) { j.port = 21; }},
        StoredValueCase{"TimeZero", "Time-0", QStringLiteral("0"),
                        [](UploadJob& j) { j.intervalSeconds = j.countdown = 0; }},
        StoredValueCase{"TimeNegative", "Time-0", QStringLiteral("-5"),
                        [](UploadJob& j) { j.intervalSeconds = j.countdown = -5; }},
        StoredValueCase{"DestinationAbsent", "Destination file-0", std::nullopt,
                        [](UploadJob& j) { j.destinationFile = "/"; }},
        StoredValueCase{"DestinationEmpty", "Destination file-0", QString(),
                        [](UploadJob& j) { j.destinationFile = ""; }},
        StoredValueCase{"UserNameAbsent", "User name-0", std::nullopt,
                        [](UploadJob& j) { j.userName = ""; }},
        StoredValueCase{"PassiveAbsent", "Passive mode-0", std::nullopt,
                        [](UploadJob& j) { j.passiveMode = 0; }},
        StoredValueCase{"PasswordSpace", "Password-0", QStringLiteral(" "),
                        [](UploadJob& j) { j.password = ""; }},
        StoredValueCase{"PasswordNotHex", "Password-0", QStringLiteral("ZZZZ"),
                        [](UploadJob& j) { j.password = ""; }},
        StoredValueCase{"PasswordCut", "Password-0", QStringLiteral("5400000001020000"),
                        [](UploadJob& j) { j.password = ""; }}),
    [](const auto& info) { return std::string(info.param.name); });

// The settings store on its own: integer and text reads over what the INI file may hold.
class SettingsStoreTest : public JobStoreTest
{};

TEST_F(SettingsStoreTest, ReadIntTakesThirtyTwoBitNumbersAndNothingElse)
{
    const std::pair<const char*, std::int32_t> cases[] = {
        {"70000", 70000},   {" 12 ", 12},      {"-2147483648", INT32_MIN},
        {"4294967295", -1}, {"4294967296", 7}, {"-2147483649", 7},
        {"12abc", 7},       {"", 7},           {"0x10", 7},
        {"a,b", 7}};
    for (const auto& [text, expected] : cases) {
        SetRaw(QStringLiteral("value"), QString::fromLatin1(text));
        EXPECT_EQ(Open().ReadInt(QStringLiteral("1.0"), QStringLiteral("value"), 7), expected)
            << text;
    }
    EXPECT_EQ(Open().ReadInt(QStringLiteral("1.0"), QStringLiteral("absent"), 7), 7);
}

TEST_F(SettingsStoreTest, TextsSurviveTheFileUnchanged)
{
    const std::string texts[] = {
        "",        " ",          "  two  ",     "a,b",         "a, b",
        "x=y;z#w", "\"quoted\"", "back\\slash", "line\nbreak", "@Variant(1)",
        "true",    "12",         "[1.0]",       "p\xC3\xA4ss", "/path/with/*.txt"};
    {
        SettingsStore store = Open();
        int i = 0;
        for (const std::string& text : texts) {
            ASSERT_TRUE(store.WriteText(QStringLiteral("1.0"), QString::number(i++), text));
        }
        ASSERT_TRUE(store.Sync());
    }
    const SettingsStore store = Open();
    int i = 0;
    for (const std::string& text : texts) {
        EXPECT_EQ(store.ReadText(QStringLiteral("1.0"), QString::number(i++), "default"), text);
    }
    EXPECT_EQ(store.ReadText(QStringLiteral("1.0"), QStringLiteral("absent"), "default"),
              "default");
}

// A link to a regular file is saved through, the link kept and its file's owner and mode too;
// anything else at the path is refused, never opened and never written over.
TEST_F(SettingsStoreTest, OnlyARegularFileIsUsedAndALinkedFileKeepsItsOwnerAndMode)
{
    const std::string file = QFile::encodeName(file_).toStdString();
    const std::string target = dir_ + "/elsewhere.conf";
    std::filesystem::create_directories(dir_ + "/Ombrix");
    std::ofstream(target) << "[1.0]\nRunned=1\n";
    const uid_t owner = geteuid() == 0 ? 65534 : geteuid(); // root saves another user's file
    ASSERT_EQ(chown(target.c_str(), owner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
    SettingsStore linked = Open();
    EXPECT_EQ(linked.ReadInt(QStringLiteral("1.0"), QStringLiteral("Runned"), 0), 1);
    linked.WriteInt(QStringLiteral("1.0"), QStringLiteral("Runned"), 2);
    ASSERT_TRUE(linked.Sync());
    struct stat info
    {};
    EXPECT_TRUE(lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode));
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_uid, owner);

    const std::pair<const char*, std::function<int(const char*)>> cases[] = {
        {"a named pipe", [](const char* path) { return mkfifo(path, 0600); }},
        {"a folder", [](const char* path) { return mkdir(path, 0700); }},
        {"a device", [](const char* path) { return symlink("/dev/null", path); }}};
    for (const auto& [kind, make] : cases) {
        std::filesystem::remove(file);
        ASSERT_EQ(make(file.c_str()), 0) << kind;
        SettingsStore store = Open();
        EXPECT_EQ(store.ReadError(), std::string("it is ") + kind + ", not a regular file");
        store.WriteInt(QStringLiteral("1.0"), QStringLiteral("Runned"), 1);
        std::string why;
        EXPECT_FALSE(store.Sync(&why));
        EXPECT_EQ(why, store.ReadError());
    }
}

TEST_F(SettingsStoreTest, StoreThatCannotBeWrittenIsReported)
{
    QFile blocker(QString::fromStdString(dir_) + QStringLiteral("/blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    SettingsStore store = SettingsStore::FromFile(blocker.fileName() + QStringLiteral("/a.conf"));
    store.WriteInt(QStringLiteral("1.0"), QStringLiteral("Runned"), 1);
    std::string why;
    EXPECT_FALSE(store.Sync(&why));
    EXPECT_EQ(why, std::strerror(ENOTDIR));

    // Every later save tries again, and the first that can reach the file writes everything.
    store.WriteInt(QStringLiteral("1.0"), QStringLiteral("Time-0"), 5);
    why.clear();
    EXPECT_FALSE(store.Sync(&why));
    EXPECT_FALSE(why.empty());
    ASSERT_TRUE(blocker.remove());
    store.WriteInt(QStringLiteral("1.0"), QStringLiteral("Runned"), 1);
    store.WriteInt(QStringLiteral("1.0"), QStringLiteral("Time-0"), 5);
    ASSERT_TRUE(store.Sync());
    const SettingsStore reread = SettingsStore::FromFile(store.FileName());
    EXPECT_EQ(reread.ReadInt(QStringLiteral("1.0"), QStringLiteral("Time-0"), -1), 5);
}

TEST(SettingsStoreLocation, NativeStoreIsOrganisationThenApplication)
{
    TempHome home;
    // Qt reads the configuration folder once per process; point it at this test's folder.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(home.configHome()));
    SettingsStore store(QStringLiteral("ferrovane"));
    EXPECT_EQ(store.FileName(),
              QString::fromStdString(home.configHome()) + QStringLiteral("/Ombrix/ferrovane.conf"));
    EXPECT_EQ(SettingsStore().FileName(), store.FileName()); // no application object here
    store.WriteInt(QStringLiteral("1.0"), QStringLiteral("Runned"), 1);
    ASSERT_TRUE(store.Sync());
    QFile file(store.FileName());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("[1.0]\nRunned=1\n"));
}

} // namespace
