#pragma once

#include "transfer/ServerIdentity.h"

#include <cstddef>
#include <string>
#include <string_view>

#include <openssl/types.h>

// A server's identity as the user is shown it: a certificate's fingerprint and texts, an SSH host
// key's type and fingerprint, and the line that says the identity could not be verified or has
// changed.
namespace transfer {

// SHA-256 of the certificate's DER bytes, uppercase hex pairs joined by ":"; "" when it cannot be
// had.
std::string Fingerprint(X509* certificate);

// A certificate's name (RFC 2253) or time as text for the user; "" when there is none.
std::string NameText(const X509_NAME* name);
std::string TimeText(const ASN1_TIME* time);

// How the log tells a certificate: "certificate SHA-256 ...", with the dates when they are why
// it was refused; "" without a fingerprint.
std::string CertificateText(const std::string& fingerprint, ServerIdentity::Dates dates,
                            const std::string& notBefore, const std::string& notAfter);

std::string Base64(const unsigned char* bytes, std::size_t size);
// The bytes, or "" when the text is not base64.
std::string FromBase64(std::string_view text);

// The type name an SSH key blob starts with ("ssh-ed25519", "ecdsa-sha2-nistp256", ...).
std::string SshKeyType(const std::string& blob);

// An SSH host key's fingerprint as OpenSSH shows it ("SHA256:" and unpadded base64); "" when it
// cannot be had.
std::string SshFingerprint(const std::string& blob);

// The failure text of a server whose identity is not the trusted one. what: the fingerprint as
// the log tells it ("certificate SHA-256 ...", "host key SHA256:...").
std::string UnverifiedIdentity(const std::string& what, bool changed);

} // namespace transfer
