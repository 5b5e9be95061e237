#include "transfer/FtpTls.h"

#include "transfer/IdentityText.h"
#include "transfer/TransferTexts.h"
#include "transfer/TrustStore.h"

#include <ctime>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <utility>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace transfer {

namespace {

std::string& ExtraAuthorityFile()
{
    static std::string path;
    return path;
}

std::mutex& AuthorityFileMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::string ReadExtraAuthorityFile()
{
    std::lock_guard lock(AuthorityFileMutex());
    return ExtraAuthorityFile();
}

// Where libcurl finds the system's authorities by default: a bundle file and a folder of
// hashed certificates (Debian's libcurl has both).
struct DefaultAuthorities
{
    std::string file;
    std::string folder;
};

const DefaultAuthorities& SystemAuthorities()
{
    static const DefaultAuthorities defaults = [] {
        DefaultAuthorities found;
        const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
        if (version != nullptr && version->age >= CURLVERSION_NINTH) {
            found.file = version->cainfo != nullptr ? version->cainfo : "";
            found.folder = version->capath != nullptr ? version->capath : "";
        }
        return found;
    }();
    return defaults;
}

// What tells one state of the authorities from another: the bundle file's identity, size and
// time, and the folder's time (adding or removing a certificate there changes it).
struct AuthoritiesStamp
{
    std::string file;
    std::string folder;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec fileTime{};
    timespec folderTime{};

