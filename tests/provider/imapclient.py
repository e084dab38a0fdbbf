"""A second IMAP client beside the provider, made of Python's imaplib and
email packages: it puts mail on the test server, changes it as another
client would, and reads back what the provider stored.

  imapclient.py PORT USER PASSWORD COMMAND ARGS...

  create FOLDER                  makes the folder (no error if it is there)
  recreate FOLDER                deletes and makes it again: a new UIDVALIDITY
  append FOLDER FLAGS UNIXTIME   stores the message on standard input ('-' for
                                 no flags or no date); prints its UID
  compose FOLDER                 stores a message made with the email package
                                 (a text body and a binary attachment); prints its UID
  flags FOLDER                   prints "UID<TAB>FLAGS<TAB>INTERNALDATE" per message
  store FOLDER UID FLAGS         adds flags to one message
  expunge FOLDER UID             removes one message (\\Deleted, then UID EXPUNGE)
  fetch FOLDER UID               writes the message's bytes to standard output
  read FOLDER UID                parses the message with the email package and
                                 prints its fields as JSON
  envelopes FOLDER               fetches every header in one command, parses
                                 them all and prints "COUNT SECONDS"
  envelope-fetch FOLDER          UID FETCH 1:* (UID FLAGS ENVELOPE) in one command,
                                 the server's envelopes as imaplib gives them;
                                 prints "COUNT SECONDS"
"""
import email
import email.parser
import email.policy
import hashlib
import imaplib
import json
import re
import sys
import time
from email.message import EmailMessage


def connect(port, user, password):
    m = imaplib.IMAP4('127.0.0.1', int(port))
    m.login(user, password)
    return m


def check(answer):
    typ, data = answer
    if typ != 'OK':
        raise SystemExit('IMAP said %s %r' % (typ, data))
    return data


def uid_of(data):
    found = re.search(rb'APPENDUID \d+ (\d+)', data[0])
    return found.group(1).decode()


def composed():
    m = EmailMessage()
    m['From'] = 'Py Thon <py@example.org>'
    m['To'] = 'tester@example.org'
    m['Subject'] = 'Gr\u00fc\u00dfe aus Python'
    m['Message-ID'] = '<python-1@example.org>'
    m.set_content('Hallo Welt\nzweite Zeile\n')
    m.add_attachment(bytes(range(256)) * 40, maintype='application', subtype='octet-stream',
                     filename='bytes.bin')
    return m.as_bytes(policy=email.policy.SMTP)


def main(argv):
    port, user, password, command = argv[1:5]
    args = argv[5:]
    m = connect(port, user, password)
    folder = args[0]
    if command == 'create':
        m.create(folder)
    elif command == 'recreate':
        m.delete(folder)
        check(m.create(folder))
    elif command in ('append', 'compose'):
        if command == 'append':
            flags, when = args[1], args[2]
            raw = sys.stdin.buffer.read()
        else:
            flags, when, raw = '-', '-', composed()
        flags = None if flags == '-' else flags
        date = None if when == '-' else imaplib.Time2Internaldate(float(when))
        print(uid_of(check(m.append(folder, flags, date, raw))))
    elif command == 'flags':
        check(m.select(folder))
        for line in check(m.uid('FETCH', '1:*', '(UID FLAGS INTERNALDATE)')):
            if line is None:
                continue
            uid = re.search(rb'UID (\d+)', line).group(1).decode()
            flags = re.search(rb'FLAGS \(([^)]*)\)', line).group(1).decode()
            date = re.search(rb'INTERNALDATE "([^"]*)"', line).group(1).decode()
            print('%s\t%s\t%d' % (uid, flags, int(time.mktime(imaplib.Internaldate2tuple(b'INTERNALDATE "' + date.encode() + b'"')))))
    elif command == 'store':
        check(m.select(folder))
        check(m.uid('STORE', args[1], '+FLAGS', '(%s)' % args[2]))
    elif command == 'expunge':
        check(m.select(folder))
        check(m.uid('STORE', args[1], '+FLAGS', '(\\Deleted)'))
        check(m.uid('EXPUNGE', args[1]))
    elif command in ('fetch', 'read'):
        check(m.select(folder, readonly=True))
        data = check(m.uid('FETCH', args[1], '(BODY.PEEK[])'))
        if not data or data[0] is None:
            raise SystemExit('no message %s' % args[1])
        raw = data[0][1]
        if command == 'fetch':
            sys.stdout.buffer.write(raw)
        else:
            msg = email.message_from_bytes(raw, policy=email.policy.default)
            body = msg.get_body(preferencelist=('plain',))
            out = {
                'subject': str(msg['Subject']),
                'from': str(msg['From']),
                'to': [a.addr_spec for a in msg['To'].addresses] if msg['To'] else [],
                'body': body.get_content() if body is not None else None,
                'files': {p.get_filename(): hashlib.sha256(p.get_content()).hexdigest()
                          for p in msg.iter_attachments()},
            }
            print(json.dumps(out, ensure_ascii=False))
    elif command == 'envelope-fetch':
        start = time.perf_counter()
        m.select(folder, readonly=True)
        data = check(m.uid('FETCH', '1:*', '(UID FLAGS ENVELOPE)'))
        first = [item[0] if isinstance(item, tuple) else item for item in data]
        print(sum(1 for line in first if line and re.match(rb'\d+ \(', line)), time.perf_counter() - start)
    elif command == 'envelopes':
        start = time.perf_counter()
        typ, data = m.select(folder, readonly=True)
        data = check(m.uid('FETCH', '1:*', '(UID FLAGS INTERNALDATE RFC822.SIZE BODY.PEEK[HEADER])'))
        parser = email.parser.BytesHeaderParser(policy=email.policy.default)
        count = 0
        for item in data:
            if isinstance(item, tuple):
                headers = parser.parsebytes(item[1])
                str(headers['Subject']), str(headers['From'])
                count += 1
        print(count, time.perf_counter() - start)
    m.logout()


if __name__ == '__main__':
    main(sys.argv)
