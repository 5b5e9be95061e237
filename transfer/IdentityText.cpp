#include "transfer/IdentityText.h"

#include <algorithm>
#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace transfer {

namespace {

struct BioDeleter
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;

std::string BioText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return data != nullptr && size > 0 ? std::string(data, static_cast<std::size_t>(size))
                                       : std::string();
}

} // namespace

std::string Fingerprint(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) {
            text += ':';
        }
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

std::string NameText(const X509_NAME* name)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) {
        return {};
    }
    return BioText(bio.get());
}

std::string TimeText(const ASN1_TIME* time)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || time == nullptr || ASN1_TIME_print(bio.get(), time) != 1) {
        return {};
    }
    return BioText(bio.get());
}

std::string CertificateText(const std::string& fingerprint, ServerIdentity::Dates dates,
                            const std::string& notBefore, const std::string& notAfter)
{
    std::string what = fingerprint.empty() ? std::string() : "certificate SHA-256 " + fingerprint;
    if (!what.empty() && dates == ServerIdentity::Dates::Expired) {
        what += ", expired on " + notAfter;
    } else if (!what.empty() && dates == ServerIdentity::Dates::NotYetValid) {
        what += ", not valid before " + notBefore;
    }
    return what;
}

std::string Base64(const unsigned char* bytes, std::size_t size)
{
    std::string text(4 * ((size + 2) / 3), '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes,
                                       static_cast<int>(size));
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
}

std::string FromBase64(std::string_view text)
{
    std::string bytes(3 * (text.size() / 4), '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) {
        return {};
    }
    // EVP_DecodeBlock counts the padding as bytes.
    std::size_t size = static_cast<std::size_t>(length);
    for (auto it = text.rbegin(); it != text.rend() && *it == '=' && size > 0; ++it) {
        --size;
    }
    bytes.resize(size);
    return bytes;
}

std::string SshKeyType(const std::string& blob)
{
    if (blob.size() < 4) {
        return {};
    }
    const auto byte = [&blob](std::size_t i) { return static_cast<unsigned char>(blob[i]); };
    const std::size_t length = (std::size_t{byte(0)} << 24) | (std::size_t{byte(1)} << 16) |
                               (std::size_t{byte(2)} << 8) | byte(3);
    if (length == 0 || length > 64 || blob.size() < 4 + length) {
        return {};
    }
    const std::string name = blob.substr(4, length);
    const bool printable =
        std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7F; });
    return printable ? name : std::string();
}

std::string SshFingerprint(const std::string& blob)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (blob.empty() ||
        EVP_Digest(blob.data(), blob.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    std::string fingerprint = Base64(digest, length);
    while (fingerprint.ends_with('=')) {
        fingerprint.pop_back();
    }
    return "SHA256:" + fingerprint;
}

std::string UnverifiedIdentity(const std::string& what, bool changed)
{
    std::string text = changed ? "The server's identity has changed"
                               : "The server's identity could not be verified";
    if (!what.empty()) {
        text += " (" + what + ")";
    }
    text += ". Select the job and use \"Update now selected items\" to review the server.\r\n";
    return text;
}

} // namespace transfer
