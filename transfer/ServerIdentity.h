#pragma once

#include <cstdint>
#include <string>

// A server whose identity a transfer could not verify, as the transfer saw it: enough for the
// user to decide whether to trust it from now on, and for the trust store to record that.
struct ServerIdentity
{
    enum class Kind
    {
        Tls, // a certificate, named by the SHA-256 of its DER bytes
        Ssh, // an SSH host key, named OpenSSH style ("SHA256:" and unpadded base64)
    };
    Kind kind = Kind::Tls;
    std::string host;
    std::uint16_t port = 0;
    // Set when the server once showed another identity that the user trusted: the one shown now
    // may be an attacker's.
    bool changed = false;
    std::string fingerprint;
    // TLS: the certificate's subject, issuer and validity, as text for the user.
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
    // TLS: a certificate out of its dates, which is then a reason it was refused.
    enum class Dates
    {
        InForce,
        Expired,
        NotYetValid,
    };
    Dates dates = Dates::InForce;
    // SSH: the key's type ("ssh-ed25519", ...) and the key itself in base64, as a known-hosts
    // file holds them.
    std::string keyType;
    std::string keyBase64;
};
