"""Test SMTP server for the mail sender tests, on 127.0.0.1 with an ephemeral port.

Prints the port on its first output line, then serves until killed. Every accepted
message is stored in the output folder as N.eml (the bytes after DATA, dot-unstuffed)
and N.env (envelope sender, recipients and the logged-in user, one per line).
With --user/--password, AUTH LOGIN is offered and checked; the LOGIN challenges are the
common "Username:" and "Password:"; the mechanism name is matched as aiosmtpd matches it
(upper case only), as some real servers do.
"""
import argparse
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Server(SMTP):
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"


class Store:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        login = session.auth_data.decode() if isinstance(session.auth_data, bytes) else ""
        with open(base + ".env.part", "w") as f:
            f.write(envelope.mail_from + "\n")
            f.write(",".join(envelope.rcpt_tos) + "\n")
            f.write(login + "\n")
        os.rename(base + ".eml.part", base + ".eml")
        os.rename(base + ".env.part", base + ".env")
        return "250 OK stored"


def login_checker(user, password):
    """An authenticator accepting AUTH LOGIN with exactly `user` and `password`."""

    def authenticate(server, session, envelope, mechanism, data):
        ok = (isinstance(data, LoginPassword) and data.login.decode() == user
              and data.password.decode() == password)
        return AuthResult(success=ok, auth_data=data.login if ok else None)

    return authenticate


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    args = p.parse_args()
    store = Store(args.dir)
    authenticate = login_checker(args.user, args.password)

    kwargs = dict(hostname="test.local", ident="ESMTP test server", decode_data=False,
                  data_size_limit=64 << 20)
    if args.user:
        kwargs.update(auth_require_tls=False, authenticator=authenticate)

    async def serve():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(lambda: Server(store, **kwargs), "127.0.0.1", 0)
        print(server.sockets[0].getsockname()[1], flush=True)
        await server.serve_forever()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
