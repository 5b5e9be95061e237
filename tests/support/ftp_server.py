#!/usr/bin/env python3
"""A small FTP server for the tests, built on pyftpdlib.

It serves one folder on 127.0.0.1 to three users: "writer" (may store, make folders, delete),
"reader" and "anonymous" (may only list and fetch; anonymous takes any password). It binds a
port of the system's choosing and prints "PORT <number>" on stdout once it accepts connections.
Every command line it receives is appended to the command log, one line each, exactly as received
(the password included).

It ends when its stdin reaches end of file, so that it never outlives the test that started it,
even when that test crashes.

  --port N          listen on this port rather than one of the system's choosing

Options for tests of slow and dead servers:
  --throttle N      receive uploads at no more than N bytes per second
  --stall-after N   stop reading an upload after N bytes and never answer again for it

Options for tests of secure servers (they need pyOpenSSL):
  --tls explicit    offer AUTH TLS, PBSZ and PROT on a plain control connection
  --tls implicit    speak TLS from the first byte, on the control and on every data connection
  --certificate F   the server's certificate chain and private key (PEM), for either
  --tls-required    refuse USER and PASS before TLS is up, and data connections without PROT P
"""

import argparse
import logging
import os
import random
import sys
import threading
import time

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

WRITER = ("writer", "writer-pass")
READER = ("reader", "reader-pass")


class Authorizer(DummyAuthorizer):
    def validate_authentication(self, username, password, handler):
        if username == "anonymous" and self.has_user(username):
            return  # any password, as anonymous servers take it
        if not self.has_user(username) or self.user_table[username]["pwd"] != password:
            # The reply a refused login gets from many servers, so the text is predictable.
            raise AuthenticationFailed("Login incorrect.")


def make_command_logger(path):
    log = open(path, "a", encoding="utf-8", errors="surrogateescape", buffering=1)
    lock = threading.Lock()

    def write(line):
        with lock:
            log.write(line + "\n")
            log.flush()

    return write


def make_throttled_dtp(base, rate):
    class ThrottledDTPHandler(base):
        """Reads an upload at no more than `rate` bytes per second, in small even steps."""

        ac_in_buffer_size = max(512, min(65536, rate // 20))
        started = None
        waking = None

        def handle_read(self):
            if self.started is None:
                self.started = time.monotonic()
            super().handle_read()
            if getattr(self, "_closed", False) or not self.receive:
                return
            delay = self.started + self.tot_bytes_received / rate - time.monotonic()
            if delay > 0:
                self.del_channel()
                self.waking = self.ioloop.call_later(delay, self.wake, _errback=self.handle_error)

        handle_read_event = handle_read

        def wake(self):
            self.waking = None
            if not getattr(self, "_closed", False):
                self.add_channel(events=self.ioloop.READ)

        def close(self):
            if self.waking is not None and not self.waking.cancelled:
                self.waking.cancel()
            super().close()

    return ThrottledDTPHandler


def make_stalling_dtp(base, limit):
    class StallingDTPHandler(base):
        """Accepts the first `limit` bytes of an upload, then stops reading for good."""

        stalled = False

        def handle_read(self):
            if self.stalled:
                return
            super().handle_read()
            if self.receive and self.tot_bytes_received >= limit:
                self.stalled = True
                self.del_channel()

        handle_read_event = handle_read

    return StallingDTPHandler


def watch_stdin():
    # The parent keeps the write end of our stdin open while it lives.
    try:
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--home", required=True)
    parser.add_argument("--command-log", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--throttle", type=int, default=0)
    parser.add_argument("--stall-after", type=int, default=-1)
    parser.add_argument("--tls", choices=["explicit", "implicit"])
    parser.add_argument("--certificate")
    parser.add_argument("--tls-required", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

    authorizer = Authorizer()
    authorizer.add_user(WRITER[0], WRITER[1], args.home, perm="elradfmwMT")
    authorizer.add_user(READER[0], READER[1], args.home, perm="elr")
    authorizer.add_anonymous(args.home, perm="elr")

    log_command = make_command_logger(args.command_log)

    control, data = FTPHandler, DTPHandler
    if args.tls:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

        class EarlyHandshakeDTPHandler(TLS_DTPHandler):
            """Takes a TLS handshake that arrives before the transfer command: libcurl starts it
            as soon as the data connection is up, and pyftpdlib would drop such a connection."""

            def readable(self):
                if self._ssl_accepting:
                    return True
                return super().readable()

        control, data = TLS_FTPHandler, EarlyHandshakeDTPHandler

    class Handler(control):
        def pre_process_command(self, line, cmd, arg):
            log_command(line)
            super().pre_process_command(line, cmd, arg)

    if args.tls:
        Handler.certfile = args.certificate
        Handler.tls_control_required = args.tls_required
        Handler.tls_data_required = args.tls_required
    if args.tls == "implicit":

        class ImplicitHandler(Handler):
            """TLS from the first byte: the banner already goes out inside it."""

            def handle(self):
                self.secure_connection(self.ssl_context)
                super().handle()

            def handle_ssl_established(self):
                super().handle_ssl_established()
                # Data connections are protected from the start too; a client still sends
                # PBSZ and PROT P, which change nothing.
                self._pbsz = True
                self._prot = True

        Handler = ImplicitHandler

    Handler.authorizer = authorizer
    Handler.auth_failed_timeout = 0  # answer a refused login at once
    Handler.banner = "Ferrovane test server ready."
    # A range of our own below the kernel's ephemeral ports; pyftpdlib falls back to any free
    # port when every one of them is taken.
    first = random.randrange(20000, 32000 - 200)
    Handler.passive_ports = range(first, first + 200)

    # Large reads keep the server from being the slow end of a benchmark.
    dtp = type("FastDTPHandler", (data,), {"ac_in_buffer_size": 262144})
    if args.throttle > 0:
        dtp = make_throttled_dtp(dtp, args.throttle)
    if args.stall_after >= 0:
        dtp = make_stalling_dtp(dtp, args.stall_after)
    Handler.dtp_handler = dtp

    server = FTPServer(("127.0.0.1", args.port), Handler)
    threading.Thread(target=watch_stdin, daemon=True).start()
    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
