"""A link between the provider and the tests' Dovecot that misbehaves on
purpose, on loopback.

  imapproxy.py PORT UPSTREAM MODE [TRIGGER] [--once]

Every connection to PORT is passed on to 127.0.0.1:UPSTREAM. From the
moment the client sends a command line that matches the regular expression
TRIGGER (or, for a TRIGGER of the form "after:SECONDS", that long after the
connection was made: for TLS, whose commands cannot be read), the server's
answers are passed on as MODE says:

  pass           unchanged
  close-literal  up to the middle of the first literal ({n} and half its
                 bytes), then both sides are closed
  close-line     the first half of the next line, then both sides are closed
  stall          nothing more; the connection stays open
  slow           1 KB a second
  trickle        one byte a second
  drop-append    everything but the tagged answer to the triggering
                 command (APPEND's OK [APPENDUID ...]); then nothing more
  logindisabled  (no trigger) CAPABILITY says LOGINDISABLED too, and a
                 LOGIN command is refused here without reaching the server

With --once, only the first connection that triggers misbehaves.
"""
import re
import socket
import sys
import threading
import time

LITERAL = re.compile(rb'\{(\d+)\}\r\n')


class Link:
    def __init__(self, client, server, mode, trigger, lot):
        self.client, self.server, self.mode, self.trigger, self.lot = client, server, mode, trigger, lot
        self.on = threading.Event()
        self.tag = b''
        self.opened = time.monotonic()

    def close(self):
        for s in (self.client, self.server):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def arm(self, tag=b''):
        with self.lot['lock']:
            if self.lot['once'] and self.lot['used']:
                return
            self.lot['used'] = True
        self.tag = tag
        self.on.set()

    def upstream(self):
        """Client to server: passed on at once, its command lines watched."""
        pending = b''
        try:
            while True:
                data = self.client.recv(65536)
                if not data:
                    break
                pending += data
                out = b''
                while b'\r\n' in pending:
                    line, pending = pending.split(b'\r\n', 1)
                    words = line.split(b' ', 2)
                    if self.mode == 'logindisabled':
                        if len(words) > 1 and words[1].upper() == b'LOGIN':
                            self.client.sendall(words[0] + b' NO [PRIVACYREQUIRED] LOGIN is disabled\r\n')
                            continue
                        out += line + b'\r\n'
                    elif (self.trigger is not None and not self.on.is_set() and len(words) > 1
                            and self.trigger.search(line)):
                        self.arm(words[0])
                if len(pending) > 65536:  # a literal's bytes, or TLS: no command line
                    out, pending = out + pending, b''
                # Passed on only once the trigger is armed, so the server's
                # answer to the triggering command is already the mode's.
                if self.mode != 'logindisabled':
                    self.server.sendall(data)
                elif out:
                    self.server.sendall(out)
        except OSError:
            pass
        self.close()

    def downstream(self):
        """Server to client: passes the answers on as the mode says."""
        seen = b''
        try:
            while True:
                data = self.server.recv(65536)
                if not data:
                    break
                if self.mode == 'logindisabled':
                    data = re.sub(rb'(CAPABILITY IMAP4rev1)', rb'\1 LOGINDISABLED', data)
                if not self.on.is_set():
                    self.client.sendall(data)
                    continue
                seen += data
                if self.mode == 'pass':
                    self.client.sendall(seen)
                    seen = b''
                elif self.mode == 'close-literal':
                    found = LITERAL.search(seen)
                    if found is None:
                        # All but what may be the start of a literal's "{n}".
                        brace = seen.rfind(b'{')
                        keep = brace if brace >= 0 and b'\n' not in seen[brace:] else len(seen)
                        self.client.sendall(seen[:keep])
                        seen = seen[keep:]
                        continue
                    end = found.end() + int(found.group(1)) // 2
                    if len(seen) < end:
                        continue
                    self.client.sendall(seen[:end])
                    time.sleep(0.2)
                    return self.close()
                elif self.mode == 'close-line':
                    if b'\r\n' not in seen:
                        continue
                    self.client.sendall(seen[:seen.index(b'\r\n') // 2])
                    time.sleep(0.2)
                    return self.close()
                elif self.mode == 'stall':
                    seen = b''
                elif self.mode in ('slow', 'trickle'):
                    size, pause = (128, 0.125) if self.mode == 'slow' else (1, 1.0)
                    while seen:
                        self.client.sendall(seen[:size])
                        seen = seen[size:]
                        time.sleep(pause)
                elif self.mode == 'drop-append':
                    while b'\r\n' in seen:
                        line, seen = seen.split(b'\r\n', 1)
                        if line.startswith(self.tag + b' '):
                            self.mode = 'stall'
                            seen = b''
                            break
                        self.client.sendall(line + b'\r\n')
        except OSError:
            pass
        self.close()

    def timer(self, seconds):
        time.sleep(max(0.0, seconds - (time.monotonic() - self.opened)))
        self.arm()


def main():
    port, upstream, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    words = [a for a in sys.argv[4:] if a != '--once']
    after = None
    trigger = None
    if words and words[0].startswith('after:'):
        after = float(words[0][len('after:'):])
    elif words:
        trigger = re.compile(words[0].encode(), re.I)
    lot = {'lock': threading.Lock(), 'once': '--once' in sys.argv, 'used': False}
    listener = socket.create_server(('127.0.0.1', port))
    while True:
        client, _ = listener.accept()
        server = socket.create_connection(('127.0.0.1', upstream))
        link = Link(client, server, mode, trigger, lot)
        for job in (link.upstream, link.downstream):
            threading.Thread(target=job, daemon=True).start()
        if after is not None:
            threading.Thread(target=link.timer, args=(after,), daemon=True).start()


if __name__ == '__main__':
    main()
