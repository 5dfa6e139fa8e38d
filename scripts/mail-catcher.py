#!/usr/bin/python3
"""The demo's mail catcher: an SMTP server on loopback that keeps every mail it is given
as an .eml file, so the console's Down and Up alert mails can be read without a real
mail server.

    mail-catcher.py FOLDER [--host 127.0.0.1] [--port 25] [--owner UID:GID]

Each mail becomes FOLDER/YYYYMMDD-HHMMSS-NNN.eml (written under a dot name, then renamed,
so a reader never sees half a mail). It prints "listening HOST PORT" once it accepts mail.
"""
import argparse
import itertools
import os
import signal
import sys
import time

from aiosmtpd.controller import Controller

MAX_MAIL_BYTES = 10 * 1024 * 1024


class Catcher:
    def __init__(self, folder, owner):
        self.folder = folder
        self.owner = owner
        self.counter = itertools.count(1)

    async def handle_DATA(self, server, session, envelope):
        stamp = time.strftime("%Y%m%d-%H%M%S")
        name = "%s-%03d.eml" % (stamp, next(self.counter) % 1000)
        head = "X-Caught-From: %s\r\nX-Caught-To: %s\r\n" % (
            envelope.mail_from, ", ".join(envelope.rcpt_tos))
        data = envelope.original_content or envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "replace")
        temp = os.path.join(self.folder, "." + name)
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as out:
            out.write(head.encode("ascii", "replace") + data)
        if self.owner:
            os.chown(temp, *self.owner)
        os.rename(temp, os.path.join(self.folder, name))
        return "250 OK"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--owner", default="", help="UID:GID that owns the mail files")
    args = parser.parse_args()
    owner = tuple(int(v) for v in args.owner.split(":")) if args.owner else None
    os.makedirs(args.folder, exist_ok=True)
    controller = Controller(Catcher(args.folder, owner), hostname=args.host, port=args.port,
                            data_size_limit=MAX_MAIL_BYTES, decode_data=False)
    try:
        controller.start()
    except Exception as error:  # the port is taken, or needs privileges
        print("mail-catcher: cannot listen on %s:%d: %s" % (args.host, args.port, error),
              file=sys.stderr)
        return 1
    print("listening %s %d" % (args.host, args.port), flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        signal.pause()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
