"""A loopback SMTP server for the provider's tests, on Debian's aiosmtpd.

Each accepted message is stored byte for byte as DIR/<n>.eml, its envelope
as DIR/<n>.env (the sender, then one recipient a line), and the client's
address and port as DIR/<n>.peer (one connection, one port).

  smtpserver.py PORT DIR [--tls CERT KEY] [--auth USER:PASSWORD]
                         [--refuse TEXT] [--drop]

--tls     STARTTLS with that certificate, required before MAIL
--auth    AUTH required, with that user and password
--refuse  every recipient containing TEXT is refused with 550
--drop    the connection is cut while the message is being sent
--discard messages are accepted and not stored (for benchmarks)
"""
import os
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
        if self.drop:
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


def main():
    port, folder = int(sys.argv[1]), sys.argv[2]
    args = sys.argv[3:]
    tls = auth = refuse = None
    drop = discard = False
    while args:
        opt = args.pop(0)
        if opt == '--tls':
            tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            tls.load_cert_chain(args.pop(0), args.pop(0))
        elif opt == '--auth':
            auth = args.pop(0).split(':', 1)
        elif opt == '--refuse':
            refuse = args.pop(0)
        elif opt == '--drop':
            drop = True
        elif opt == '--discard':
            discard = True

    def authenticator(server, session, envelope, mechanism, data):
        ok = auth is not None and data.login.decode() == auth[0] and data.password.decode() == auth[1]
        return AuthResult(success=ok, handled=False)

    kwargs = dict(hostname='127.0.0.1', port=port)
    if tls is not None:
        kwargs.update(tls_context=tls, require_starttls=True)
    if auth is not None:
        kwargs.update(authenticator=authenticator, auth_required=True, auth_require_tls=tls is not None)
    controller = Controller(Handler(folder, refuse, drop, discard), **kwargs)
    controller.start()
    print('ready', flush=True)
    try:
        threading.Event().wait()
    finally:
        controller.stop()


if __name__ == '__main__':
    main()
