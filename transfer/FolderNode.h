#pragma once

#include <string>
#include <vector>

// One file found by a folder scan: where it is, and its bare name as the folder lists it.
struct FilePair
{
    std::string fullPath;
    std::string fileName;

    bool operator==(const FilePair&) const = default;
};

// One folder of a scanned tree: its files in the order the folder listed them, its own path
// (without a trailing "/"), and one node per subfolder found, each holding its subtree by value.
// A plain value: copying a node copies its whole subtree.
struct FolderNode
{
    std::vector<FilePair> files;
    std::string path;
    std::vector<FolderNode> children;

    bool operator==(const FolderNode&) const = default;
};
