"""Test SMTP server that delivers into Maildirs, on 127.0.0.1 with an ephemeral port.

Prints the port on its first output line, then serves until killed. A message for
<local>@<anything> goes to <root>/<local>/new/ (written in tmp/ first, then moved), owned
by --owner uid:gid so that the POP3 server reading the Maildir may delete it.
--delay SECONDS delivers that much later; --drop accepts mail and never delivers it.
With --user/--password, AUTH LOGIN is offered and checked (and required before MAIL with
--require-auth). With --cert/--key, STARTTLS is
offered with that certificate and required before anything but EHLO, NOOP and QUIT.
"""
import argparse
import asyncio
import os
import ssl
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Server(SMTP):
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"


class Delivery:
    def __init__(self, args):
        self.args = args
        self.count = 0

    def deliver(self, local, content):
        uid, gid = (int(x) for x in self.args.owner.split(":"))
        box = os.path.join(self.args.root, local)
        for sub in ("tmp", "new", "cur"):
            os.makedirs(os.path.join(box, sub), exist_ok=True)
            os.chown(os.path.join(box, sub), uid, gid)
        os.chown(box, uid, gid)
        self.count += 1
        name = "%d.%d_%d.test" % (time.time(), os.getpid(), self.count)
        tmp = os.path.join(box, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(content)
        os.chown(tmp, uid, gid)
        os.rename(tmp, os.path.join(box, "new", name))

    async def handle_DATA(self, server, session, envelope):
        content = envelope.original_content or envelope.content
        if self.args.drop:
            return "250 OK dropped"
        for rcpt in envelope.rcpt_tos:
            local = rcpt.split("@", 1)[0].replace("/", "_")
            if self.args.delay > 0:
                asyncio.get_running_loop().call_later(self.args.delay, self.deliver, local, content)
            else:
                self.deliver(local, content)
        return "250 OK delivered"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--owner", default="%d:%d" % (os.getuid(), os.getgid()))
    p.add_argument("--delay", type=float, default=0)
    p.add_argument("--drop", action="store_true")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--require-auth", action="store_true")
    p.add_argument("--address", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--cert", default="")
    p.add_argument("--key", default="")
    args = p.parse_args()
    delivery = Delivery(args)

    def authenticate(server, session, envelope, mechanism, data):
        ok = (isinstance(data, LoginPassword) and data.login.decode() == args.user
              and data.password.decode() == args.password)
        # handled=False makes the server answer a refused login with 535 itself.
        return AuthResult(success=ok, handled=False, auth_data=data.login if ok else None)

    kwargs = dict(hostname="test.local", ident="ESMTP test server", decode_data=False,
                  data_size_limit=64 << 20)
    if args.user:
        kwargs.update(auth_require_tls=False, authenticator=authenticate,
                      auth_required=args.require_auth)
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        kwargs.update(tls_context=context, require_starttls=True)

    async def serve():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(lambda: Server(delivery, **kwargs), args.address,
                                          args.port)
        print(server.sockets[0].getsockname()[1], flush=True)
        await server.serve_forever()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