    bool operator==(const AuthoritiesStamp& other) const
    {
        const auto same = [](const timespec& a, const timespec& b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        return file == other.file && folder == other.folder && device == other.device &&
               inode == other.inode && size == other.size && same(fileTime, other.fileTime) &&
               same(folderTime, other.folderTime);
    }
};

std::optional<AuthoritiesStamp> StampOf(const std::string& file, const std::string& folder)
{
    AuthoritiesStamp stamp;
    stamp.file = file;
    stamp.folder = folder;
    struct stat status
    {};
    if (!file.empty()) {
        if (stat(file.c_str(), &status) != 0) {
            return std::nullopt;
        }
        stamp.device = status.st_dev;
        stamp.inode = status.st_ino;
        stamp.size = status.st_size;
        stamp.fileTime = status.st_mtim;
    }
    if (!folder.empty() && stat(folder.c_str(), &status) == 0) {
        stamp.folderTime = status.st_mtim;
    }
    return stamp;
}

// The authorities as libcurl 7.88 would set them up for one connection, with the same chain
// flags, but loaded once: parsing the system's bundle takes tens of milliseconds, and FTP over
// TLS makes a connection per file. Null when the file cannot be read.
std::shared_ptr<X509_STORE> LoadAuthorities(const std::string& file, const std::string& folder)
{
    std::shared_ptr<X509_STORE> store(X509_STORE_new(), X509_STORE_free);
    if (!store || (!file.empty() && X509_STORE_load_file(store.get(), file.c_str()) != 1) ||
        (!folder.empty() && X509_STORE_load_path(store.get(), folder.c_str()) != 1)) {
        return nullptr;
    }
    X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    return store;
}

// The authorities of the file (or the system's bundle when it is empty) and the system's folder,
// read again whenever either has changed since the last call. Null when they cannot be read:
// libcurl then loads them itself, and fails as it does.
std::shared_ptr<X509_STORE> SharedAuthorities(const std::string& extraFile)
{
    static std::mutex mutex;
    static std::optional<AuthoritiesStamp> loadedStamp;
    static std::shared_ptr<X509_STORE> loaded;

    const DefaultAuthorities& defaults = SystemAuthorities();
    const std::string& file = extraFile.empty() ? defaults.file : extraFile;
    if (file.empty() && defaults.folder.empty()) {
        return nullptr; // nothing to load: libcurl's own way, whatever it is
    }
    const std::optional<AuthoritiesStamp> stamp = StampOf(file, defaults.folder);
    if (!stamp) {
        return nullptr;
    }
    std::lock_guard lock(mutex);
    if (!loaded || !loadedStamp || !(*loadedStamp == *stamp)) {
        loaded = LoadAuthorities(file, defaults.folder);
        loadedStamp = loaded ? stamp : std::nullopt;
    }
    return loaded;
}

// Where an SSL_CTX keeps the exchange it serves, for the verify callback.
int ExchangeIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// OpenSSL asks this about every certificate of the server's chain, once its own verdict is in.
// We note which certificate the server showed, so that a user told it cannot be trusted can tell
// it from another. Without a recorded certificate the verdict stands as it is. With one, that
// exact certificate is the server's whatever the authorities say (the user trusted it knowingly),
// and any other is refused, even one an authority signed: a changed identity is never taken
// silently.
int OnVerifyCertificate(int verdict, X509_STORE_CTX* store)
{
    const auto* ssl = static_cast<const SSL*>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (ssl == nullptr || leaf == nullptr) {
        return verdict;
    }
    auto* exchange =
        static_cast<Exchange*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ExchangeIndex()));
    if (exchange == nullptr) {
        return verdict;
    }
    const std::string fingerprint = Fingerprint(leaf);
    if (fingerprint != exchange->peerFingerprint) {
        exchange->peerFingerprint = fingerprint;
        exchange->peerSubject = NameText(X509_get_subject_name(leaf));
        exchange->peerIssuer = NameText(X509_get_issuer_name(leaf));
        exchange->peerNotBefore = TimeText(X509_get0_notBefore(leaf));
        exchange->peerNotAfter = TimeText(X509_get0_notAfter(leaf));
        exchange->peerDates = ServerIdentity::Dates::InForce;
    }
    // Called once per certificate of the chain; any of them out of its dates is why.
    if (verdict == 0) {
        const int error = X509_STORE_CTX_get_error(store);
        if (error == X509_V_ERR_CERT_HAS_EXPIRED) {
            exchange->peerDates = ServerIdentity::Dates::Expired;
        } else if (error == X509_V_ERR_CERT_NOT_YET_VALID) {
            exchange->peerDates = ServerIdentity::Dates::NotYetValid;
        }
    }
    if (exchange->recordedFingerprint.empty()) {
        return verdict;
    }
    if (!fingerprint.empty() && fingerprint == exchange->recordedFingerprint) {
        // Clears the authority's complaint too, which the TLS layer would otherwise report.
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    exchange->recordedRefused = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

// Most FTP servers take a data connection only when it resumes the control connection's TLS
// session. libcurl (7.88) offers the one session it keeps for the server to every data connection,
// but OpenSSL 3 treats a TLS 1.3 session as good for one resumption and marks the very object it
// resumed as spent: from the second data connection on, the handshake would start afresh and the
// server refuse the store. Each handshake therefore resumes a copy of what libcurl offers, and the
// session libcurl keeps stays fresh for the next one. Nothing of the checks changes: a resumed
// session carries the certificate its first handshake verified.
void OnTlsState(const SSL* ssl, int where, int)
{
    if ((where & SSL_CB_HANDSHAKE_START) == 0 || SSL_in_before(ssl) == 0) {
        return;
    }
    SSL_SESSION* const offered = SSL_get_session(ssl);
    if (offered == nullptr) {
        return;
    }
    SSL_SESSION* const copy = SSL_SESSION_dup(offered);
    if (copy == nullptr) {
        return; // out of memory: the handshake goes on with the kept session
    }
    // The SSL holds a reference of its own on what it is given.
    SSL_set_session(const_cast<SSL*>(ssl), copy);
    SSL_SESSION_free(copy);
}

// libcurl hands over each connection's SSL_CTX after setting it up with its own checks (the
// trusted authorities, the verify mode); the host name is checked by libcurl after the handshake.
CURLcode OnSslContext(CURL*, void* context, void* user)
{
    auto* ctx = static_cast<SSL_CTX*>(context);
    if (ExchangeIndex() < 0 || SSL_CTX_set_ex_data(ctx, ExchangeIndex(), user) != 1) {
        return CURLE_OUT_OF_MEMORY;
    }
    auto* exchange = static_cast<Exchange*>(user);
    if (exchange->authorities) {
        // Takes a reference of its own; the store libcurl left empty goes.
        SSL_CTX_set1_cert_store(ctx, exchange->authorities.get());
    }
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), OnVerifyCertificate);
    SSL_CTX_set_info_callback(ctx, OnTlsState);
    return CURLE_OK;
}

} // namespace

