"""Test SMTP server with TLS for the mail engine's secure dialogues, on 127.0.0.1.

Prints the port on its first output line, then serves until killed.
  --mode starttls  STARTTLS offered and required before anything but EHLO, NOOP and QUIT
  --mode implicit  TLS from the first byte
  --mode refuse    no TLS at all: STARTTLS is answered "454 TLS not available", and AUTH is
                   accepted in the clear (so a client that would send it there is caught)
With --user/--password, AUTH LOGIN is offered and checked. Every line the client sent is
appended to <dir>/received.txt as "plain <line>" or "tls <line>", by how it arrived, so a
test can prove what went over the wire in the clear. Accepted messages are stored as
N.eml (the bytes after DATA) and N.env (envelope sender, recipients, logged-in user).
"""
import argparse
import asyncio
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from smtp_server import Store, login_checker  # noqa: E402


def make_server_class(folder, implicit):
    record = os.path.join(folder, "received.txt")

    class Recorder(SMTP):
        AuthLoginUsernameChallenge = "Username:"
        AuthLoginPasswordChallenge = "Password:"

        def data_received(self, data):
            # Before STARTTLS the bytes come straight from the socket; after it the TLS
            # layer hands over what it decrypted.
            how = "tls" if implicit or self._tls_protocol is not None else "plain"
            pending = getattr(self, "_pending_record", b"") + data
            *lines, rest = pending.split(b"\n")
            self._pending_record = rest
            with open(record, "a") as f:
                for line in lines:
                    f.write(how + " " + line.rstrip(b"\r").decode("latin-1") + "\n")
            super().data_received(data)

    return Recorder


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--mode", choices=["starttls", "implicit", "refuse"], required=True)
    p.add_argument("--cert", default="")
    p.add_argument("--key", default="")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    args = p.parse_args()
    store = Store(args.dir)
    context = None
    if args.mode != "refuse":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)

    authenticate = login_checker(args.user, args.password)

    kwargs = dict(hostname="tls.test", ident="ESMTP tls test server", decode_data=False)
    if args.user:
        kwargs.update(authenticator=authenticate,
                      auth_require_tls=args.mode == "starttls")
    if args.mode == "starttls":
        kwargs.update(tls_context=context, require_starttls=True)
    server_class = make_server_class(args.dir, args.mode == "implicit")

    async def serve():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(
            lambda: server_class(store, **kwargs), "127.0.0.1", 0,
            ssl=context if args.mode == "implicit" else None)
        print(server.sockets[0].getsockname()[1], flush=True)
        await server.serve_forever()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
