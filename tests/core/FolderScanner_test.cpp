#include "tests/support/TempHome.h"
#include "transfer/FolderScanner.h"
#include "transfer/WildcardMatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

// Readable failures: a node as its path, its files and its children.
void PrintTo(const FilePair& file, std::ostream* out)
{
    *out << "(" << file.fullPath << ", " << file.fileName << ")";
}

void PrintTo(const FolderNode& node, std::ostream* out)
{
    *out << "{path \"" << node.path << "\", files " << testing::PrintToString(node.files)
         << ", children " << testing::PrintToString(node.children) << "}";
}

namespace {

std::vector<std::string> Names(const std::vector<FilePair>& files)
{
    std::vector<std::string> names;
    for (const FilePair& file : files) {
        names.push_back(file.fileName);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Paths(const std::vector<FolderNode>& children)
{
    std::vector<std::string> paths;
    for (const FolderNode& child : children) {
        paths.push_back(child.path);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

const FolderNode* Child(const FolderNode& node, const std::string& path)
{
    for (const FolderNode& child : node.children) {
        if (child.path == path) {
            return &child;
        }
    }
    return nullptr;
}

FolderNode Scan(const std::string& pattern, int maxDepth = FolderScanner::kUnbounded)
{
    FolderScanner scanner;
    scanner.SetRoot(pattern);
    return scanner.BuildTree(maxDepth);
}

// Root reads every folder whatever its mode; without these two capabilities it is held to the
// mode bits like anyone else. Capabilities are per thread, and the tests run on one.
class WithoutReadOverride
{
public:
    WithoutReadOverride()
    {
        if (geteuid() != 0) {
            active_ = true;
            return;
        }
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        if (syscall(SYS_capget, &header_, saved_) != 0) {
            return;
        }
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        changed_ = active_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutReadOverride()
    {
        if (changed_) {
            syscall(SYS_capset, &header_, saved_);
        }
    }
    bool active() const { return active_; }

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
    bool changed_ = false;
};

class FolderScannerTest : public testing::Test
{
protected:
    void SetUp() override { dir = MakeTempDir("ferrovane-scan"); }
    void TearDown() override
    {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
            if (entry.is_directory() && !entry.is_symlink()) {
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
            }
        }
        RemoveTree(dir);
    }

    void File(const std::string& name)
    {
        fs::create_directories(fs::path(dir + "/" + name).parent_path());
        std::ofstream(dir + "/" + name) << name;
    }
    void Folder(const std::string& name) { fs::create_directories(dir + "/" + name); }

    std::string dir;
};

} // namespace

struct MaskCase
{
    const char* mask;
    std::vector<std::string> files;
    std::vector<std::string> children;
};

void PrintTo(const MaskCase& param, std::ostream* out)
{
    *out << "mask \"" << param.mask << "\"";
}

class MaskTest : public FolderScannerTest, public testing::WithParamInterface<MaskCase>
{
protected:
    // Scans the folder with the case's mask and checks the top level against it.
    void ExpectTopLevel()
    {
        const FolderNode root = Scan(dir + "/" + GetParam().mask);
        EXPECT_EQ(root.path, dir);
        EXPECT_EQ(Names(root.files), GetParam().files);
        for (const FilePair& file : root.files) {
            EXPECT_EQ(file.fullPath, dir + "/" + file.fileName);
        }
        std::vector<std::string> children;
        for (const std::string& path : Paths(root.children)) {
            children.push_back(path.substr(dir.size() + 1));
        }
        EXPECT_EQ(children, GetParam().children);
    }
};

TEST_P(MaskTest, TheMaskPicksFilesAndSubfoldersOfTheTopLevel)
{
    for (const char* name : {"a.txt", "b.txt", "notes.doc", ".hidden.txt", ".profile",
                             "back\\slash.txt", "old.txt/inner.doc", "logs/today.txt"}) {
        File(name);
    }
    ExpectTopLevel();
}

INSTANTIATE_TEST_SUITE_P(
    Masks, MaskTest,
    testing::Values(
        MaskCase{"*.txt", {".hidden.txt", "a.txt", "b.txt", "back\\slash.txt"}, {"old.txt"}},
        MaskCase{"*",
                 {".hidden.txt", ".profile", "a.txt", "b.txt", "back\\slash.txt", "notes.doc"},
                 {"logs", "old.txt"}},
        MaskCase{".*", {".hidden.txt", ".profile"}, {}}, // "." and ".." are never children
        MaskCase{"?.txt", {"a.txt", "b.txt"}, {}}, MaskCase{"back\\*", {"back\\slash.txt"}, {}},
        MaskCase{"*.none", {}, {}}, MaskCase{"a.txt", {"a.txt"}, {}}));

// Names with brackets, backslashes, "!" and "-" are common; only "*" and "?" are wildcards.
class LiteralMaskTest : public MaskTest
{};

TEST_P(LiteralMaskTest, OnlyStarAndQuestionMarkAreWildcards)
{
    for (const char* name :
         {"[2024] report.csv", "2 report.csv", "a\\b.txt", "ab.txt", "!x-y.txt", "[!a].txt",
          "[ab].txt", "a.txt", "b.txt", "é.txt", "ee.txt", "[old]/inner.txt"}) {
        File(name);
    }
    ExpectTopLevel();
}

INSTANTIATE_TEST_SUITE_P(
    Masks, LiteralMaskTest,
    testing::Values(MaskCase{"[2024]*", {"[2024] report.csv"}, {}},
                    MaskCase{"[2024] report.csv", {"[2024] report.csv"}, {}},
                    MaskCase{"[ab].txt", {"[ab].txt"}, {}}, MaskCase{"[!a].txt", {"[!a].txt"}, {}},
                    MaskCase{"[*]*", {"[!a].txt", "[2024] report.csv", "[ab].txt"}, {"[old]"}},
                    MaskCase{"a\\b.txt", {"a\\b.txt"}, {}}, MaskCase{"?\\?.*", {"a\\b.txt"}, {}},
                    MaskCase{"!*-?.txt", {"!x-y.txt"}, {}},
                    // One "?" is one character, however many bytes it takes.
                    MaskCase{"?.txt", {"a.txt", "b.txt", "é.txt"}, {}},
                    MaskCase{"??.txt", {"ab.txt", "ee.txt"}, {}}));

TEST_F(FolderScannerTest, ManyStarsAgainstALongNameFinish)
{
    const std::string name(250, 'a');
    File(name);
    EXPECT_TRUE(Scan(dir + "/*a*a*a*a*a*a*a*a*a*a*b").files.empty());
    EXPECT_EQ(Names(Scan(dir + "/*a*a*a*a*a*a*a*a*a*a*a").files), std::vector<std::string>{name});
}

struct WildcardCase
{
    const char* pattern;
    std::string name;
    bool matches;
};

void PrintTo(const WildcardCase& param, std::ostream* out)
{
    *out << "\"" << param.pattern << "\" against " << testing::PrintToString(param.name);
}

class WildcardMatchTest : public testing::TestWithParam<WildcardCase>
{};

TEST_P(WildcardMatchTest, MatchesTheWholeName)
{
    EXPECT_EQ(WildcardMatch(GetParam().pattern, GetParam().name), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WildcardMatchTest,
    testing::Values(
        // Stars take any run, none included; the whole name must be matched.
        WildcardCase{"*", "", true}, WildcardCase{"", "a", false}, WildcardCase{"a*", "a", true},
        WildcardCase{"*.txt", "a.txt.bak", false}, WildcardCase{"a*b*c", "aXbYbZc", true},
        WildcardCase{"a*b*c", "aXbYcZ", false}, WildcardCase{"**?*", "x", true},
        WildcardCase{"??", "abc", false}, WildcardCase{"A.TXT", "a.txt", false},
        WildcardCase{"?profile", ".profile", true},
        // No sets, ranges or escapes.
        WildcardCase{"[ab].txt", "a.txt", false}, WildcardCase{"[a-c]", "b", false},
        WildcardCase{"[!a]", "[!a]", true}, WildcardCase{"\\*", "*", false},
        WildcardCase{"\\*", "\\x", true}, WildcardCase{"\\?", "\\]", true},
        // Characters of valid UTF-8 are whole; anything else goes byte by byte.
        WildcardCase{"?", "€", true}, WildcardCase{"?", "😀", true}, WildcardCase{"*??", "é", false},
        WildcardCase{"?.txt", "\xE9.txt", true}, WildcardCase{"??", "\xC3\xA9", false},
        WildcardCase{"???", "\xC3\xA9\xFF", true}, WildcardCase{"??", "\xC0\xAF", true},
        WildcardCase{"???", "\xED\xA0\x80", true}, WildcardCase{"????", "\xF4\x90\x80\x80", true},
        // Only the last star is ever taken back, so many stars cost no more than one.
        WildcardCase{"*a*a*a*a*a*a*a*a*b", std::string(100000, 'a'), false},
        WildcardCase{"*a*a*a*a*a*a*a*a*b", std::string(100000, 'a') + "b", true},
        WildcardCase{"*aaaaaaaab", std::string(100000, 'a'), false}));

TEST_F(FolderScannerTest, AMatchingSubfolderIsScannedWhole)
{
    for (const char* name : {"a.txt", "old.txt/x.doc", "old.txt/.y", "old.txt/deep/z.bin"}) {
        File(name);
    }
    Folder("old.txt/empty");
    const FolderNode root = Scan(dir + "/*.txt");
    ASSERT_EQ(root.children.size(), 1u);
    const FolderNode& old = root.children[0];
    EXPECT_EQ(old.path, dir + "/old.txt");
    EXPECT_EQ(Names(old.files), (std::vector<std::string>{".y", "x.doc"}));
    EXPECT_EQ(Paths(old.children),
              (std::vector<std::string>{dir + "/old.txt/deep", dir + "/old.txt/empty"}));

    const FolderNode* deep = Child(old, dir + "/old.txt/deep");
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->files, (std::vector<FilePair>{{dir + "/old.txt/deep/z.bin", "z.bin"}}));
    // An empty subfolder is a child with its path and nothing else.
    EXPECT_EQ(*Child(old, dir + "/old.txt/empty"), (FolderNode{{}, dir + "/old.txt/empty", {}}));
}

TEST_F(FolderScannerTest, TheDepthBoundStopsTheWalk)
{
    File("a/b/c/file");
    File("a/top");
    const FolderNode flat = Scan(dir + "/*", 0);
    EXPECT_EQ(flat, (FolderNode{{}, dir, {FolderNode{{}, dir + "/a", {}}}}));

    const FolderNode one = Scan(dir + "/*", 1);
    ASSERT_EQ(one.children.size(), 1u);
    EXPECT_EQ(Names(one.children[0].files), std::vector<std::string>{"top"});
    EXPECT_EQ(one.children[0].children, (std::vector<FolderNode>{{{}, dir + "/a/b", {}}}));

    EXPECT_EQ(Scan(dir + "/*").children[0].children[0].children[0].files,
              (std::vector<FilePair>{{dir + "/a/b/c/file", "file"}}));
}

TEST_F(FolderScannerTest, LinksBackIntoTheScanAreNotEntered)
{
    File("sub/a.txt");
    File("outside/o.txt");
    fs::create_directory_symlink(dir, dir + "/sub/up");            // back to the top
    fs::create_directory_symlink(dir + "/sub", dir + "/sub/self"); // to itself
    fs::create_directory_symlink(dir + "/outside", dir + "/sub/out");

    const FolderNode root = Scan(dir + "/sub*");
    ASSERT_EQ(root.children.size(), 1u);
    const FolderNode& sub = root.children[0];
    EXPECT_EQ(Names(sub.files), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(*Child(sub, dir + "/sub/up"), (FolderNode{{}, dir + "/sub/up", {}}));
    EXPECT_EQ(*Child(sub, dir + "/sub/self"), (FolderNode{{}, dir + "/sub/self", {}}));
    // A link to a folder outside the walk is an ordinary subfolder.
    const FolderNode* out = Child(sub, dir + "/sub/out");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->files, (std::vector<FilePair>{{dir + "/sub/out/o.txt", "o.txt"}}));
}

TEST_F(FolderScannerTest, OnlyFilesAndFoldersAreListed)
{
    File("plain");
    ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0600), 0);
    fs::create_symlink(dir + "/plain", dir + "/to-plain");
    fs::create_symlink(dir + "/missing", dir + "/dangling");
    fs::create_symlink("/dev/zero", dir + "/zero");
    // A pipe or a device would block the upload that reads it; a dangling link is listed so that
    // its failure shows in the log.
    EXPECT_EQ(Names(Scan(dir + "/*").files),
              (std::vector<std::string>{"dangling", "plain", "to-plain"}));
}

TEST_F(FolderScannerTest, AnUnreadableFolderGivesAnEmptyNode)
{
    File("locked/secret.txt");
    File("open/a.txt");
    fs::permissions(dir + "/locked", fs::perms::none);
    WithoutReadOverride guard;
    if (!guard.active()) {
        GTEST_SKIP() << "cannot give up the capability to read any folder";
    }
    EXPECT_EQ(Scan(dir + "/locked/*"), (FolderNode{{}, dir + "/locked", {}}));

    const FolderNode root = Scan(dir + "/*");
    EXPECT_EQ(Paths(root.children), (std::vector<std::string>{dir + "/locked", dir + "/open"}));
    EXPECT_EQ(*Child(root, dir + "/locked"), (FolderNode{{}, dir + "/locked", {}}));
    EXPECT_EQ(Names(Child(root, dir + "/open")->files), std::vector<std::string>{"a.txt"});
}

TEST_F(FolderScannerTest, ARelativePatternIsTakenAgainstTheCurrentFolder)
{
    File("a.txt");
    File("sub/b.txt");
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    const FolderNode top = Scan("*.txt");
    const FolderNode sub = Scan("sub/*.txt");
    const FolderNode dot = Scan("./sub/*.txt");
    fs::current_path(previous);

    EXPECT_EQ(top, (FolderNode{{{dir + "/a.txt", "a.txt"}}, "", {}}));
    EXPECT_EQ(sub, (FolderNode{{{dir + "/sub/b.txt", "b.txt"}}, "sub", {}}));
    EXPECT_EQ(dot, (FolderNode{{{dir + "/./sub/b.txt", "b.txt"}}, "./sub", {}}));
}

TEST_F(FolderScannerTest, NothingMatchedLeavesThePathAndEmptyLists)
{
    File("a.txt");
    EXPECT_EQ(Scan(dir + "/*.none"), (FolderNode{{}, dir, {}}));
    EXPECT_EQ(Scan(dir + "/missing/*.txt"), (FolderNode{{}, dir + "/missing", {}}));
    EXPECT_EQ(Scan(dir + "/a.txt/*"), (FolderNode{{}, dir + "/a.txt", {}}));
    EXPECT_EQ(Scan(dir + "/"), (FolderNode{{}, dir, {}}));
    const std::string tooLong = dir + "/" + std::string(PATH_MAX, 'x') + "/*";
    EXPECT_EQ(Scan(tooLong), (FolderNode{{}, tooLong.substr(0, tooLong.size() - 2), {}}));
}

TEST_F(FolderScannerTest, AFolderBeyondThePathLimitIsAChildWithItsPathOnly)
{
    // Nested folders of long names, made relative to each other: their full paths pass the limit.
    const std::string name(200, 'n');
    std::vector<int> fds{open(dir.c_str(), O_DIRECTORY | O_RDONLY)};
    std::string path = dir;
    while (path.size() + name.size() + 3 < PATH_MAX + 300) {
        ASSERT_EQ(mkdirat(fds.back(), name.c_str(), 0700), 0);
        fds.push_back(openat(fds.back(), name.c_str(), O_DIRECTORY | O_RDONLY));
        path += "/" + name;
    }
    const FolderNode root = Scan(dir + "/*");
    for (std::size_t n = fds.size() - 1; n > 0; --n) {
        close(fds[n]);
        unlinkat(fds[n - 1], name.c_str(), AT_REMOVEDIR);
    }
    close(fds[0]);

    const FolderNode* node = &root;
    while (!node->children.empty()) {
        ASSERT_EQ(node->children.size(), 1u);
        node = &node->children[0];
    }
    // The deepest node is the first whose listing pattern would pass the limit.
    EXPECT_GE(node->path.size() + 2, static_cast<std::size_t>(PATH_MAX));
    EXPECT_LT(node->path.size() - name.size() - 1 + 2, static_cast<std::size_t>(PATH_MAX));
    EXPECT_EQ(node->path.substr(0, dir.size()), dir);
}
