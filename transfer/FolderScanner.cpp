#include "transfer/FolderScanner.h"

#include "transfer/WildcardMatch.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct DirCloser
{
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Device and inode of a folder: what tells a link back into an open folder from a new folder.
using FolderId = std::pair<dev_t, ino_t>;

enum class EntryKind
{
    File,
    Folder,
    Special,
};

// A node's path: the pattern without its last component and the "/" before it.
std::string PatternFolder(const std::string& pattern)
{
    const auto slash = pattern.rfind('/');
    return slash == std::string::npos ? std::string() : pattern.substr(0, slash);
}

bool MakeAbsolute(const std::string& pattern, std::string& absolute)
{
    if (!pattern.empty() && pattern.front() == '/') {
        absolute = pattern;
        return true;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return false;
    }
    absolute = cwd;
    if (absolute.back() != '/') {
        absolute += '/';
    }
    absolute += pattern;
    return true;
}

bool IsDotOrDotDot(const char* name)
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Links are followed, so a link to a folder is a folder. A dangling link is listed as a file: its
// upload fails and says so in the log, which tells the user more than leaving it out would.
// Pipes, sockets and devices are left out: reading one can block the run for good.
EntryKind KindOf(int folderFd, const dirent& entry)
{
    switch (entry.d_type) {
    case DT_REG:
        return EntryKind::File;
    case DT_DIR:
        return EntryKind::Folder;
    case DT_LNK:
    case DT_UNKNOWN:
        break;
    default:
        return EntryKind::Special;
    }
    struct stat info;
    if (fstatat(folderFd, entry.d_name, &info, 0) != 0) {
        return EntryKind::File;
    }
    if (S_ISDIR(info.st_mode)) {
        return EntryKind::Folder;
    }
    return S_ISREG(info.st_mode) ? EntryKind::File : EntryKind::Special;
}

// depthLeft: how many levels below this node may still be listed; negative for no bound.
// `open` holds the folders being listed on the way down from the top.
void Scan(FolderNode& node, const std::string& pattern, int depthLeft, std::vector<FolderId>& open)
{
    // The path is set first, so that a node whose listing fails still has it.
    node.path = PatternFolder(pattern);

    std::string absolute;
    if (pattern.size() >= PATH_MAX || !MakeAbsolute(pattern, absolute) ||
        absolute.size() >= PATH_MAX) {
        return;
    }
    const auto slash = absolute.rfind('/');
    std::string folder = absolute.substr(0, slash);
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    const std::string mask = absolute.substr(slash + 1);

    DirHandle dir(opendir(folder.c_str()));
    if (!dir) {
        return;
    }
    const int fd = dirfd(dir.get());
    struct stat self;
    if (fstat(fd, &self) != 0) {
        return;
    }
    const FolderId id{self.st_dev, self.st_ino};
    if (std::find(open.begin(), open.end(), id) != open.end()) {
        return; // reached again through a link: entering it would loop until the path limit
    }
    open.push_back(id);

    // readdir gives nullptr at the end and on an error alike; either ends this folder's listing.
    while (const dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (IsDotOrDotDot(name) || !WildcardMatch(mask, name)) {
            continue;
        }
        switch (KindOf(fd, *entry)) {
        case EntryKind::Folder: {
            FolderNode child;
            const std::string childPath = folder + name;
            if (depthLeft == 0) {
                child.path = childPath;
            } else {
                // Inside a matching subfolder every entry counts.
                Scan(child, childPath + "/*", depthLeft < 0 ? depthLeft : depthLeft - 1, open);
            }
            node.children.push_back(std::move(child));
            break;
        }
        case EntryKind::File:
            node.files.push_back({folder + name, name});
            break;
        case EntryKind::Special:
            break;
        }
    }
    open.pop_back();
}

} // namespace

FolderNode FolderScanner::BuildTree(int maxDepth) const
{
    FolderNode node;
    ScanFolder(node, root_, maxDepth);
    return node;
}

void FolderScanner::ScanFolder(FolderNode& node, const std::string& pattern, int maxDepth) const
{
    std::vector<FolderId> open;
    Scan(node, pattern, maxDepth, open);
}

std::vector<FilePair> ListPatternFiles(const std::string& pattern)
{
    FolderScanner scanner;
    scanner.SetRoot(pattern);
    return scanner.BuildTree(0).files;
}
