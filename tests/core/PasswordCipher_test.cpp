#include "jobs/PasswordCipher.h"
#include "tests/support/PasswordCipherFixture.h"
#include "tests/support/TempHome.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

struct RoundTripCase
{
    const char* name;
    std::string password;
};

class PasswordCipherRoundTrip : public PasswordCipherTest,
                                public ::testing::WithParamInterface<RoundTripCase>
{};

// The text is 2 x (4 + 84 + E) uppercase digits with E = P + 16, P the password and its zero.
TEST_P(PasswordCipherRoundTrip, DecodesToThePasswordWithTheStatedLength)
{
    const std::string& password = GetParam().password;
    const std::optional<std::string> text = EncodeText(cipher_, password.c_str());
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 2 * (4 + 84 + password.size() + 1 + 16));
    EXPECT_EQ(text->find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(text->substr(0, 32), "54000000010200001066000005AA0000");

    PasswordCipher reader(true, root_);
    EXPECT_EQ(DecodeText(reader, *text), password);
}

INSTANTIATE_TEST_SUITE_P(Passwords, PasswordCipherRoundTrip,
                         ::testing::Values(RoundTripCase{"Empty", ""},
                                           RoundTripCase{"SixCharacters", "abc123"},
                                           RoundTripCase{"SevenCharacters", "abc1234"},
                                           RoundTripCase{"Utf8", "p\xC3\xA4ss w\xC3\xB6rd"},
                                           RoundTripCase{"Long", std::string(500, 'x')}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PasswordCipherTest, TwoEncodingsOfOnePasswordDifferAndBothDecode)
{
    const std::optional<std::string> first = EncodeText(cipher_, "hunter2");
    const std::optional<std::string> second = EncodeText(cipher_, "hunter2");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    // Not only in the wrapped one-time key: each is enciphered under a key of its own.
    EXPECT_NE(first->substr(2 * (4 + 84)), second->substr(2 * (4 + 84)));
    EXPECT_EQ(DecodeText(cipher_, *first), "hunter2");
    EXPECT_EQ(DecodeText(cipher_, *second), "hunter2");
}

TEST_F(PasswordCipherTest, OddLengthAndLowerCaseTextsDecodeLikeTheirCleanForm)
{
    const std::string text = *EncodeText(cipher_, "secret");
    std::string lower = text;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(DecodeText(cipher_, text + "F"), "secret");
    EXPECT_EQ(DecodeText(cipher_, text + "z"), "secret");
    EXPECT_EQ(DecodeText(cipher_, lower), "secret");
}

// Whatever single record byte changes, the tag, the unwrap or the layout check must refuse it;
// so must a cut or a lengthened record and a character that is no hexadecimal digit.
TEST_F(PasswordCipherTest, EveryChangeOfATextFailsToDecode)
{
    const std::string text = *EncodeText(cipher_, "");
    static const char kDigits[] = "0123456789ABCDEF";
    int accepted = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        for (const char digit : std::string(kDigits)) {
            if (digit == text[i]) {
                continue;
            }
            std::string changed = text;
            changed[i] = digit;
            accepted += cipher_.Decode(changed.c_str()) != nullptr;
        }
        std::string bad = text;
        bad[i] = 'G';
        accepted += cipher_.Decode(bad.c_str()) != nullptr;
    }
    for (std::size_t cut = 0; cut < text.size(); cut += 2) {
        accepted += cipher_.Decode(text.substr(0, cut).c_str()) != nullptr;
    }
    accepted += cipher_.Decode((text + "00").c_str()) != nullptr;
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(DecodeText(cipher_, text), "");
}

TEST_F(PasswordCipherTest, TextFromAnotherKeyPairFails)
{
    const std::string otherRoot = MakeTempDir("ferrovane-keys-other");
    PasswordCipher other(true, otherRoot);
    const std::optional<std::string> foreign = EncodeText(other, "secret");
    RemoveTree(otherRoot);
    ASSERT_TRUE(foreign);
    ASSERT_TRUE(EncodeText(cipher_, "mine")); // this root now has a pair of its own
    EXPECT_EQ(cipher_.Decode(foreign->c_str()), nullptr);
}

