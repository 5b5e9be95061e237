#pragma once

#include <cstddef>
#include <string>

// The user's private files: the cipher's key containers and the record of trusted servers. Folders
// are made 0700 and files 0600 whatever the umask, and files are replaced in one step, so that a
// crash never leaves half a key or half a record.

// Makes the folder and every missing parent, each 0700; folders that exist keep their modes. False
// when the path is no folder in the end; `why` then says which part failed and why.
bool MakePrivateFolders(const std::string& path, std::string& why);

// Writes all of `size` bytes, going on after interruptions. False on any error (errno says which).
bool WriteAll(int fd, const char* data, std::size_t size);

// Makes a rename or link in the folder survive a crash.
void SyncFolder(const std::string& folder);

// Replaces the file's contents as one step: a 0600 temporary file beside it, synced, renamed over
// it, then the folder synced. False with the file's path and the reason in `why`.
bool WriteAtomically(const std::string& path, const std::string& text, std::string& why);
