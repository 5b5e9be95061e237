#!/usr/bin/env python3
"""Makes the certificates of the TLS tests in one folder, fresh on every call.

  ca.pem           a test certificate authority (certificate only): what a client is told to trust
  server.pem       a certificate for 127.0.0.1 and localhost signed by it, with its private key
  self-signed.pem  a certificate for 127.0.0.1 that signs itself, with its private key
  wrong-name.pem   a certificate signed by the test authority for another host only, with its key
  expired.pem      a certificate for 127.0.0.1 signed by the test authority whose dates have passed
  fingerprints     "<file's name> <SHA-256>" for each of the three server certificates, in
                   uppercase hex pairs joined by ":"
"""

import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def name(common):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common)])


def certificate(subject, key, issuer, issuer_key, is_ca, names=None, age=0):
    now = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=age)
    builder = (
        x509.CertificateBuilder()
        .subject_name(name(subject))
        .issuer_name(name(issuer))
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.BasicConstraints(ca=is_ca, path_length=None), critical=True)
    )
    if is_ca:
        builder = builder.add_extension(
            x509.KeyUsage(False, False, False, False, False, True, True, False, False),
            critical=True)
    else:
        if names is None:
            names = [x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("localhost")]
        builder = builder.add_extension(x509.SubjectAlternativeName(names), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def pem(cert, key=None):
    text = cert.public_bytes(serialization.Encoding.PEM)
    if key is not None:
        text += key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption())
    return text


def fingerprint(cert):
    return ":".join("%02X" % b for b in cert.fingerprint(hashes.SHA256()))


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca = certificate("Ferrovane test authority", ca_key, "Ferrovane test authority", ca_key, True)
    server_key = ec.generate_private_key(ec.SECP256R1())
    server = certificate("127.0.0.1", server_key, "Ferrovane test authority", ca_key, False)
    lone_key = ec.generate_private_key(ec.SECP256R1())
    lone = certificate("127.0.0.1", lone_key, "127.0.0.1", lone_key, False)
    other_key = ec.generate_private_key(ec.SECP256R1())
    other = certificate("elsewhere.test", other_key, "Ferrovane test authority", ca_key, False,
                        [x509.DNSName("elsewhere.test")])
    old_key = ec.generate_private_key(ec.SECP256R1())
    old = certificate("127.0.0.1", old_key, "Ferrovane test authority", ca_key, False, age=60)

    with open(os.path.join(folder, "expired.pem"), "wb") as out:
        out.write(pem(old, old_key))
    with open(os.path.join(folder, "ca.pem"), "wb") as out:
        out.write(pem(ca))
    with open(os.path.join(folder, "server.pem"), "wb") as out:
        out.write(pem(server, server_key))
    with open(os.path.join(folder, "self-signed.pem"), "wb") as out:
        out.write(pem(lone, lone_key))
    with open(os.path.join(folder, "wrong-name.pem"), "wb") as out:
        out.write(pem(other, other_key))
    with open(os.path.join(folder, "fingerprints"), "w") as out:
        for label, cert in (("server", server), ("self-signed", lone), ("wrong-name", other)):
            out.write("%s %s\n" % (label, fingerprint(cert)))


if __name__ == "__main__":
    main()
