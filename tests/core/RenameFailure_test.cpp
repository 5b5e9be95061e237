// What a failed publishing command tells, read from the words servers really answer with:
// proftpd's replies over FTP, and libcurl's texts for OpenSSH's and proftpd's SFTP statuses.
#include "transfer/RenameFailure.h"

#include <gtest/gtest.h>

namespace {
using Step = transfer::RenameFailure::Step;
using Why = transfer::RenameFailure::Why;

TEST(RenameFailureTest, TellsWhichStepFailedAndWhy)
{
    const struct
    {
        bool sftp;
        CURLcode code;
        const char* lastCommand;
        const char* lastReply;
        const char* errorText;
        Step step;
        Why why;
    } cases[] = {
        // FTP: the last command sent and the server's reply to it.
        {false, CURLE_QUOTE_ERROR, "RNTO", "550 new: Operation not permitted", "", Step::Rename,
         Why::Refused},
        {false, CURLE_QUOTE_ERROR, "RNFR", "502 Command not implemented", "", Step::Rename,
         Why::Refused},
        {false, CURLE_QUOTE_ERROR, "RNTO", "553 a.bin: File exists", "", Step::Rename, Why::Exists},
        {false, CURLE_QUOTE_ERROR, "RNFR", "550 tmp: No such file or directory", "", Step::Rename,
         Why::Other},
        {false, CURLE_QUOTE_ERROR, "DELE", "550 dir: Is a directory", "", Step::RemoveOld,
         Why::Other},
        {false, CURLE_RECV_ERROR, "RNTO",
         "350 File or directory exists, ready for destination name",
         "response reading failed (errno: 0)", Step::Rename, Why::Other},
        // SFTP: libcurl's text for the failed command.
        {true, CURLE_QUOTE_ERROR, "", "", "rename command failed: Permission denied", Step::Rename,
         Why::Refused},
        {true, CURLE_QUOTE_ERROR, "", "", "rename command failed: Operation failed", Step::Rename,
         Why::Exists},
        {true, CURLE_QUOTE_ERROR, "", "", "rename command failed: File already exists",
         Step::Rename, Why::Exists},
        {true, CURLE_QUOTE_ERROR, "", "", "rm command failed: No such file or directory",
         Step::RemoveOld, Why::Other},
        {true, CURLE_QUOTE_ERROR, "", "", "rename command failed: Unknown error in libssh2",
         Step::Rename, Why::Other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lastReply) + c.errorText);
        const auto failure =
            transfer::ReadRenameFailure(c.sftp, c.code, c.lastCommand, c.lastReply, c.errorText);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->step, c.step);
        EXPECT_EQ(failure->why, c.why);
    }
    // A store that failed before any publishing command, or an exchange that went well, is none
    // of these.
    EXPECT_FALSE(transfer::ReadRenameFailure(false, CURLE_OK, "RNTO", "250 Renamed", ""));
    EXPECT_FALSE(transfer::ReadRenameFailure(false, CURLE_UPLOAD_FAILED, "STOR", "552 Full", ""));
    EXPECT_FALSE(transfer::ReadRenameFailure(true, CURLE_SSH, "", "", "Upload failed"));
}
} // namespace
