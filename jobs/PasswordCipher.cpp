#include "jobs/PasswordCipher.h"

#include "jobs/KeyContainer.h"
#include "jobs/OpenSslOwners.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>

namespace {

constexpr std::size_t kLengthFieldSize = 4;
constexpr std::size_t kPublicKeySize = kX25519PublicKeySize;
constexpr std::size_t kSessionKeySize = 32;
constexpr std::size_t kWrappedKeySize = kSessionKeySize + 8; // RFC 3394 adds one 64-bit block
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kNonceSize = 12;
constexpr std::array<std::uint8_t, 12> kBlobHeader = {0x01, 0x02, 0x00, 0x00, 0x10, 0x66,
                                                      0x00, 0x00, 0x05, 0xAA, 0x00, 0x00};
constexpr std::size_t kBlobSize = kBlobHeader.size() + kPublicKeySize + kWrappedKeySize; // 84
constexpr std::size_t kCipherOffset = kLengthFieldSize + kBlobSize;
constexpr char kKdfInfo[] = "Ferrovane password key"; // 22 bytes; the zero is not part of it

// Key material that is wiped on every way out of the function that holds it.
template <std::size_t N> struct Secret
{
    std::array<std::uint8_t, N> bytes{};
    Secret() = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    std::uint8_t* data() { return bytes.data(); }
    const std::uint8_t* data() const { return bytes.data(); }
};

// Removes what our own calls put on OpenSSL's per-thread error queue: the transfer code reads the
// same queue through libcurl and must not see our leftovers.
class ErrorQueueMark
{
public:
    ErrorQueueMark() { ERR_set_mark(); }
    ~ErrorQueueMark() { ERR_pop_to_mark(); }
    ErrorQueueMark(const ErrorQueueMark&) = delete;
    ErrorQueueMark& operator=(const ErrorQueueMark&) = delete;
};

// The algorithms, fetched once for the life of the process; fetching costs more than using them.
class CipherAlgorithms
{
public:
    static const CipherAlgorithms& Instance()
    {
        static const CipherAlgorithms algorithms;
        return algorithms;
    }

