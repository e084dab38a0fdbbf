"""Python's own mail packages, as the other side of the provider's tests.

  interop.py write MAILDIR   adds a message to a Maildir with mailbox.Maildir
  interop.py read FILE       parses a message file with the email package and
                             prints one "key<TAB>json" line per field
"""
import email
import email.policy
import hashlib
import json
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

    fields = {
        'subject': str(m['subject']),
        'from': addresses('from'),
        'to': addresses('to'),
        'cc': addresses('cc'),
        'bcc': addresses('bcc'),
        'body': m.get_body(('plain',)).get_content(),
        'attachments': [[p.get_filename(), hashlib.sha256(p.get_content()).hexdigest()]
                        for p in m.iter_attachments()],
    }
    for key, value in fields.items():
        print(key + '\t' + json.dumps(value, ensure_ascii=False))


if __name__ == '__main__':
    {'write': write, 'read': read}[sys.argv[1]](sys.argv[2])
