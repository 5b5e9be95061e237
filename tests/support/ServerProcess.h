#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// What the test servers (FtpServer, SftpServer) share: each runs a script of its own as a child
// process that ends when its stdin closes, writes a log, and serves a home folder.

// Waits a moment for a child whose stdin was closed to end, then kills it.
void StopServerProcess(pid_t pid);

// The lines of a server's log, without their line ends.
std::vector<std::string> ReadLogLines(const std::string& path);

// The bytes of the file at `relativePath` under `home`; throws, naming `server`, when it is not
// there.
std::string ReadServedFile(const std::string& home, const std::string& relativePath,
                           const char* server);
