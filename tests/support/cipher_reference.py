#!/usr/bin/python3
"""Stored password texts, made and read without the program's own code.

Follows the record that the program keeps under "Password": B (4 bytes little-endian, 84), the key
blob (header 01 02 00 00 10 66 00 00 05 AA 00 00, an ephemeral X25519 public key, the 32-byte
session key wrapped with AES-256 key wrap under HKDF-SHA256 of the X25519 secret), then the
password and its zero byte under AES-256-GCM with an all-zero nonce, tag last; uppercase hex.

    cipher_reference.py encode EXCHANGE_PEM PASSWORD   prints the text
    cipher_reference.py decode EXCHANGE_PEM TEXT       prints the password (raw bytes, no newline)

Exit status 1 when a text does not decode.
"""
import os
import struct
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.keywrap import (InvalidUnwrap, aes_key_unwrap,
                                                    aes_key_wrap)

HEADER = bytes([0x01, 0x02, 0x00, 0x00, 0x10, 0x66, 0x00, 0x00, 0x05, 0xAA, 0x00, 0x00])
INFO = b"Ferrovane password key"
RAW = dict(encoding=serialization.Encoding.Raw, format=serialization.PublicFormat.Raw)


def load_pair(path):
    with open(path, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), password=None)
    if not isinstance(key, X25519PrivateKey):
        raise SystemExit("not an X25519 key: " + path)
    return key


def kek(shared, ephemeral_public, pair_public):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=ephemeral_public + pair_public,
                info=INFO).derive(shared)


def encode(pair, password):
    pair_public = pair.public_key().public_bytes(**RAW)
    ephemeral = X25519PrivateKey.generate()
    ephemeral_public = ephemeral.public_key().public_bytes(**RAW)
    session = os.urandom(32)
    wrapped = aes_key_wrap(kek(ephemeral.exchange(pair.public_key()), ephemeral_public,
                               pair_public), session)
    blob = HEADER + ephemeral_public + wrapped
    sealed = AESGCM(session).encrypt(bytes(12), password + b"\0", None)
    return (struct.pack("<I", len(blob)) + blob + sealed).hex().upper()


def decode(pair, text):
    record = bytes.fromhex(text[: len(text) // 2 * 2])
    (size,) = struct.unpack("<I", record[:4])
    blob = record[4:4 + size]
    if size != 84 or blob[:12] != HEADER:
        return None
    ephemeral_public = blob[12:44]
    pair_public = pair.public_key().public_bytes(**RAW)
    shared = pair.exchange(X25519PublicKey.from_public_bytes(ephemeral_public))
    try:
        session = aes_key_unwrap(kek(shared, ephemeral_public, pair_public), blob[44:84])
    except InvalidUnwrap:
        return None
    plain = AESGCM(session).decrypt(bytes(12), record[4 + size:], None)
    return plain.split(b"\0", 1)[0]


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("encode", "decode"):
        raise SystemExit(__doc__)
    pair = load_pair(sys.argv[2])
    if sys.argv[1] == "encode":
        print(encode(pair, os.fsencode(sys.argv[3])))
        return 0
    try:
        password = decode(pair, sys.argv[3])
    except Exception:  # a damaged record or a failed tag
        password = None
    if password is None:
        return 1
    sys.stdout.buffer.write(password)
    return 0


if __name__ == "__main__":
    sys.exit(main())