bool ActiveModeKeepsTls()
{
    const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
    return version == nullptr || version->version_num < 0x075700 ||
           version->version_num >= 0x080000;
}

void ApplyTlsOptions(CURL* easy, Exchange& exchange, const ServerAddress& address,
                     const TransferTrust& trust)
{
    // TLS on the control connection before the login and on every data connection, or no
    // transfer at all: never a fall back to plain FTP. The server's certificate must chain to a
    // trusted authority and name the host, as libcurl checks by default; we say so anyway.
    SetOption(easy, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    SetOption(easy, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
    SetOption(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    SetOption(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    SetOption(easy, CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
    SetOption(easy, CURLOPT_SSL_CTX_DATA, &exchange);
    // The authorities are loaded once for many connections and handed to each in OnSslContext,
    // libcurl loading none of its own; should they not load, libcurl loads them as it would.
    const std::string extraAuthorities = ReadExtraAuthorityFile();
    exchange.authorities = SharedAuthorities(extraAuthorities);
    const DefaultAuthorities& defaults = SystemAuthorities();
    const auto orNull = [](const std::string& text) {
        return text.empty() ? static_cast<const char*>(nullptr) : text.c_str();
    };
    SetOption(easy, CURLOPT_CAINFO,
              exchange.authorities
                  ? nullptr
                  : orNull(extraAuthorities.empty() ? defaults.file : extraAuthorities));
    SetOption(easy, CURLOPT_CAPATH, exchange.authorities ? nullptr : orNull(defaults.folder));
    if (trust.store != nullptr) {
        exchange.recordedFingerprint = trust.store->TlsFingerprint(address.host, address.port);
    }
    if (!exchange.recordedFingerprint.empty()) {
        // The recorded certificate is the server's by the user's word, whatever name it holds;
        // the exact match the verify callback asks for is stronger than a name.
        SetOption(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    }
}

std::optional<std::string> TlsFailure(const Outcome& outcome, const Exchange& exchange,
                                      const ServerAddress& address, const TransferTrust& trust)
{
    if (outcome.code == CURLE_PEER_FAILED_VERIFICATION || exchange.recordedRefused) {
        const bool changed = !exchange.recordedFingerprint.empty();
        if (trust.untrusted != nullptr && !exchange.peerFingerprint.empty()) {
            ServerIdentity identity;
            identity.kind = ServerIdentity::Kind::Tls;
            identity.host = address.host;
            identity.port = address.port;
            identity.changed = changed;
            identity.fingerprint = exchange.peerFingerprint;
            identity.subject = exchange.peerSubject;
            identity.issuer = exchange.peerIssuer;
            identity.notBefore = exchange.peerNotBefore;
            identity.notAfter = exchange.peerNotAfter;
            identity.dates = exchange.peerDates;
            *trust.untrusted = std::move(identity);
        }
        return UnverifiedIdentity(CertificateText(exchange.peerFingerprint, exchange.peerDates,
                                                  exchange.peerNotBefore, exchange.peerNotAfter),
                                  changed);
    }
    if (outcome.code == CURLE_USE_SSL_FAILED) {
        return AsErrorLine("The server would not use TLS: " + (IsReplyLine(exchange.lastReply)
                                                                   ? exchange.lastReply
                                                                   : std::string("no reply")));
    }
    return std::nullopt;
}

} // namespace transfer

std::string SetTransferAuthorityFileForTesting(const std::string& path)
{
    std::lock_guard lock(transfer::AuthorityFileMutex());
    return std::exchange(transfer::ExtraAuthorityFile(), path);
}
