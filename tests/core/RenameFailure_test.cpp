// What a failed publishing command tells, read from the words servers really answer with:
// proftpd's replies over FTP, and the status codes of OpenSSH's and proftpd's SFTP.
#include "transfer/RenameFailure.h"

#include <gtest/gtest.h>

namespace {
using Step = transfer::RenameFailure::Step;
using Why = transfer::RenameFailure::Why;

TEST(RenameFailureTest, TellsWhichStepFailedAndWhy)
{
    const struct
    {
        CURLcode code;
        const char* lastCommand;
        const char* lastReply;
        const char* errorText;
        Step step;
        Why why;
    } cases[] = {
        {CURLE_QUOTE_ERROR, "RNTO", "550 new: Operation not permitted", "", Step::Rename,
         Why::Refused},
        {CURLE_QUOTE_ERROR, "RNFR", "502 Command not implemented", "", Step::Rename, Why::Refused},
        {CURLE_QUOTE_ERROR, "RNTO", "553 a.bin: File exists", "", Step::Rename, Why::Exists},
        {CURLE_QUOTE_ERROR, "RNFR", "550 tmp: No such file or directory", "", Step::Rename,
         Why::Other},
        {CURLE_QUOTE_ERROR, "DELE", "550 dir: Is a directory", "", Step::RemoveOld, Why::Other},
        {CURLE_RECV_ERROR, "RNTO", "350 File or directory exists, ready for destination name",
         "response reading failed (errno: 0)", Step::Rename, Why::Other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lastReply) + c.errorText);
        const auto failure =
            transfer::ReadRenameFailure(c.code, c.lastCommand, c.lastReply, c.errorText);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->step, c.step);
        EXPECT_EQ(failure->why, c.why);
    }
    // A store that failed before any publishing command, or an exchange that went well, is none
    // of these.
    EXPECT_FALSE(transfer::ReadRenameFailure(CURLE_OK, "RNTO", "250 Renamed", ""));
    EXPECT_FALSE(transfer::ReadRenameFailure(CURLE_UPLOAD_FAILED, "STOR", "552 Full", ""));
}

TEST(RenameFailureTest, ReadsSftpStatusCodes)
{
    const struct
    {
        std::uint32_t code;
        bool lost;
        bool posixRename;
        Why why;
    } cases[] = {
        {3, false, false, Why::Refused}, // permission denied (OpenSSH's -P rename)
        {8, false, true, Why::Refused},  // unsupported
        {4, false, false, Why::Exists},  // OpenSSH's plain rename onto a taken name
        {11, false, false, Why::Exists}, // file already exists
        {4, false, true, Why::Other},    // a replacing rename: a folder in the way
        {3, true, false, Why::Other},    // the connection went before the answer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(transfer::SftpRenameWhy(c.code, c.lost, c.posixRename), c.why);
    }
}
} // namespace
