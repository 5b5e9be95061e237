// libFuzzer target for the stored-password reader: FromHex on any bytes, Decode on any text and
// DecryptBlock on any record, against a key container made at start-up. Built and run by
// bench/fuzz_cipher.sh, never by the project's own build.
//
// Beyond memory errors (AddressSanitizer) it checks what the reader promises: FromHex succeeds
// exactly when every pair is two hexadecimal digits and gives bytes that ToHex spells back, and
// nothing decodes unless it is the one text this run enciphered.
#include "jobs/PasswordCipher.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr char kPassword[] = "fuzz seed password";
std::string keyRoot;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "cipher_fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* root = std::getenv("CIPHER_FUZZ_KEYS");
    if (root == nullptr || *root == '\0') {
        Fail("set CIPHER_FUZZ_KEYS to an empty folder for the key containers");
    }
    keyRoot = root;
    PasswordCipher cipher(true, keyRoot);
    const char* text = cipher.Encode(kPassword);
    if (text == nullptr) {
        Fail("cannot encode the seed password");
    }
    const std::string seed = text;
    std::vector<std::uint8_t> record;
    if (!PasswordCipher::FromHex(seed.data(), seed.size(), record)) {
        Fail("the seed text is not hexadecimal");
    }
    // Seeds: the text and the record it spells, so that both readers start from a valid input.
    if (const char* seeds = std::getenv("CIPHER_FUZZ_SEEDS")) {
        std::ofstream(std::string(seeds) + "/text", std::ios::binary) << seed;
        std::ofstream(std::string(seeds) + "/record", std::ios::binary)
            .write(reinterpret_cast<const char*>(record.data()),
                   static_cast<std::streamsize>(record.size()));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* chars = reinterpret_cast<const char*>(data);

    std::vector<std::uint8_t> bytes;
    const bool ok = PasswordCipher::FromHex(chars, size, bytes);
    bool allHex = true;
    for (std::size_t i = 0; i < size / 2 * 2; ++i) {
        allHex = allHex && std::isxdigit(static_cast<unsigned char>(chars[i])) != 0;
    }
    if (ok != allHex || (ok && bytes.size() != size / 2) || (!ok && !bytes.empty())) {
        Fail("FromHex accepted or refused the wrong text");
    }
    if (ok) {
        std::string back;
        PasswordCipher::ToHex(bytes.data(), bytes.size(), back);
        for (std::size_t i = 0; i < back.size(); ++i) {
            if (back[i] != std::toupper(static_cast<unsigned char>(chars[i]))) {
                Fail("ToHex does not spell FromHex's bytes back");
            }
        }
    }

    PasswordCipher cipher(true, keyRoot);
    const std::string text(chars, size); // Decode stops at the first zero byte
    const char* password = cipher.Decode(text.c_str());
    if (password != nullptr && std::strcmp(password, kPassword) != 0) {
        Fail("Decode accepted a text that was never made");
    }

    std::vector<std::uint8_t> record(data, data + size);
    std::size_t length = record.size();
    if (cipher.DecryptBlock(record.data(), length) &&
        (length != sizeof(kPassword) || std::memcmp(record.data(), kPassword, length) != 0)) {
        Fail("DecryptBlock accepted a record that was never made");
    }
    return 0;
}
