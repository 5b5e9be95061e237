#pragma once

#include "transfer/FolderNode.h"

#include <string>
#include <vector>

// Lists what a wildcard pattern such as "/data/out/*.csv" matches into a tree of folder nodes.
// Only the top level uses the pattern's own mask, matched by WildcardMatch: "*" and "?" are the
// only wildcards, so brackets, a backslash or a "!" in a mask stand for themselves, and a leading
// "." is matched like any other character. A matching subfolder is listed whole, to any depth or up
// to the depth asked for. A relative pattern is taken against the current directory. Links are
// followed; pipes, sockets and devices are not listed, since reading one can block for good.
// Nothing is reported: a folder that is missing or cannot be read, a pattern that matches nothing
// and a path beyond the platform's limit all leave the node concerned with its path and empty
// lists. A link to a folder that is already being scanned further up is listed but never entered.
class FolderScanner
{
public:
    // Depth without bound, for BuildTree and ScanFolder.
    static constexpr int kUnbounded = -1;

    void SetRoot(const std::string& pattern) { root_ = pattern; }
    const std::string& Root() const { return root_; }

    // Scans the root pattern into a fresh tree. maxDepth 0 lists the top level only (matching
    // subfolders become children with their path and nothing else), 1 also lists their contents,
    // and so on; kUnbounded walks every level.
    FolderNode BuildTree(int maxDepth = kUnbounded) const;

    // Fills an empty node from one pattern, recursing into subfolders up to maxDepth levels.
    void ScanFolder(FolderNode& node, const std::string& pattern, int maxDepth = kUnbounded) const;

private:
    std::string root_;
};

// The files `pattern` matches in its own folder, in listing order, without entering any
// subfolder: a wildcard run uploads only the top level.
std::vector<FilePair> ListPatternFiles(const std::string& pattern);
