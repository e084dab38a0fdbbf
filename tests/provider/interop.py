"""Python's own mail packages, as the other side of the provider's tests.

  interop.py write MAILDIR   adds a message to a Maildir with mailbox.Maildir
  interop.py read FILE       parses a message file with the email package and
                             prints one "key<TAB>json" line per field (the
                             attachments' bytes as SHA-256, and their types)
  interop.py show FILE       what a mail reader shows of a message file, read by
                             the email package: subject, sender, note text,
                             attachment names and their bytes' SHA-256, one
                             "key<TAB>json" line each
"""
import email
import email.policy
import hashlib
import json
import re
import mailbox
import sys
from email.message import EmailMessage


def write(folder):
    box = mailbox.Maildir(folder, create=True)
    m = EmailMessage()
    m['From'] = 'Py Thon <py@example.org>'
    m['To'] = 'tester@example.org'
    m['Cc'] = 'First <first@example.org>'
    m['Subject'] = 'Gr\u00fc\u00dfe aus Python'
    m.set_content('Hallo Welt\nzweite Zeile\n')
    m.add_attachment(bytes(range(256)), maintype='application', subtype='octet-stream',
                     filename='bytes.bin')
    raw = m.as_bytes(policy=email.policy.SMTP)
    # Two Cc headers, as some mailers write them.
    raw = raw.replace(b'Cc: First <first@example.org>\r\n',
                      b'Cc: First <first@example.org>\r\nCc: Second <second@example.org>\r\n')
    print(box.add(raw))


def read(path):
    with open(path, 'rb') as f:
        m = email.message_from_binary_file(f, policy=email.policy.default)

    def addresses(name):
        return [a.addr_spec for h in (m.get_all(name) or []) for a in h.addresses]

    def names(name):
        return [a.display_name for h in (m.get_all(name) or []) for a in h.addresses]

    fields = {
        'subject': str(m['subject']),
        'from': addresses('from'),
        'to': addresses('to'),
        'cc': addresses('cc'),
        'bcc': addresses('bcc'),
        'names': names('to') + names('cc'),
        'body': m.get_body(('plain',)).get_content(),
        'attachments': [[p.get_filename(), hashlib.sha256(p.get_payload(decode=True)).hexdigest()]
                        for p in m.iter_attachments()],
        'types': [[p.get_filename(), p.get_content_type(), p.get_content_charset()]
                  for p in m.iter_attachments()],
    }
    for key, value in fields.items():
        print(key + '\t' + json.dumps(value, ensure_ascii=False))


def text_of(data, charset=None):
    """Bytes as a reader shows them: in a declared charset that reads every
    byte (US-ASCII only for 7-bit text), else UTF-8, else windows-1252."""
    if charset and charset not in ('us-ascii', 'ascii', 'utf-8', 'utf8'):
        try:
            return data.decode(charset)
        except (LookupError, UnicodeDecodeError):
            pass
    try:
        return data.decode('utf-8')
    except UnicodeDecodeError:
        return data.decode('cp1252', errors='replace')


def header_text(name, raw):
    """An unstructured header as the default policy shows it: unfolded, raw
    8-bit bytes read as text_of reads them."""
    if any('\udc80' <= c <= '\udcff' for c in raw):
        raw = text_of(raw.encode('ascii', 'surrogateescape'))
    return str(email.policy.default.header_factory(name, ''.join(raw.splitlines())))


def leaves(part):
    """The parts a reader lists, in order: leaves, and attached messages whole."""
    if part.get_content_maintype() == 'message' or not part.is_multipart():
        yield part
        return
    for sub in part.get_payload():
        yield from leaves(sub)


def show(path):
    with open(path, 'rb') as f:
        data = f.read()
    # A reader skips a byte-order mark an editor put before the first field;
    # the email package would take the whole message for its body.
    if data.startswith(b'\xef\xbb\xbf'):
        data = data[3:]
    m = email.message_from_bytes(data, policy=email.policy.default)
    raw = email.message_from_bytes(data, policy=email.policy.compat32)

    def raw_all(name):
        return [v for k, v in raw.raw_items() if k.lower() == name]

    body = m.get_body(('plain',))
    text = ''
    if body is not None:
        text = text_of(body.get_payload(decode=True) or b'', body.get_content_charset())
    text = text.replace('\r\n', '\n')
    if text.endswith('\n'):
        text = text[:-1]
    # A message without text whose body is HTML: the page, which a reader
    # shows as text (the test reads it with w3m).
    html = m.get_body(('related', 'html')) if body is None else None
    if html is not None and html.get_content_type() == 'multipart/related':
        html = html.get_body(('html',))
    page = text_of(html.get_payload(decode=True) or b'', html.get_content_charset()) if html is not None else ''
    subjects, froms = raw_all('subject'), raw_all('from')
    fields = {
        'subject': header_text('subject', subjects[-1]) if subjects else '',
        'from': header_text('x-from', froms[0]) if froms else '',
        'body': text,
        'html': page,
        # A reader shows a file name, not the path some program put there:
        # the provider keeps the last part, where Python gives it whole.
        'attachments': [re.split(r'[/\\]', p.get_filename() or '')[-1] for p in leaves(m) if p is not body],
        # Their decoded bytes as SHA-256 (none for an attached message).
        'digests': [hashlib.sha256(p.get_payload(decode=True) or b'').hexdigest()
                    if p.get_content_maintype() != 'message' else '' for p in leaves(m) if p is not body],
    }
    for key, value in fields.items():
        print(key + '\t' + json.dumps(value, ensure_ascii=False))


if __name__ == '__main__':
    {'write': write, 'read': read, 'show': show}[sys.argv[1]](sys.argv[2])
