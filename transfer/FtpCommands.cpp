#include "transfer/FtpCommands.h"

#include "transfer/TransferTexts.h"

#include <new>

namespace transfer {

namespace {

// A 4xx or 5xx reply: the server refused what was asked.
bool IsRefusal(const std::string& reply)
{
    return IsReplyLine(reply) && (reply[0] == '4' || reply[0] == '5');
}

} // namespace

std::string FtpUrlPath(FtpFolders folders, const std::string& directory, const std::string& name)
{
    std::string path = "/";
    if (folders == FtpFolders::OwnCwd) {
        path += PercentEncode(name);
        return path;
    }
    // libcurl takes the URL's first "/" as the separator; an encoded one after it starts the
    // folder from the server's root.
    std::size_t start = 0;
    if (directory.starts_with('/')) {
        path += "%2F";
        start = 1;
    }
    for (;;) {
        const std::size_t slash = directory.find('/', start);
        if (slash == std::string::npos) {
            break;
        }
        path += PercentEncode(std::string_view(directory).substr(start, slash - start));
        path += '/';
        start = slash + 1;
    }
    path += PercentEncode(name);
    return path;
}

std::vector<std::string> FtpRenameCommands(const std::string& temporary, const std::string& name,
                                           bool removeFirst)
{
    std::vector<std::string> commands;
    if (removeFirst) {
        // Not allowed to fail: the rename must not go on over a copy that could not be removed.
        commands.push_back("DELE " + name);
    }
    commands.push_back("RNFR " + temporary);
    commands.push_back("RNTO " + name);
    return commands;
}

std::string FtpRemoveCommand(const std::string& name)
{
    // libcurl lets a command that starts with "*" fail without failing the exchange.
    return "*DELE " + name;
}

void AppendCommand(StringList& list, const std::string& command)
{
    curl_slist* appended = curl_slist_append(list.get(), command.c_str());
    if (appended == nullptr) {
        throw std::bad_alloc();
    }
    list.release();
    list.reset(appended);
}

void PrependCommand(StringList& list, const std::string& command)
{
    StringList made;
    AppendCommand(made, command);
    for (const curl_slist* item = list.get(); item != nullptr; item = item->next) {
        AppendCommand(made, item->data);
    }
    list = std::move(made);
}

void ApplyFtpOptions(CURL* easy, FtpFolders folders, StringList& quote,
                     const std::string& directory, bool passive)
{
    if (passive) {
        SetOption(easy, CURLOPT_FTPPORT, static_cast<const char*>(nullptr));
    } else {
        SetOption(easy, CURLOPT_FTPPORT, "-");
    }
    quote.reset();
    if (folders == FtpFolders::KeptConnection) {
        // One CWD to the whole folder, and none when the last file went there too.
        SetOption(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
        return;
    }
    // We send the CWD ourselves, so that its argument is exactly the directory part, and curl
    // stores under the bare name in whatever directory that leaves us in. Such an address logs
    // in for every file, so the change always starts from the login folder.
    SetOption(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    if (!directory.empty()) {
        AppendCommand(quote, "CWD " + directory);
    }
    if (quote) {
        SetOption(easy, CURLOPT_QUOTE, quote.get());
    }
}

std::string FtpFailure(const Outcome& outcome, const Exchange& exchange, const char* errorBuffer,
                       bool tls)
{
    if (!exchange.loggedIn) {
        if (IsRefusal(exchange.lastReply)) {
            return AsErrorLine(exchange.lastReply);
        }
        if (errorBuffer[0] != '\0') {
            return AsErrorLine(errorBuffer);
        }
        return kCannotConnect;
    }
    // Over TLS the user also sees the server's reason ("425 Unable to build data connection"), or
    // the log would hide what only the server's own log tells. Plain FTP says what it always has.
    const bool refusedByServer = IsRefusal(exchange.lastReply);
    const auto withReply = [&](const char* text) {
        return tls && refusedByServer ? WithServerReason(text, exchange.lastReply)
                                      : std::string(text);
    };
    if (outcome.code == CURLE_QUOTE_ERROR || exchange.lastCommand == "CWD") {
        return withReply(kCannotChangeDirectory);
    }
    return withReply(kCannotPut);
}

} // namespace transfer
