"""A loopback SMTP server for the provider's tests, on Debian's aiosmtpd.

Each accepted message is stored byte for byte as DIR/<n>.eml, its envelope
as DIR/<n>.env (the sender, then one recipient a line), and the client's
address and port as DIR/<n>.peer (one connection, one port).

  smtpserver.py PORT DIR [--tls CERT KEY] [--auth USER:PASSWORD]
                         [--refuse TEXT] [--drop]

--tls     STARTTLS with that certificate, required before MAIL
--auth    AUTH required, with that user and password
--token   AUTH required by XOAUTH2 or OAUTHBEARER, with that user and access
          token; each attempt's mechanism and outcome go to DIR/auth.log
--refuse  every recipient containing TEXT is refused with 550
--drop    the connection is cut while the message is being sent
--discard messages are accepted and not stored (for benchmarks)
--mute    no SMTP at all: connections are taken and never answered (no
          greeting)
--no-dot  the message's data is taken and its end never answered
"""
import asyncio
import base64
import os
import socket
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


class Handler:
    def __init__(self, folder, refuse, drop, discard):
        self.folder, self.refuse, self.drop, self.discard, self.count = folder, refuse, drop, discard, 0

    async def handle_RCPT(self, server, session, envelope, address, options):
        if self.refuse and self.refuse in address:
            return '550 5.1.1 <%s>: recipient refused' % address
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        if self.drop == 'no-dot':
            await asyncio.sleep(3600)
        if self.drop is True:
            server.transport.abort()
            return '421 gone'
        self.count += 1
        if self.discard:
            return '250 Message accepted'
        base = os.path.join(self.folder, str(self.count))
        with open(base + '.env', 'w') as f:
            f.write('\n'.join([envelope.mail_from] + envelope.rcpt_tos) + '\n')
        with open(base + '.eml', 'wb') as f:
            f.write(envelope.original_content)
        with open(base + '.peer', 'w') as f:
            f.write('%s %s\n' % tuple(session.peer[:2]))
        return '250 Message accepted'


class TokenHandler(Handler):
    """Accepts exactly the SASL strings RFC 7628 (OAUTHBEARER) and Google's
    XOAUTH2 describe, for one user and token."""

    def __init__(self, user, token, port, *args):
        super().__init__(*args)
        self.user, self.token, self.port = user, token, port

    async def _check(self, server, args, mechanism, expected):
        if len(args) > 1:
            data = base64.b64decode(args[1])
        else:
            data = await server.challenge_auth('', encode_to_b64=False)
        ok = data == expected
        with open(os.path.join(self.folder, 'auth.log'), 'a') as f:
            f.write('%s %s\n' % (mechanism, 'ok' if ok else 'refused'))
        return AuthResult(success=ok, handled=False)

    async def auth_XOAUTH2(self, server, args):
        expected = ('user=%s\x01auth=Bearer %s\x01\x01' % (self.user, self.token)).encode()
        return await self._check(server, args, 'XOAUTH2', expected)

    async def auth_OAUTHBEARER(self, server, args):
        expected = ('n,a=%s,\x01host=127.0.0.1\x01port=%d\x01auth=Bearer %s\x01\x01'
                    % (self.user, self.port, self.token)).encode()
        return await self._check(server, args, 'OAUTHBEARER', expected)


def mute(port):
    """Takes every connection and says nothing, reading what comes."""
    listener = socket.create_server(('127.0.0.1', port))
    print('ready', flush=True)
    held = []
    while True:
        connection, _ = listener.accept()
        held.append(connection)


def main():
    port, folder = int(sys.argv[1]), sys.argv[2]
    args = sys.argv[3:]
    tls = auth = refuse = token = None
    drop = discard = False
    while args:
        opt = args.pop(0)
        if opt == '--tls':
            tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            tls.load_cert_chain(args.pop(0), args.pop(0))
        elif opt == '--auth':
            auth = args.pop(0).split(':', 1)
        elif opt == '--token':
            token = args.pop(0).split(':', 1)
        elif opt == '--refuse':
            refuse = args.pop(0)
        elif opt == '--drop':
            drop = True
        elif opt == '--discard':
            discard = True
        elif opt == '--no-dot':
            drop = 'no-dot'
        elif opt == '--mute':
            mute(port)
            return

    def authenticator(server, session, envelope, mechanism, data):
        ok = auth is not None and data.login.decode() == auth[0] and data.password.decode() == auth[1]
        return AuthResult(success=ok, handled=False)

    kwargs = dict(hostname='127.0.0.1', port=port)
    if tls is not None:
        kwargs.update(tls_context=tls, require_starttls=True)
    if auth is not None or token is not None:
        kwargs.update(authenticator=authenticator, auth_required=True, auth_require_tls=tls is not None)
    if token is not None:
        handler = TokenHandler(token[0], token[1], port, folder, refuse, drop, discard)
        kwargs.update(auth_exclude_mechanism=['LOGIN', 'PLAIN'])
    else:
        handler = Handler(folder, refuse, drop, discard)
    controller = Controller(handler, **kwargs)
    controller.start()
    print('ready', flush=True)
    try:
        threading.Event().wait()
    finally:
        controller.stop()


if __name__ == '__main__':
    main()
