// A TLS server whose certificate no authority signed, through the window: a scheduled run only
// logs it, "Update now selected items" asks, a yes is remembered, and a certificate that changes
// afterwards is never taken silently.
#include "app/AppMessageBox.h"
#include "jobs/PasswordCipher.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/FtpServer.h"
#include "tests/support/SftpServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestCertificates.h"
#include "transfer/TrustStore.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

namespace {

class TrustPromptTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
        local_ = MakeTempDir("ferrovane-trust-gui");
        source_ = local_ + "/report.txt";
        std::ofstream(source_, std::ios::binary) << "trusted bytes\n";
    }
    void TearDown() override { RemoveTree(local_); }

    static std::unique_ptr<FtpServer> Start(const std::string& certificate, std::uint16_t port = 0)
    {
        FtpServerOptions options;
        options.port = port;
        FtpServerTls tls;
        tls.mode = FtpServerTls::Mode::Explicit;
        tls.certificateFile = certificate;
        tls.required = true;
        return std::make_unique<FtpServer>(options, tls);
    }

    void AddJob(DialogDriver& driver, std::uint16_t port,
                const QString& address = QStringLiteral("ftpes://127.0.0.1"))
    {
        driver.AddJob(address, QString::fromLatin1(FtpServer::kWriter),
                      QString::fromStdString(source_), QStringLiteral("/report.txt"), 1,
                      QString::number(port), true, QString::fromLatin1(FtpServer::kWriterPassword));
    }

    static QString LastLine(DialogDriver& driver)
    {
        const QStringList lines =
            driver.Log()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return lines.isEmpty() ? QString() : lines.last();
    }

    static int LineCount(DialogDriver& driver)
    {
        return static_cast<int>(
            driver.Log()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts).size());
    }

    // Starts the schedule, lets the timer expire until the job has run once, and stops it.
    static void RunScheduled(DialogDriver& driver)
    {
        const int before = LineCount(driver);
        driver.Click("startButton");
        for (int i = 0; i < 5 && LineCount(driver) == before; ++i) {
            driver.dialog().FireTimerForTesting();
            driver.WaitForRuns();
        }
        driver.Click("stopButton");
        ASSERT_EQ(LineCount(driver), before + 1);
    }

    static void UpdateNow(DialogDriver& driver)
    {
        const int before = LineCount(driver);
        driver.ClickRow(0);
        driver.Click("updateNowButton");
        driver.WaitForRuns();
        ASSERT_EQ(LineCount(driver), before + 1);
    }

    std::string local_;
    std::string source_;
};

