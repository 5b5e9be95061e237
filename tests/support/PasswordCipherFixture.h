#pragma once

#include "jobs/PasswordCipher.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

// A cipher on the machine key set of a fresh key-store root, removed after each test, and its
// results as strings, for the cipher's tests and its key containers' tests alike.

inline std::optional<std::string> EncodeText(PasswordCipher& cipher, const char* password)
{
    const char* text = cipher.Encode(password);
    return text ? std::optional<std::string>(text) : std::nullopt;
}

inline std::optional<std::string> DecodeText(PasswordCipher& cipher, const std::string& text)
{
    const char* password = cipher.Decode(text.c_str());
    return password ? std::optional<std::string>(password) : std::nullopt;
}

class PasswordCipherTest : public ::testing::Test
{
protected:
    void TearDown() override { RemoveTree(root_); }

    std::string MachinePair() const { return root_ + "/keys/machine/default/exchange.pem"; }

    std::string root_ = MakeTempDir("ferrovane-keys");
    PasswordCipher cipher_{true, root_};
};
