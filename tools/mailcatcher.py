#!/usr/bin/python3
"""A small SMTP server on loopback that stores every message it accepts as a .eml file.

Used by the mail tests, the end-to-end test and demos; people run it by hand too:

    tools/mailcatcher.py --dir /tmp/mail                 # plain SMTP on a free port
    tools/mailcatcher.py --dir /tmp/mail --port 2525 --tls-cert cert.pem --tls-key key.pem
    tools/mailcatcher.py --dir /tmp/mail --user alice --password secret    # AUTH PLAIN required
    tools/mailcatcher.py --dir /tmp/mail --user alice --password secret --mechanisms LOGIN
    tools/mailcatcher.py --dir /tmp/mail --reject "554 Message refused"
    tools/mailcatcher.py --dir /tmp/mail --refuse-recipient nobody@example.test
    tools/mailcatcher.py --dir /tmp/mail --drop-at-quit     # 250 to the message, then hangs up

STARTTLS is offered the way usual servers offer it: TLS 1.3 with session tickets (Python's defaults).

It prints "PORT <n>" on its first line once it listens, then runs until it is stopped. Messages are
numbered in the order they arrive (000001.eml, ...); each file starts with X-Envelope-From,
X-Envelope-To and X-Envelope-TLS (yes after STARTTLS) lines followed by the message as received.
"""

import argparse
import asyncio
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, syntax


class Handler:
    def __init__(self, directory, reject, refused):
        self.directory = directory
        self.reject = reject
        self.refused = refused
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refused:
            # What Postfix answers for an unknown local user.
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown" % address
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.reject:
            return self.reject
        self.count += 1
        name = os.path.join(self.directory, "%06d.eml" % self.count)
        head = "X-Envelope-From: %s\r\nX-Envelope-To: %s\r\nX-Envelope-TLS: %s\r\n" % (
            envelope.mail_from, ", ".join(envelope.rcpt_tos), "yes" if session.ssl else "no")
        temporary = name + ".part"
        with open(temporary, "wb") as out:
            out.write(head.encode("ascii", "replace"))
            out.write(envelope.original_content)
        # Readers poll for *.eml: they must never see half a file.
        os.replace(temporary, name)
        return "250 Message accepted"


class Authenticator:
    def __init__(self, user, password):
        self.user = user.encode()
        self.password = password.encode()

    def __call__(self, server, session, envelope, mechanism, data):
        ok = isinstance(data, LoginPassword) and data.login == self.user and data.password == self.password
        return AuthResult(success=ok, handled=False)


class DroppingSMTP(SMTP):
    """Hangs up instead of answering QUIT, as some servers do once the message has its 250."""

    @syntax("QUIT")
    async def smtp_QUIT(self, arg):
        self._handler_coroutine.cancel()
        self.transport.close()


def main():
    parser = argparse.ArgumentParser(description="SMTP server on loopback that saves .eml files")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--dir", required=True, help="where the .eml files go")
    parser.add_argument("--tls-cert", help="offer STARTTLS with this certificate")
    parser.add_argument("--tls-key")
    parser.add_argument("--user", help="require AUTH with this user")
    parser.add_argument("--mechanisms", default="PLAIN", help="AUTH mechanisms offered with --user, e.g. PLAIN,LOGIN")
    parser.add_argument("--password", default="")
    parser.add_argument("--reject", help='answer the message with this reply, e.g. "554 Refused"')
    parser.add_argument("--refuse-recipient", action="append", default=[], metavar="ADDRESS",
                        help="answer RCPT TO for this address with 550 5.1.1 (may be repeated)")
    parser.add_argument("--drop-at-quit", action="store_true",
                        help="close the connection instead of answering QUIT")
    options = parser.parse_args()

    os.makedirs(options.dir, exist_ok=True)
    tls = None
    if options.tls_cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(options.tls_cert, options.tls_key)
    handler = Handler(options.dir, options.reject, set(options.refuse_recipient))
    authenticator = Authenticator(options.user, options.password) if options.user else None

    offered = {m.strip().upper() for m in options.mechanisms.split(",")} if authenticator else set()
    excluded = [m for m in ("PLAIN", "LOGIN") if m not in offered]

    server_class = DroppingSMTP if options.drop_at_quit else SMTP

    def factory():
        return server_class(handler, hostname="mailcatcher.local", tls_context=tls,
                            authenticator=authenticator, auth_required=authenticator is not None,
                            auth_require_tls=False, auth_exclude_mechanism=excluded)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(loop.create_server(factory, options.host, options.port))
    port = server.sockets[0].getsockname()[1]
    print("PORT %d" % port, flush=True)
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, loop.stop)
    try:
        loop.run_forever()
    finally:
        server.close()
        loop.run_until_complete(server.wait_closed())
        loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
