#include "transfer/TransferFile.h"

#include "transfer/SessionState.h"
#include "transfer/TransferTexts.h"

#include <chrono>
#include <new>

#include <openssl/evp.h>
#include <openssl/rand.h>

void TransferFile(const std::string& userName, const std::string& password,
                  const std::string& serverAddress, const std::string& remotePath,
                  const std::string& localPath, std::uint16_t port, std::int32_t passiveMode,
                  std::string& resultText, std::int32_t& success, const TransferProgress& progress,
                  const TransferTrust& trust, TransferReplace* replace)
{
    resultText = transfer::kOk;
    success = 1;
    TransferSession::State state;
    transfer::SendFile(state, userName, password, serverAddress, remotePath, localPath, port,
                       passiveMode, resultText, success, progress, trust, replace);
}

namespace {
std::string Hex(const unsigned char* bytes, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}
} // namespace

std::string TemporaryUploadName(const std::string& name, const std::string& token)
{
    const std::string suffix = "." + token + ".ferrovane-part";
    std::string temporary = "." + name + suffix;
    if (temporary.size() <= 255) {
        return temporary;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(name.data(), name.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw std::bad_alloc();
    }
    std::string shortForm = ".";
    shortForm += Hex(digest, 8);
    shortForm += suffix;
    return shortForm;
}

std::string NewUploadToken()
{
    unsigned char bytes[4];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        // Without the system's randomness a clock's worth still keeps two writers apart.
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        for (std::size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] = static_cast<unsigned char>(now >> (8 * i));
        }
    }
    return Hex(bytes, sizeof bytes);
}
