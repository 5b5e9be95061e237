// A wildcard job through the window: on a secure server all its files go over one login, each
// with its own log entry; on plain FTP every file logs in as before.
#include "app/AppMessageBox.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/FtpServer.h"
#include "tests/support/SftpServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestCertificates.h"
#include "transfer/TransferFile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

constexpr int kFiles = 20;

TEST(SecureRunTest, AWildcardRunLogsInOnceOnASecureServerAndOncePerFileOnPlainFtp)
{
    AppMessageBox::ClearAnswers();
    AppMessageBox::ClearHistory();
    TestCertificates certificates;
    const std::string previous = SetTransferAuthorityFileForTesting(certificates.authority());
    const std::string local = MakeTempDir("ferrovane-secure-run");
    for (int i = 0; i < kFiles; ++i) {
        std::ofstream(local + "/f" + std::to_string(i) + ".txt") << "bytes " << i << "\n";
    }

    for (const bool secure : {true, false}) {
        SCOPED_TRACE(secure ? "ftpes" : "ftp");
        FtpServerTls tls;
        if (secure) {
            tls.mode = FtpServerTls::Mode::Explicit;
            tls.certificateFile = certificates.server();
            tls.required = true;
        }
        FtpServer server({}, tls);
        std::filesystem::create_directories(server.home() + "/in");
        DialogDriver driver;
        driver.AddJob(secure ? QStringLiteral("ftpes://127.0.0.1") : QStringLiteral("127.0.0.1"),
                      QString::fromLatin1(FtpServer::kWriter),
                      QString::fromStdString(local + "/*.txt"), QStringLiteral("in/any"), 1,
                      QString::number(server.port()), true,
                      QString::fromLatin1(FtpServer::kWriterPassword));
        driver.ClickRow(0);
        driver.Click("updateNowButton");
        driver.WaitForRuns();

        const QStringList lines =
            driver.Log()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        // The pane keeps the latest eight entries; every one of them is a file's own.
        ASSERT_EQ(lines.size(), 8);
        for (const QString& line : lines) {
            EXPECT_TRUE(line.endsWith(QStringLiteral("Ok."))) << line.toStdString();
        }
        for (int i = 0; i < kFiles; ++i) {
            EXPECT_EQ(server.readFile("in/f" + std::to_string(i) + ".txt"),
                      "bytes " + std::to_string(i) + "\n");
        }
        const auto commands = server.commands();
        EXPECT_EQ(
            std::count_if(commands.begin(), commands.end(),
                          [](const std::string& line) { return line.rfind("USER ", 0) == 0; }),
            secure ? 1 : kFiles);
        EXPECT_TRUE(AppMessageBox::History().isEmpty());
    }
    SetTransferAuthorityFileForTesting(previous);
    RemoveTree(local);
}

TEST(SecureRunTest, AWildcardRunOverSftpLogsInOnceOnceTheHostKeyIsTrusted)
{
    AppMessageBox::ClearAnswers();
    AppMessageBox::ClearHistory();
    const std::string local = MakeTempDir("ferrovane-sftp-run");
    for (int i = 0; i < kFiles; ++i) {
        std::ofstream(local + "/f" + std::to_string(i) + ".txt") << "sftp " << i << "\n";
    }
    SftpServer server;
    std::filesystem::create_directories(server.home() + "/in");
    DialogDriver driver;
    driver.AddJob(QStringLiteral("sftp://127.0.0.1"), QString::fromLatin1(FtpServer::kWriter),
                  QString::fromStdString(local + "/*.txt"), QStringLiteral("/in/any"), 1,
                  QString::number(server.port()), false,
                  QString::fromLatin1(FtpServer::kWriterPassword));
    driver.ClickRow(0);
    // The host key is new: the user is asked once and trusts it, and the run goes on.
    AppMessageBox::SetNextAnswer(QMessageBox::Yes);
    driver.Click("updateNowButton");
    driver.WaitForRuns();

    ASSERT_EQ(AppMessageBox::History().size(), 1);
    EXPECT_TRUE(AppMessageBox::History().front().text.contains(
        QString::fromStdString(server.fingerprint())));
    const QStringList lines =
        driver.Log()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // The pane keeps the latest eight entries; every one of them is a file's own.
    ASSERT_EQ(lines.size(), 8);
    for (const QString& line : lines) {
        EXPECT_TRUE(line.endsWith(QStringLiteral("Ok."))) << line.toStdString();
    }
    for (int i = 0; i < kFiles; ++i) {
        EXPECT_EQ(server.readFile("in/f" + std::to_string(i) + ".txt"),
                  "sftp " + std::to_string(i) + "\n");
    }
    const auto log = server.log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) { return line.rfind("LOGIN ", 0) == 0; }),
              1);
    RemoveTree(local);
}

} // namespace
