#!/usr/bin/python3
"""A real mail server for the mail client's tests, on 127.0.0.1 and a port the system picks.

    smtp_server.py FOLDER [--starttls CERT KEY | --tls CERT KEY]

Accepts the user "alert" with the password "s3cret" by AUTH LOGIN and CRAM-MD5 over a plain
connection too (the tests check the client's dialogues, not the server's policy), and refuses
every recipient at refused.test. Prints
the port on its own line once it listens; writes each message it accepts as FOLDER/N.data (the
DATA bytes, full stops un-doubled) and FOLDER/N.envelope ("from", "rcpt", "login" and "tls"
lines); stops when its standard input ends.
"""
import asyncio
import hashlib
import hmac
import os
import ssl
import sys
import warnings

# The library warns about its own deprecated names on every login; the tests read no stderr.
warnings.simplefilter("ignore")

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

USER = b"alert"
PASSWORD = b"s3cret"


def authenticate(server, session, envelope, mechanism, auth_data):
    if isinstance(auth_data, LoginPassword):
        ok = auth_data.login == USER and auth_data.password == PASSWORD
        return AuthResult(success=ok, auth_data=auth_data.login if ok else None)
    return AuthResult(success=False)


class Server(SMTP):
    # The wording most mail servers use, and the one the client checks for.
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"


class Handler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def auth_CRAM__MD5(self, server, args):
        challenge = b"<%d.%d@tulix.test>" % (os.getpid(), self.count)
        answer = await server.challenge_auth(challenge)
        if not isinstance(answer, bytes) or b" " not in answer:
            return AuthResult(success=False)
        user, digest = answer.rsplit(b" ", 1)
        expected = hmac.new(PASSWORD, challenge, hashlib.md5).hexdigest().encode()
        ok = user == USER and hmac.compare_digest(digest, expected)
        return AuthResult(success=ok, handled=False, auth_data=user if ok else None)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.endswith("@refused.test"):
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "%d" % self.count)
        with open(base + ".data", "wb") as out:
            out.write(envelope.original_content)
        login = session.auth_data.decode("latin-1") if isinstance(session.auth_data, bytes) else ""
        lines = ["from " + envelope.mail_from]
        lines += ["rcpt " + r for r in envelope.rcpt_tos]
        lines += ["login " + login, "tls %d" % (server.transport.get_extra_info("sslcontext") is not None)]
        # The envelope is written last, in one rename: once it is there, the message is whole.
        with open(base + ".envelope.part", "w") as out:
            out.write("\n".join(lines) + "\n")
        os.rename(base + ".envelope.part", base + ".envelope")
        return "250 OK"


async def main():
    folder = sys.argv[1]
    mode = sys.argv[2] if len(sys.argv) > 2 else ""
    context = None
    if mode in ("--starttls", "--tls"):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
    handler = Handler(folder)
    loop = asyncio.get_running_loop()

    def factory():
        return Server(handler, hostname="tulix.test", authenticator=authenticate,
                    auth_require_tls=False, data_size_limit=None,
                    tls_context=context if mode == "--starttls" else None, loop=loop)

    server = await loop.create_server(factory, "127.0.0.1", 0,
                                      ssl=context if mode == "--tls" else None)
    print(server.sockets[0].getsockname()[1], flush=True)
    await asyncio.Event().wait()


if __name__ == "__main__":
    asyncio.run(main())