    // Null when the algorithm is not available; the operations then fail.
    EVP_KDF* Hkdf() const { return hkdf_.get(); }
    const EVP_CIPHER* AesGcm() const { return gcm_.get(); }
    const EVP_CIPHER* AesWrap() const { return wrap_.get(); }

private:
    CipherAlgorithms()
    {
        // OpenSSL's own clean-up at exit must come after this object's, which frees OpenSSL
        // objects: starting the library first registers its clean-up first, so it runs later.
        OPENSSL_init_crypto(0, nullptr);
        hkdf_.reset(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
        gcm_.reset(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
        wrap_.reset(EVP_CIPHER_fetch(nullptr, "AES-256-WRAP", nullptr));
    }

    KdfPtr hkdf_;
    CipherPtr gcm_;
    CipherPtr wrap_;
};

// KEK = HKDF-SHA256(X25519(own, peer); salt: ephemeral public key, then the pair's public key;
// info: "Ferrovane password key").
bool DeriveKek(EVP_PKEY* own, EVP_PKEY* peer,
               const std::array<std::uint8_t, kPublicKeySize>& ephemeralPublic,
               const std::array<std::uint8_t, kPublicKeySize>& pairPublic,
               Secret<kSessionKeySize>& kek)
{
    PkeyCtxPtr agree(EVP_PKEY_CTX_new_from_pkey(nullptr, own, nullptr));
    Secret<32> shared;
    std::size_t sharedSize = shared.bytes.size();
    if (!agree || EVP_PKEY_derive_init(agree.get()) != 1 ||
        EVP_PKEY_derive_set_peer(agree.get(), peer) != 1 ||
        EVP_PKEY_derive(agree.get(), shared.data(), &sharedSize) != 1 ||
        sharedSize != shared.bytes.size()) {
        return false;
    }

    std::array<std::uint8_t, 2 * kPublicKeySize> salt{};
    std::memcpy(salt.data(), ephemeralPublic.data(), kPublicKeySize);
    std::memcpy(salt.data() + kPublicKeySize, pairPublic.data(), kPublicKeySize);

    EVP_KDF* kdf = CipherAlgorithms::Instance().Hkdf();
    KdfCtxPtr kctx(kdf ? EVP_KDF_CTX_new(kdf) : nullptr);
    if (!kctx) {
        return false;
    }
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, shared.data(), sharedSize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, salt.data(), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(kKdfInfo),
                                          sizeof(kKdfInfo) - 1),
        OSSL_PARAM_construct_end()};
    return EVP_KDF_derive(kctx.get(), kek.data(), kek.bytes.size(), params) == 1;
}

// AES-256 key wrap (RFC 3394) with its default initial value, in either direction. Unwrapping
// fails when the integrity check of the wrap does not hold: a wrong key-encryption key.
bool KeyWrap(bool wrap, const Secret<kSessionKeySize>& kek, const std::uint8_t* in,
             std::size_t inSize, std::uint8_t* out, std::size_t outSize)
{
    const EVP_CIPHER* cipher = CipherAlgorithms::Instance().AesWrap();
    CipherCtxPtr ctx(cipher ? EVP_CIPHER_CTX_new() : nullptr);
    if (!ctx) {
        return false;
    }
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    int produced = 0;
    int tail = 0;
    if (EVP_CipherInit_ex2(ctx.get(), cipher, kek.data(), nullptr, wrap ? 1 : 0, nullptr) != 1 ||
        EVP_CipherUpdate(ctx.get(), out, &produced, in, static_cast<int>(inSize)) <= 0 ||
        static_cast<std::size_t>(produced) != outSize ||
        EVP_CipherFinal_ex(ctx.get(), out + produced, &tail) != 1 || tail != 0) {
        return false;
    }
    return true;
}

// AES-256-GCM with the all-zero nonce and no associated data. Sealing writes `size` bytes to `out`
// and the tag after them; opening reads the tag at in + size and fails when it does not match.
// `in` and `out` may be the same buffer.
bool Gcm(bool seal, const std::uint8_t* key, const std::uint8_t* in, std::size_t size,
         std::uint8_t* out, std::uint8_t* tag)
{
    if (size > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    const EVP_CIPHER* cipher = CipherAlgorithms::Instance().AesGcm();
    CipherCtxPtr ctx(cipher ? EVP_CIPHER_CTX_new() : nullptr);
    // 12 bytes: GCM's own nonce length, so it needs no setting.
    const std::array<std::uint8_t, kNonceSize> nonce{};
    if (!ctx || EVP_CIPHER_get_iv_length(cipher) != static_cast<int>(nonce.size()) ||
        EVP_CipherInit_ex2(ctx.get(), cipher, key, nonce.data(), seal ? 1 : 0, nullptr) != 1) {
        return false;
    }
    int produced = 0;
    if (size > 0 && (EVP_CipherUpdate(ctx.get(), out, &produced, in, static_cast<int>(size)) != 1 ||
                     static_cast<std::size_t>(produced) != size)) {
        return false;
    }
    if (!seal && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                                     tag) != 1) {
        return false;
    }
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out + produced, &tail) != 1 || tail != 0) {
        return false;
    }
    return !seal || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                                        tag) == 1;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

PasswordCipher::PasswordCipher(bool useMachineKeyset, std::string keyStoreRoot)
    : useMachineKeyset_(useMachineKeyset),
      keyStoreRoot_(keyStoreRoot.empty() ? DefaultKeyStoreRoot() : std::move(keyStoreRoot))
{}

PasswordCipher::~PasswordCipher()
{
    ClearDecoded();
}

