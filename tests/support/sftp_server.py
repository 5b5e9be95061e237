#!/usr/bin/env python3
"""A small SSH file-transfer server for the tests, built on paramiko.

It serves one folder on 127.0.0.1 as "/" to one user, "writer" with the password "writer-pass",
who may read and write everything in it. Paths are taken relative to that folder whether they
start with "/" or not, and the user's home is "/". It binds a port of the system's choosing (or
--port), and once it accepts connections prints "PORT <number>" and then
"FINGERPRINT SHA256:<base64>" (the host key's, as OpenSSH shows it) on stdout.

The host key is read from --host-key, or made there (ECDSA P-256) when the file does not exist,
so that a test can restart a server with the same key or give it a new one.

Every login attempt is appended to the log as "LOGIN <user> ok" or "LOGIN <user> refused", and
every file opened for writing as "WRITE <path>".

It ends when its stdin reaches end of file, so that it never outlives the test that started it.
"""

import argparse
import base64
import hashlib
import os
import posixpath
import socket
import sys
import threading

import paramiko

USER = ("writer", "writer-pass")


def make_logger(path):
    log = open(path, "a", encoding="utf-8", errors="surrogateescape", buffering=1)
    lock = threading.Lock()

    def write(line):
        with lock:
            log.write(line + "\n")
            log.flush()

    return write


class Authority(paramiko.ServerInterface):
    def __init__(self, log):
        self.log = log

    def get_allowed_auths(self, username):
        return "password"

    def check_auth_password(self, username, password):
        ok = (username, password) == USER
        self.log("LOGIN %s %s" % (username, "ok" if ok else "refused"))
        return paramiko.AUTH_SUCCESSFUL if ok else paramiko.AUTH_FAILED

    def check_channel_request(self, kind, chanid):
        if kind == "session":
            return paramiko.OPEN_SUCCEEDED
        return paramiko.OPEN_FAILED_ADMINISTRATIVELY_PROHIBITED


class Handle(paramiko.SFTPHandle):
    def stat(self):
        try:
            return paramiko.SFTPAttributes.from_stat(os.fstat(self.readfile.fileno()))
        except OSError as e:
            return paramiko.SFTPServer.convert_errno(e.errno)

    def chattr(self, attr):
        return paramiko.SFTP_OK


def make_files(root, log):
    class Files(paramiko.SFTPServerInterface):
        def canonicalize(self, path):
            return posixpath.normpath("/" + path.lstrip("/")) if path else "/"

        def local(self, path):
            return os.path.join(root, self.canonicalize(path).lstrip("/"))

        def open(self, path, flags, attr):
            local = self.local(path)
            try:
                fd = os.open(local, flags, 0o644)
            except OSError as e:
                return paramiko.SFTPServer.convert_errno(e.errno)
            if flags & (os.O_WRONLY | os.O_RDWR):
                log("WRITE %s" % self.canonicalize(path))
                mode = "r+b" if flags & os.O_RDWR else "wb"
                if flags & os.O_APPEND:
                    mode = "ab"
            else:
                mode = "rb"
            f = os.fdopen(fd, mode)
            handle = Handle(flags)
            handle.filename = local
            handle.readfile = f
            handle.writefile = f
            return handle

        def stat(self, path):
            try:
                return paramiko.SFTPAttributes.from_stat(os.stat(self.local(path)))
            except OSError as e:
                return paramiko.SFTPServer.convert_errno(e.errno)

        lstat = stat

        def list_folder(self, path):
            try:
                local = self.local(path)
                out = []
                for name in os.listdir(local):
                    attr = paramiko.SFTPAttributes.from_stat(os.stat(os.path.join(local, name)))
                    attr.filename = name
                    out.append(attr)
                return out
            except OSError as e:
                return paramiko.SFTPServer.convert_errno(e.errno)

        def chattr(self, path, attr):
            return paramiko.SFTP_OK

        def remove(self, path):
            try:
                os.remove(self.local(path))
            except OSError as e:
                return paramiko.SFTPServer.convert_errno(e.errno)
            return paramiko.SFTP_OK

        def rename(self, old, new):
            # As SFTP version 3 servers do (OpenSSH among them): never onto an existing name.
            if os.path.exists(self.local(new)):
                return paramiko.SFTP_FAILURE
            try:
                os.rename(self.local(old), self.local(new))
            except OSError as e:
                return paramiko.SFTPServer.convert_errno(e.errno)
            log("RENAME %s %s" % (self.canonicalize(old), self.canonicalize(new)))
            return paramiko.SFTP_OK

    return Files


def serve(conn, key, root, log):
    transport = paramiko.Transport(conn)
    transport.add_server_key(key)
    transport.set_subsystem_handler("sftp", paramiko.SFTPServer, make_files(root, log))
    try:
        transport.start_server(server=Authority(log))
    except (paramiko.SSHException, EOFError, OSError):
        return
    while transport.is_active():
        transport.join(1)


def watch_stdin():
    try:
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--home", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--host-key", required=True)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    if os.path.exists(args.host_key):
        key = paramiko.ECDSAKey.from_private_key_file(args.host_key)
    else:
        key = paramiko.ECDSAKey.generate(bits=256)
        key.write_private_key_file(args.host_key)
    digest = hashlib.sha256(key.asbytes()).digest()
    fingerprint = "SHA256:" + base64.b64encode(digest).decode().rstrip("=")

    log = make_logger(args.log)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    threading.Thread(target=watch_stdin, daemon=True).start()
    print("PORT %d" % listener.getsockname()[1], flush=True)
    print("FINGERPRINT %s" % fingerprint, flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, key, args.home, log), daemon=True).start()


if __name__ == "__main__":
    main()
