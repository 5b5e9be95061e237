#include "jobs/KeyContainer.h"

#include "jobs/OpenSslOwners.h"
#include "jobs/PrivateFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QString>

#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

static_assert(KeyContainer::Pair::kPublicKeySize == kX25519PublicKeySize);

void KeyContainer::Pair::KeyFree::operator()(evp_pkey_st* key) const
{
    EVP_PKEY_free(key);
}

namespace {

using PairState = KeyContainer::PairState;
using PairKeyPtr = std::unique_ptr<EVP_PKEY, KeyContainer::Pair::KeyFree>;

constexpr std::size_t kMaxKeyFileSize = 16 * 1024;

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
PairState LoadPair(const std::string& container, PairKeyPtr& pair,
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

// The pairs read so far, by key file, for the life of the process. Reading and decoding the key
// file is most of an operation's cost, and a save or a load runs one operation per job. A kept pair
// serves only after stat has shown its file unchanged; any other outcome reads the file as if
// nothing were kept, so a file that went missing, was replaced or damaged, or can no longer be
// read is met as always.
class PairCache
{
public:
    static PairCache& Instance()
    {
        static PairCache cache;
        return cache;
    }

    PairState UsePair(const std::string& container, std::shared_ptr<const KeyContainer::Pair>& pair,
                      std::string& why)
    {
        pair.reset();
        const std::string file = PairFile(container);
        struct stat st
        {};
        if (stat(file.c_str(), &st) == 0) {
            const std::lock_guard<std::mutex> lock(mutex_);
            const auto kept = pairs_.find(file);
            if (kept != pairs_.end() && kept->second.identity == FileIdentity::Of(st)) {
                pair = kept->second.pair;
                return PairState::Loaded;
            }
        }
        // Not kept, or the file is not the one kept: read it as if nothing were kept.
        auto loaded = std::make_shared<KeyContainer::Pair>();
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
            pairs_.emplace(file, Kept{*identity, loaded});
        }
        pair = std::move(loaded);
        return state;
    }

private:
    // A pair and the identity of the file it was read from.
    struct Kept
    {
        FileIdentity identity;
        std::shared_ptr<const KeyContainer::Pair> pair;
    };

    PairCache()
    {
        // OpenSSL's own clean-up at exit must come after this object's, which frees OpenSSL
        // objects: starting the library first registers its clean-up first, so it runs later.
        OPENSSL_init_crypto(0, nullptr);
    }

    std::mutex mutex_;
    std::unordered_map<std::string, Kept> pairs_;
};

} // namespace

std::optional<KeyContainer> KeyContainer::Open(const std::string& root, bool useMachineKeyset,
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
    if (!held) {
        return std::nullopt;
    }
    return KeyContainer(std::move(*held));
}

std::string KeyContainer::KeyFile(const std::string& root, bool useMachineKeyset)
{
    return PairFile(KeySetContainer(root, useMachineKeyset ? "machine" : "user"));
}

std::string KeyContainer::DefaultRoot()
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

KeyContainer::PairState KeyContainer::UsePair(std::shared_ptr<const Pair>& pair,
                                              std::string& why) const
{
    return PairCache::Instance().UsePair(folder_, pair, why);
}

bool KeyContainer::GeneratePair(std::string& why) const
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

    const std::string finalName = PairFile(folder_);
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
    SyncFolder(folder_);
    return true;
}