TEST_F(PasswordCipherTest, FailuresLeaveNoOpenSslErrorsBehind)
{
    ERR_clear_error();
    const std::string text = *EncodeText(cipher_, "x");
    std::string damaged = text;
    damaged[text.size() - 1] = damaged[text.size() - 1] == '0' ? '1' : '0';
    EXPECT_EQ(cipher_.Decode(damaged.c_str()), nullptr);
    damaged = text;
    damaged[100] = damaged[100] == '0' ? '1' : '0'; // inside the wrapped key
    EXPECT_EQ(cipher_.Decode(damaged.c_str()), nullptr);
    EXPECT_EQ(ERR_peek_error(), 0ul);
}

struct HexCase
{
    const char* text;
    bool ok;
    std::vector<std::uint8_t> bytes;
};

class PasswordCipherFromHex : public ::testing::TestWithParam<HexCase>
{};

TEST_P(PasswordCipherFromHex, ReadsPairsOfDigits)
{
    std::vector<std::uint8_t> bytes{0xEE};
    const std::string text = GetParam().text;
    EXPECT_EQ(PasswordCipher::FromHex(text.data(), text.size(), bytes), GetParam().ok);
    EXPECT_EQ(bytes, GetParam().bytes);
    if (GetParam().ok) {
        std::string back;
        ASSERT_TRUE(PasswordCipher::ToHex(bytes.data(), bytes.size(), back));
        std::string upper = text.substr(0, text.size() / 2 * 2);
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(back, upper);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, PasswordCipherFromHex,
                         ::testing::Values(HexCase{"", true, {}}, HexCase{"0", true, {}},
                                           HexCase{"00FF7a", true, {0x00, 0xFF, 0x7A}},
                                           HexCase{"abCDef1", true, {0xAB, 0xCD, 0xEF}},
                                           HexCase{"0G", false, {}}, HexCase{"G0", false, {}},
                                           HexCase{" 1", false, {}}, HexCase{"-1", false, {}},
                                           HexCase{"+1", false, {}}, HexCase{"0x10", false, {}},
                                           HexCase{"00\xC3\xA4", false, {}}));

// Records made by an independent implementation of the same scheme, in Python with the
// cryptography package, and the other way round.
class PasswordCipherReference : public PasswordCipherTest,
                                public ::testing::WithParamInterface<const char*>
{
protected:
    // Runs the reference script; the exit status and what it printed.
    static std::pair<int, QByteArray> RunReference(const QStringList& arguments)
    {
        const char* python = std::getenv("FERROVANE_TEST_PYTHON");
        QProcess process;
        process.start(
            QString::fromUtf8(python ? python : "/usr/bin/python3"),
            QStringList{QStringLiteral(FERROVANE_TEST_SUPPORT_DIR "/cipher_reference.py")} +
                arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
            return {-1, process.readAllStandardError()};
        }
        return {process.exitCode(), process.readAllStandardOutput().trimmed()};
    }
};

TEST_P(PasswordCipherReference, ReferenceRecordDecodes)
{
    ASSERT_NE(cipher_.Encode("make the pair"), nullptr);
    const auto [status, text] =
        RunReference({QStringLiteral("encode"), QString::fromStdString(MachinePair()),
                      QString::fromUtf8(GetParam())});
    ASSERT_EQ(status, 0) << text.toStdString();
    EXPECT_EQ(DecodeText(cipher_, text.toStdString()), GetParam());
}

TEST_P(PasswordCipherReference, ProgramTextDecodesInTheReference)
{
    const std::optional<std::string> text = EncodeText(cipher_, GetParam());
    ASSERT_TRUE(text);
    const auto [status, password] =
        RunReference({QStringLiteral("decode"), QString::fromStdString(MachinePair()),
                      QString::fromStdString(*text)});
    ASSERT_EQ(status, 0) << password.toStdString();
    EXPECT_EQ(password.toStdString(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Passwords, PasswordCipherReference,
                         ::testing::Values("", "abc123", "p\xC3\xA4ss w\xC3\xB6rd"));

} // namespace