void PasswordCipher::ClearDecoded()
{
    if (!decodedText_.empty()) {
        OPENSSL_cleanse(decodedText_.data(), decodedText_.size());
    }
    decodedText_.clear();
}

std::string PasswordCipher::KeyFile() const
{
    return KeyContainer::KeyFile(keyStoreRoot_, useMachineKeyset_);
}

std::string PasswordCipher::DefaultKeyStoreRoot()
{
    return KeyContainer::DefaultRoot();
}

const char* PasswordCipher::Encode(const char* password)
{
    encodedText_.clear();
    if (password == nullptr) {
        return nullptr;
    }
    std::vector<std::uint8_t> record;
    std::string text;
    if (!EncryptBlock(reinterpret_cast<const std::uint8_t*>(password), std::strlen(password) + 1,
                      record) ||
        !ToHex(record.data(), record.size(), text)) {
        return nullptr;
    }
    encodedText_.assign(text.begin(), text.end());
    encodedText_.push_back('\0');
    return encodedText_.data();
}

const char* PasswordCipher::Decode(const char* text)
{
    ClearDecoded();
    if (text == nullptr) {
        return nullptr;
    }
    std::vector<std::uint8_t> record;
    if (!FromHex(text, std::strlen(text), record)) {
        lastError_ = "the stored text is not hexadecimal";
        return nullptr;
    }
    std::size_t length = record.size();
    const bool ok = DecryptBlock(record.data(), length);
    if (ok) {
        decodedText_.assign(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(length));
        decodedText_.push_back('\0');
    }
    if (!record.empty()) {
        OPENSSL_cleanse(record.data(), record.size());
    }
    return ok ? decodedText_.data() : nullptr;
}

