#pragma once

#include "transfer/CurlExchange.h"

#include <string>
#include <vector>

// FTP's own details, with or without TLS: active or passive mode, the changes of directory we
// send ourselves, the folder the login leaves us in, and what a failed FTP exchange tells.
namespace transfer {

// How an FTP exchange reaches the destination's folder.
enum class FtpFolders
{
    // Our own CWD of exactly the directory part, after every login: an address without a scheme,
    // which logs in for every file, as it always has.
    OwnCwd,
    // libcurl's: on a connection kept from the last file it changes directory only when the
    // folder differs (back to the login folder first, for a relative one), and on a new
    // connection from the login folder. The addresses with a scheme, which keep one login a run.
    KeptConnection,
};

// The URL path of a file FTP stores. With OwnCwd the bare name, for the store goes to whatever
// directory our own changes of directory leave us in; else the directory and the name, a folder
// from "/" kept absolute. Every byte but "/" and the unreserved ones is percent-encoded.
std::string FtpUrlPath(FtpFolders folders, const std::string& directory, const std::string& name);

// Sets the handle up for FTP: passive (EPSV, then PASV) or active mode (EPRT, then PORT), and how
// it reaches the folder. With OwnCwd, the change of directory before the store, when directory
// is not empty; quote keeps the command list as long as the handle uses it.
void ApplyFtpOptions(CURL* easy, FtpFolders folders, StringList& quote,
                     const std::string& directory, bool passive);

// The commands, sent in the store's folder, that put the stored `temporary` in place of `name`:
// the old copy removed first when the server's rename does not replace one, then the rename. A
// removal that fails (no old copy, or one that cannot go) ends the list there.
std::vector<std::string> FtpRenameCommands(const std::string& temporary, const std::string& name,
                                           bool removeFirst);
// Removes `name` (in the store's folder, or a path from the login folder) where the server
// allows; a refusal is no failure.
std::string FtpRemoveCommand(const std::string& name);

// Adds the command to the list, which keeps it as long as a handle uses the list.
void AppendCommand(StringList& list, const std::string& command);
// Puts a command before the list's others.
void PrependCommand(StringList& list, const std::string& command);

// The one-line text of a failed FTP exchange, once TLS has had its say: a refused login in the
// server's words, a refused change of directory or a failed store in ours (over TLS with the
// server's reason after it).
std::string FtpFailure(const Outcome& outcome, const Exchange& exchange, const char* errorBuffer,
                       bool tls);

} // namespace transfer
