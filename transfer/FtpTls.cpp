#include "transfer/FtpTls.h"

#include "transfer/IdentityText.h"
#include "transfer/TransferTexts.h"
#include "transfer/TrustStore.h"

#include <mutex>
#include <utility>

#include <openssl/ssl.h>
#include <openssl/x509.h>

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
    const std::string extraAuthorities = ReadExtraAuthorityFile();
    if (!extraAuthorities.empty()) {
        SetOption(easy, CURLOPT_CAINFO, extraAuthorities.c_str());
    }
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
