#pragma once

#include <string>

// Certificates for the TLS tests, made fresh (new keys) in a private folder for the life of the
// object by make_certificates.py, independently of the code under test: a test authority, a
// server certificate for 127.0.0.1 that it signed, a self-signed one for 127.0.0.1, and one it
// signed for another host only, and one it signed whose dates have passed. The server files hold
// the certificate and its private key, as the FTP test server wants them. Construction throws
// std::runtime_error when they cannot be made.
class TestCertificates
{
public:
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    std::string authority() const { return folder_ + "/ca.pem"; }
    std::string server() const { return folder_ + "/server.pem"; }
    std::string selfSigned() const { return folder_ + "/self-signed.pem"; }
    std::string wrongName() const { return folder_ + "/wrong-name.pem"; }
    std::string expired() const { return folder_ + "/expired.pem"; }
    // SHA-256 of each certificate, uppercase hex pairs joined by ":".
    const std::string& serverFingerprint() const { return serverFingerprint_; }
    const std::string& selfSignedFingerprint() const { return selfSignedFingerprint_; }
    const std::string& wrongNameFingerprint() const { return wrongNameFingerprint_; }

private:
    std::string folder_;
    std::string serverFingerprint_;
    std::string selfSignedFingerprint_;
    std::string wrongNameFingerprint_;
};