TEST_F(TrustPromptTest, AnUnknownCertificateIsAskedAboutOnlyAtTheWindowAndAChangeIsAWarning)
{
    TestCertificates first;
    auto server = Start(first.selfSigned());
    const std::uint16_t port = server->port();
    const TrustStore store(PasswordCipher::DefaultKeyStoreRoot());
    const QString fingerprint = QString::fromStdString(first.selfSignedFingerprint());

    DialogDriver driver;
    AddJob(driver, port);

    // The schedule never asks: it logs the failure with the fingerprint and what to do.
    RunScheduled(driver);
    EXPECT_TRUE(LastLine(driver).endsWith(
        QStringLiteral("The server's identity could not be verified (certificate SHA-256 %1). "
                       "Select the job and use \"Update now selected items\" to review the "
                       "server.")
            .arg(fingerprint)))
        << LastLine(driver).toStdString();
    EXPECT_TRUE(AppMessageBox::History().isEmpty());
    EXPECT_FALSE(std::filesystem::exists(server->home() + "/report.txt"));

    // At the window the user is asked, with what identifies the certificate; yes records it and
    // the upload goes on.
    AppMessageBox::SetNextAnswer(QMessageBox::Yes);
    UpdateNow(driver);
    ASSERT_EQ(AppMessageBox::History().size(), 1);
    const AppMessageBox::Shown asked = AppMessageBox::History().first();
    EXPECT_EQ(asked.icon, QMessageBox::Question);
    for (const QString& part :
         {fingerprint, QStringLiteral("127.0.0.1 port %1").arg(port),
          QStringLiteral("Subject: CN=127.0.0.1"), QStringLiteral("Issuer: CN=127.0.0.1"),
          QStringLiteral("Valid from "), QStringLiteral("Trust this server from now on?")}) {
        EXPECT_TRUE(asked.text.contains(part)) << part.toStdString();
    }
    EXPECT_FALSE(asked.text.contains(QStringLiteral("attack")));
    EXPECT_TRUE(LastLine(driver).endsWith(QStringLiteral("Ok."))) << LastLine(driver).toStdString();
    EXPECT_EQ(server->readFile("report.txt"), "trusted bytes\n");
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", port), first.selfSignedFingerprint());

    // From now on the schedule takes that certificate without a word.
    std::filesystem::remove(server->home() + "/report.txt");
    AppMessageBox::ClearHistory();
    RunScheduled(driver);
    EXPECT_TRUE(LastLine(driver).endsWith(QStringLiteral("Ok."))) << LastLine(driver).toStdString();
    EXPECT_EQ(server->readFile("report.txt"), "trusted bytes\n");
    EXPECT_TRUE(AppMessageBox::History().isEmpty());

    // The same port with a new self-signed certificate: the schedule refuses it as changed.
    server.reset();
    TestCertificates second;
    server = Start(second.selfSigned(), port);
    const QString changed = QString::fromStdString(second.selfSignedFingerprint());
    RunScheduled(driver);
    EXPECT_TRUE(LastLine(driver).contains(
        QStringLiteral("The server's identity has changed (certificate SHA-256 %1). Select the "
                       "job and use \"Update now selected items\" to review the server.")
            .arg(changed)))
        << LastLine(driver).toStdString();
    EXPECT_TRUE(AppMessageBox::History().isEmpty());

    // At the window the prompt warns of an attack; no keeps the old record and logs the failure.
    AppMessageBox::SetNextAnswer(QMessageBox::No);
    UpdateNow(driver);
    ASSERT_EQ(AppMessageBox::History().size(), 1);
    EXPECT_EQ(AppMessageBox::History().first().icon, QMessageBox::Warning);
    EXPECT_TRUE(AppMessageBox::History().first().text.contains(QStringLiteral("attack")));
    EXPECT_TRUE(AppMessageBox::History().first().text.contains(changed));
    EXPECT_TRUE(LastLine(driver).contains(QStringLiteral("has changed")))
        << LastLine(driver).toStdString();
    EXPECT_FALSE(std::filesystem::exists(server->home() + "/report.txt"));
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", port), first.selfSignedFingerprint());

    // Yes replaces the record.
    AppMessageBox::SetNextAnswer(QMessageBox::Yes);
    UpdateNow(driver);
    EXPECT_TRUE(LastLine(driver).endsWith(QStringLiteral("Ok."))) << LastLine(driver).toStdString();
    EXPECT_EQ(server->readFile("report.txt"), "trusted bytes\n");
    EXPECT_EQ(store.TlsFingerprint("127.0.0.1", port), second.selfSignedFingerprint());
}

TEST_F(TrustPromptTest, AnUnknownSshHostKeyIsRefusedOnScheduleAndTrustedThroughThePrompt)
{
    SftpServer server;
    const QString fingerprint = QString::fromStdString(server.fingerprint());
    DialogDriver driver;
    AddJob(driver, server.port(), QStringLiteral("sftp://127.0.0.1"));

    RunScheduled(driver);
    EXPECT_TRUE(LastLine(driver).endsWith(
        QStringLiteral("The server's identity could not be verified (host key %1). Select the "
                       "job and use \"Update now selected items\" to review the server.")
            .arg(fingerprint)))
        << LastLine(driver).toStdString();
    EXPECT_TRUE(AppMessageBox::History().isEmpty());
    EXPECT_TRUE(server.log().empty());

    AppMessageBox::SetNextAnswer(QMessageBox::Yes);
    UpdateNow(driver);
    ASSERT_EQ(AppMessageBox::History().size(), 1);
    const QString asked = AppMessageBox::History().first().text;
    EXPECT_TRUE(asked.contains(QStringLiteral("Host key (ecdsa-sha2-nistp256) fingerprint:\n") +
                               fingerprint))
        << asked.toStdString();
    EXPECT_TRUE(LastLine(driver).endsWith(QStringLiteral("Ok."))) << LastLine(driver).toStdString();
    EXPECT_EQ(server.readFile("report.txt"), "trusted bytes\n");

    // Known from now on: the schedule sends without asking.
    std::filesystem::remove(server.home() + "/report.txt");
    AppMessageBox::ClearHistory();
    RunScheduled(driver);
    EXPECT_TRUE(LastLine(driver).endsWith(QStringLiteral("Ok."))) << LastLine(driver).toStdString();
    EXPECT_EQ(server.readFile("report.txt"), "trusted bytes\n");
    EXPECT_TRUE(AppMessageBox::History().isEmpty());
}

} // namespace