bool PasswordCipher::EncryptBlock(const std::uint8_t* plain, std::size_t length,
                                  std::vector<std::uint8_t>& record) const
{
    ErrorQueueMark mark;
    record.clear();
    if (plain == nullptr && length > 0) {
        return false;
    }
    lastError_.clear();
    std::string why;
    const std::optional<KeyContainer> container =
        KeyContainer::Open(keyStoreRoot_, useMachineKeyset_, why);
    if (!container) {
        lastError_ = why;
        return false;
    }
    std::shared_ptr<const KeyContainer::Pair> pair;
    KeyContainer::PairState state = container->UsePair(pair, why);
    if (state == KeyContainer::PairState::Missing) {
        // Only a missing pair is made anew; one that is there but cannot be read is left alone,
        // since every text made with it depends on it.
        if (!container->GeneratePair(why)) {
            lastError_ = "the key file " + why;
            return false;
        }
        state = container->UsePair(pair, why);
    }
    if (state != KeyContainer::PairState::Loaded) {
        lastError_ = "the key file " + why;
        return false;
    }

    Secret<kSessionKeySize> sessionKey;
    PkeyPtr ephemeral(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    std::array<std::uint8_t, kPublicKeySize> ephemeralPublic{};
    Secret<kSessionKeySize> kek;
    std::array<std::uint8_t, kWrappedKeySize> wrapped{};
    if (RAND_priv_bytes(sessionKey.data(), static_cast<int>(sessionKey.bytes.size())) != 1 ||
        !ephemeral || !RawPublicKey(ephemeral.get(), ephemeralPublic) ||
        !DeriveKek(ephemeral.get(), pair->key.get(), ephemeralPublic, pair->publicKey, kek) ||
        !KeyWrap(true, kek, sessionKey.data(), kSessionKeySize, wrapped.data(), wrapped.size())) {
        return false;
    }

    std::vector<std::uint8_t> out(kCipherOffset + length + kTagSize);
    out[0] = static_cast<std::uint8_t>(kBlobSize & 0xFF);
    out[1] = static_cast<std::uint8_t>((kBlobSize >> 8) & 0xFF);
    out[2] = 0;
    out[3] = 0;
    std::uint8_t* blob = out.data() + kLengthFieldSize;
    std::memcpy(blob, kBlobHeader.data(), kBlobHeader.size());
    std::memcpy(blob + kBlobHeader.size(), ephemeralPublic.data(), kPublicKeySize);
    std::memcpy(blob + kBlobHeader.size() + kPublicKeySize, wrapped.data(), kWrappedKeySize);
    std::uint8_t* cipher = out.data() + kCipherOffset;
    if (!Gcm(true, sessionKey.data(), plain, length, cipher, cipher + length)) {
        return false;
    }
    record = std::move(out);
    return true;
}

bool PasswordCipher::DecryptBlock(std::uint8_t* buffer, std::size_t& length) const
{
    ErrorQueueMark mark;
    lastError_.clear();
    std::string why;
    const std::optional<KeyContainer> container =
        KeyContainer::Open(keyStoreRoot_, useMachineKeyset_, why);
    if (!container) {
        lastError_ = why;
        return false;
    }
    const std::string notMatching =
        "the stored text does not fit the key file (made with another key, or damaged)";
    if (buffer == nullptr || length < kLengthFieldSize) {
        lastError_ = notMatching;
        return false;
    }
    const std::uint32_t blobSize = static_cast<std::uint32_t>(buffer[0]) |
                                   (static_cast<std::uint32_t>(buffer[1]) << 8) |
                                   (static_cast<std::uint32_t>(buffer[2]) << 16) |
                                   (static_cast<std::uint32_t>(buffer[3]) << 24);
    if (blobSize > length - kLengthFieldSize || blobSize != kBlobSize ||
        length - kCipherOffset < kTagSize + 1 ||
        std::memcmp(buffer + kLengthFieldSize, kBlobHeader.data(), kBlobHeader.size()) != 0) {
        lastError_ = notMatching;
        return false;
    }

    std::shared_ptr<const KeyContainer::Pair> pair;
    if (container->UsePair(pair, why) != KeyContainer::PairState::Loaded) {
        lastError_ = "the key file " + why;
        return false;
    }
    const std::uint8_t* blob = buffer + kLengthFieldSize;
    std::array<std::uint8_t, kPublicKeySize> ephemeralPublic{};
    std::memcpy(ephemeralPublic.data(), blob + kBlobHeader.size(), kPublicKeySize);
    PkeyPtr ephemeral(EVP_PKEY_new_raw_public_key_ex(nullptr, "X25519", nullptr,
                                                     ephemeralPublic.data(), kPublicKeySize));
    Secret<kSessionKeySize> kek;
    Secret<kSessionKeySize> sessionKey;
    if (!ephemeral ||
        !DeriveKek(pair->key.get(), ephemeral.get(), ephemeralPublic, pair->publicKey, kek) ||
        !KeyWrap(false, kek, blob + kBlobHeader.size() + kPublicKeySize, kWrappedKeySize,
                 sessionKey.data(), kSessionKeySize)) {
        lastError_ = notMatching;
        return false;
    }

    const std::size_t plainSize = length - kCipherOffset - kTagSize;
    std::uint8_t* cipher = buffer + kCipherOffset;
    if (!Gcm(false, sessionKey.data(), cipher, plainSize, cipher, cipher + plainSize)) {
        // Whatever was deciphered before the tag failed is not to be trusted nor kept.
        OPENSSL_cleanse(cipher, plainSize);
        lastError_ = notMatching;
        return false;
    }
    std::memmove(buffer, cipher, plainSize);
    OPENSSL_cleanse(buffer + plainSize, length - plainSize);
    length = plainSize;
    return true;
}

bool PasswordCipher::ToHex(const std::uint8_t* bytes, std::size_t count, std::string& text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text.clear();
    if (bytes == nullptr && count > 0) {
        return false;
    }
    text.resize(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return true;
}

bool PasswordCipher::FromHex(const char* text, std::size_t length, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    if (text == nullptr && length > 0) {
        return false;
    }
    bytes.resize(length / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            bytes.clear();
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}
