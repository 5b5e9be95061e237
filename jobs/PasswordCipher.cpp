#include "jobs/PasswordCipher.h"

#include "jobs/PrivateFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QString>

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr std::size_t kLengthFieldSize = 4;
constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSessionKeySize = 32;
constexpr std::size_t kWrappedKeySize = kSessionKeySize + 8; // RFC 3394 adds one 64-bit block
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kNonceSize = 12;
constexpr std::array<std::uint8_t, 12> kBlobHeader = {0x01, 0x02, 0x00, 0x00, 0x10, 0x66,
                                                      0x00, 0x00, 0x05, 0xAA, 0x00, 0x00};
constexpr std::size_t kBlobSize = kBlobHeader.size() + kPublicKeySize + kWrappedKeySize; // 84
constexpr std::size_t kCipherOffset = kLengthFieldSize + kBlobSize;
constexpr char kKdfInfo[] = "Ferrovane password key"; // 22 bytes; the zero is not part of it
constexpr std::size_t kMaxKeyFileSize = 16 * 1024;

struct PkeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree
{
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree
{
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct KdfFree
{
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct KdfCtxFree
{
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
struct DecoderCtxFree
{
    void operator()(OSSL_DECODER_CTX* p) const { OSSL_DECODER_CTX_free(p); }
};
struct BioFree
{
    void operator()(BIO* p) const { BIO_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using KdfPtr = std::unique_ptr<EVP_KDF, KdfFree>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using DecoderCtxPtr = std::unique_ptr<OSSL_DECODER_CTX, DecoderCtxFree>;

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

std::string SystemReason(int error)
{
    return std::strerror(error);
}

enum class FolderState
{
    Present,
    Missing,
    Unusable
};

FolderState ProbeFolder(const std::string& path)
{
    struct stat st
    {};
    if (stat(path.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode) ? FolderState::Present : FolderState::Unusable;
    }
    return errno == ENOENT ? FolderState::Missing : FolderState::Unusable;
}

std::string KeySetContainer(const std::string& root, const char* keySet)
{
    return root + "/keys/" + keySet + "/default";
}

// The container folder that serves one operation. The user key set's container is opened first
// and created when it is missing; with useMachineKeyset the machine key set's container then takes
// its place. A container that exists but cannot be used is passed over; one that is missing and
// cannot be created fails the operation.
std::optional<std::string> OpenContainer(const std::string& root, bool useMachineKeyset,
                                         std::string& why)
{
    if (root.empty()) {
        why = "the program has no data folder for its keys";
        return std::nullopt;
    }
    std::optional<std::string> held;
    auto open = [&held, &why](const std::string& container) {
        switch (ProbeFolder(container)) {
        case FolderState::Present:
            held = container;
            return true;
        case FolderState::Missing:
            if (std::string failure; !MakePrivateFolders(container, failure)) {
                why = "the key folder cannot be made (" + failure + ")";
                return false;
            }
            held = container;
            return true;
        case FolderState::Unusable:
            return true;
        }
        return false;
    };
    if (!open(KeySetContainer(root, "user"))) {
        return std::nullopt;
    }
    if (useMachineKeyset && !open(KeySetContainer(root, "machine"))) {
        return std::nullopt;
    }
    return held;
}

std::string PairFile(const std::string& container)
{
    return container + "/exchange.pem";
}

// Refuses a pass phrase: the key file is never enciphered, and a prompt on the terminal would be
// worse than a failure.
int NoPassphrase(char*, std::size_t, std::size_t*, const OSSL_PARAM*, void*)
{
    return 0;
}

enum class PairState
{
    Loaded,
    Missing,
    Unreadable
};

// What stat tells of a key file. A pair kept in memory serves only while its file still shows the
// same identity: another file (a new inode, a new device), a rewrite (size, modification time to
// the nanosecond) and a change of its owner or modes (change time, which nobody can set) all make
// it read the file again, and so meet whatever the file now holds exactly as a first read would.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    timespec modified{};
    timespec changed{};

    static FileIdentity Of(const struct stat& st)
    {
        return {st.st_dev, st.st_ino, st.st_size, st.st_mode, st.st_uid, st.st_mtim, st.st_ctim};
    }
    bool operator==(const FileIdentity& other) const
    {
        return device == other.device && inode == other.inode && size == other.size &&
               mode == other.mode && owner == other.owner &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// Loads the pair of the container, and the identity of the file it was read from. When it
// cannot, `why` says what is wrong with the file, as words that follow "the key file".
PairState LoadPair(const std::string& container, PkeyPtr& pair,
                   std::optional<FileIdentity>& identity, std::string& why)
{
    pair.reset();
    const int fd = open(PairFile(container).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            why = "is missing";
            return PairState::Missing;
        }
        why = "cannot be opened (" + SystemReason(error) + ")";
        return PairState::Unreadable;
    }
    // Taken before the read: should the file change while it is read, the identity is the older
    // one, and the next use reads the file again.
    struct stat st
    {};
    identity.reset();
    if (fstat(fd, &st) == 0) {
        identity = FileIdentity::Of(st);
    }
    std::vector<char> pem(kMaxKeyFileSize + 1);
    std::size_t used = 0;
    bool readOk = true;
    int readError = 0;
    while (used < pem.size()) {
        const ssize_t got = read(fd, pem.data() + used, pem.size() - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            readError = errno;
            readOk = false;
            break;
        }
        if (got == 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    close(fd);
    if (readOk && used > 0 && used <= kMaxKeyFileSize) {
        // A decoder for exactly this form: the general PEM reader tries every decoder that
        // OpenSSL knows, which costs more than all the key work of an operation.
        EVP_PKEY* key = nullptr;
        DecoderCtxPtr decoder(OSSL_DECODER_CTX_new_for_pkey(&key, "PEM", "PrivateKeyInfo", "X25519",
                                                            EVP_PKEY_KEYPAIR, nullptr, nullptr));
        const unsigned char* data = reinterpret_cast<const unsigned char*>(pem.data());
        std::size_t left = used;
        if (decoder && OSSL_DECODER_CTX_set_passphrase_cb(decoder.get(), NoPassphrase, nullptr) &&
            OSSL_DECODER_from_data(decoder.get(), &data, &left) == 1) {
            pair.reset(key);
        } else {
            EVP_PKEY_free(key);
        }
    }
    OPENSSL_cleanse(pem.data(), pem.size());
    if (pair && EVP_PKEY_is_a(pair.get(), "X25519") == 1) {
        return PairState::Loaded;
    }
    pair.reset();
    if (!readOk) {
        why = "cannot be read (" + SystemReason(readError) + ")";
    } else if (used == 0) {
        why = "is empty";
    } else if (used > kMaxKeyFileSize) {
        why = "is too large to be a key file";
    } else {
        why = "does not hold a usable key (damaged or replaced)";
    }
    return PairState::Unreadable;
}

// Writes a new pair into the container. The key goes to a private temporary file that is synced
// and then linked under its final name, so the name never shows half a key. Linking never replaces
// a pair that another process has just written: theirs is kept and used.
bool GeneratePair(const std::string& container, std::string& why)
{
    why = "cannot be written";
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        return false;
    }
    char* pem = nullptr;
    const long pemSize = BIO_get_mem_data(bio.get(), &pem);
    if (pem == nullptr || pemSize <= 0) {
        return false;
    }

    const std::string finalName = PairFile(container);
    std::string tempName = finalName + ".XXXXXX";
    const int fd = mkostemp(tempName.data(), O_CLOEXEC);
    if (fd < 0) {
        why = "cannot be written (" + SystemReason(errno) + ")";
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, pem, static_cast<std::size_t>(pemSize)) &&
              fsync(fd) == 0;
    int error = ok ? 0 : errno;
    ok = close(fd) == 0 && ok;
    if (ok && link(tempName.c_str(), finalName.c_str()) != 0 && errno != EEXIST) {
        // A file system without hard links: fall back to a plain rename, atomic all the same.
        ok = rename(tempName.c_str(), finalName.c_str()) == 0;
        error = ok ? 0 : errno;
    }
    unlink(tempName.c_str());
    OPENSSL_cleanse(pem, static_cast<std::size_t>(pemSize));
    if (!ok) {
        if (error != 0) {
            why = "cannot be written (" + SystemReason(error) + ")";
        }
        return false;
    }
    SyncFolder(container);
    return true;
}

bool RawPublicKey(const EVP_PKEY* key, std::array<std::uint8_t, kPublicKeySize>& out)
{
    std::size_t size = out.size();
    return EVP_PKEY_get_raw_public_key(key, out.data(), &size) == 1 && size == out.size();
}

struct CipherFree
{
    void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherFree>;

// A decoded key pair, shared by the operations that use its key file.
struct KeyPair
{
    FileIdentity identity;
    PkeyPtr key;
    std::array<std::uint8_t, kPublicKeySize> publicKey{};
};

// What the cipher keeps for the life of the process: the algorithms, fetched once, and the key
// pairs it has read, by key file. Reading and decoding the key file is most of an operation's
// cost, and a save or a load runs one operation per job. A kept pair serves only after stat has
// shown its file unchanged; any other outcome reads the file as if nothing were kept, so a file
// that went missing, was replaced or damaged, or can no longer be read is met as always.
class CipherShared
{
public:
    static CipherShared& Instance()
    {
        static CipherShared shared;
        return shared;
    }

    // Null when the algorithm is not available; the operations then fail.
    EVP_KDF* Hkdf() const { return hkdf_.get(); }
    const EVP_CIPHER* AesGcm() const { return gcm_.get(); }
    const EVP_CIPHER* AesWrap() const { return wrap_.get(); }

    // The pair of the container, from memory while its file is unchanged, else from the file.
    PairState UsePair(const std::string& container, std::shared_ptr<const KeyPair>& pair,
                      std::string& why)
    {
        pair.reset();
        const std::string file = PairFile(container);
        struct stat st
        {};
        if (stat(file.c_str(), &st) == 0) {
            const std::lock_guard<std::mutex> lock(mutex_);
            const auto kept = pairs_.find(file);
            if (kept != pairs_.end() && kept->second->identity == FileIdentity::Of(st)) {
                pair = kept->second;
                return PairState::Loaded;
            }
        }
        // Not kept, or the file is not the one kept: read it as if nothing were kept.
        auto loaded = std::make_shared<KeyPair>();
        std::optional<FileIdentity> identity;
        PairState state = LoadPair(container, loaded->key, identity, why);
        if (state == PairState::Loaded && !RawPublicKey(loaded->key.get(), loaded->publicKey)) {
            why = "does not hold a usable key (damaged or replaced)";
            state = PairState::Unreadable;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        pairs_.erase(file);
        if (state != PairState::Loaded) {
            return state;
        }
        if (identity) {
            loaded->identity = *identity;
            pairs_.emplace(file, loaded);
        }
        pair = std::move(loaded);
        return state;
    }

private:
    CipherShared()
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
    std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<const KeyPair>> pairs_;
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

    EVP_KDF* kdf = CipherShared::Instance().Hkdf();
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
    const EVP_CIPHER* cipher = CipherShared::Instance().AesWrap();
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
    const EVP_CIPHER* cipher = CipherShared::Instance().AesGcm();
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
    return PairFile(KeySetContainer(keyStoreRoot_, useMachineKeyset_ ? "machine" : "user"));
}

std::string PasswordCipher::DefaultKeyStoreRoot()
{
    QString application = QCoreApplication::applicationName();
    if (application.isEmpty()) {
        application = QStringLiteral("ferrovane");
    }
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty()) {
        return {};
    }
    return QFile::encodeName(data + QStringLiteral("/Ombrix/") + application).toStdString();
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
    const std::optional<std::string> container =
        OpenContainer(keyStoreRoot_, useMachineKeyset_, why);
    if (!container) {
        lastError_ = why;
        return false;
    }
    CipherShared& shared = CipherShared::Instance();
    std::shared_ptr<const KeyPair> pair;
    PairState state = shared.UsePair(*container, pair, why);
    if (state == PairState::Missing) {
        // Only a missing pair is made anew; one that is there but cannot be read is left alone,
        // since every text made with it depends on it.
        if (!GeneratePair(*container, why)) {
            lastError_ = "the key file " + why;
            return false;
        }
        state = shared.UsePair(*container, pair, why);
    }
    if (state != PairState::Loaded) {
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
    const std::optional<std::string> container =
        OpenContainer(keyStoreRoot_, useMachineKeyset_, why);
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

    std::shared_ptr<const KeyPair> pair;
    if (CipherShared::Instance().UsePair(*container, pair, why) != PairState::Loaded) {
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
