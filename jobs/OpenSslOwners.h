#pragma once

// Owners for the OpenSSL objects of the password cipher and its key containers, each freed by the
// library's own function on every way out, and the raw public half of an X25519 key. Only the
// core's .cpp files include this; no public header names an OpenSSL type.

#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

constexpr std::size_t kX25519PublicKeySize = 32;

struct PkeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree
{
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherFree
{
    void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
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
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using KdfPtr = std::unique_ptr<EVP_KDF, KdfFree>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using DecoderCtxPtr = std::unique_ptr<OSSL_DECODER_CTX, DecoderCtxFree>;

inline bool RawPublicKey(const EVP_PKEY* key, std::array<std::uint8_t, kX25519PublicKeySize>& out)
{
    std::size_t size = out.size();
    return EVP_PKEY_get_raw_public_key(key, out.data(), &size) == 1 && size == out.size();
}
