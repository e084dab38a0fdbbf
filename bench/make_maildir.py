#!/usr/bin/env python3
"""Writes a Maildir that looks like a real mailbox, for the benchmarks.

  make_maildir.py FOLDER [COUNT]      (COUNT defaults to 100000)

The mix, from one fixed seed so that every run measures the same folder:
- sizes around a median of 3.4 KB (a log-normal body), 1% of the messages
  with a base64 attachment of 20-60 KB;
- the headers of mail that went through a few servers: Return-Path,
  Received lines, DKIM-Signature, Authentication-Results, From, To with one
  to four addresses, Cc on a third, Subject, Date, Message-ID, List-Id on
  mailing-list mail, References and In-Reply-To on replies, MIME headers;
- names and subjects in encoded words on one message in ten;
- 30% unread: a third of those in new/, the rest in cur/ without the S flag;
- file names as delivery agents make them, with the ,S= size field on some;
- modification times spread over two years, in order of delivery.
"""
import base64
import math
import os
import random
import sys

FIRST = ["Ann", "Bob", "Carla", "Dieter", "Eve", "Farid", "Grace", "Hiroshi", "Ines", "Jürgen", "Kofi",
         "Lena", "Mateo", "Nadia", "Olav", "Priya", "Quentin", "Rosa", "Sven", "Tomás", "Ute", "Viktor"]
LAST = ["Example", "Müller", "Smith", "García", "Nakamura", "Okafor", "Larsen", "Dubois", "Kowalski",
        "Rossi", "Novák", "Andersson", "Fischer", "Silva", "Ivanova", "Brown"]
DOMAINS = ["example.org", "example.com", "mail.example.net", "lists.example.org", "corp.example"]
WORDS = ("the report meeting budget draft review release notes for next week please find attached "
         "thanks again about our call quarterly figures update on project plan minutes agenda question "
         "invoice schedule travel holiday offer patch build failure results summary").split()
LISTS = ["dev.lists.example.org", "announce.example.com", "users.lists.example.org"]


def encoded(text):
    return "=?utf-8?b?" + base64.b64encode(text.encode()).decode() + "?="


def person(rng):
    first, last = rng.choice(FIRST), rng.choice(LAST)
    address = "%s.%s@%s" % (first.lower(), last.lower(), rng.choice(DOMAINS))
    address = address.encode("ascii", "ignore").decode()
    name = "%s %s" % (first, last)
    if not name.isascii():
        name = encoded(name) if rng.random() < 0.7 else '"%s"' % name
    return "%s <%s>" % (name, address), address


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def body_text(rng, size):
    lines, total = [], 0
    while total < size:
        line = sentence(rng, rng.randint(6, 13)).capitalize() + "."
        lines.append(line)
        total += len(line) + 2
    return "\r\n".join(lines) + "\r\n"


def message(rng, i, when):
    sender, sender_address = person(rng)
    to = [person(rng)[0] for _ in range(rng.choice([1, 1, 1, 2, 2, 3, 4]))]
    subject = sentence(rng, rng.randint(3, 9)).capitalize()
    reply = rng.random() < 0.4
    if reply:
        subject = "Re: " + subject
    if rng.random() < 0.1:
        subject = encoded(subject + " – ü")
    domain = sender_address.split("@")[1]
    mid = "<%d.%d@%s>" % (when, i, domain)
    h = ["Return-Path: <%s>" % sender_address]
    for hop in range(rng.randint(2, 4)):
        h.append("Received: from mx%d.%s (mx%d.%s [192.0.2.%d])\r\n\tby mail.example.org (Postfix) with ESMTPS id "
                 "%X\r\n\tfor <me@example.org>; %s" % (hop, domain, hop, domain, rng.randint(1, 254),
                                                      rng.getrandbits(40), date(when)))
    h.append("DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=%s; s=mail;\r\n\th=from:to:subject:date;"
             " bh=%s;\r\n\tb=%s" % (domain, base64.b64encode(rng.randbytes(32)).decode(),
                                     base64.b64encode(rng.randbytes(96)).decode()))
    h.append("Authentication-Results: mail.example.org; dkim=pass header.d=%s; spf=pass" % domain)
    h.append("From: " + sender)
    h.append("To: " + ",\r\n ".join(to))
    if rng.random() < 0.33:
        h.append("Cc: " + ", ".join(person(rng)[0] for _ in range(rng.randint(1, 3))))
    h.append("Subject: " + subject)
    h.append("Date: " + date(when))
    h.append("Message-ID: " + mid)
    if reply:
        refs = ["<%d.%d@%s>" % (when - rng.randint(100, 100000), rng.randint(0, 10 ** 6), rng.choice(DOMAINS))
                for _ in range(rng.randint(1, 4))]
        h.append("In-Reply-To: " + refs[-1])
        h.append("References: " + "\r\n ".join(refs))
    if rng.random() < 0.3:
        lst = rng.choice(LISTS)
        h.append("List-Id: <%s>" % lst)
        h.append("List-Unsubscribe: <mailto:leave@%s>" % lst)
    h.append("MIME-Version: 1.0")
    # Bodies around 2 KB, so that whole messages sit around 3.4 KB.
    size = int(math.exp(rng.gauss(math.log(1900), 0.6)))
    text = body_text(rng, size)
    if rng.random() < 0.01:
        boundary = "b%x" % rng.getrandbits(48)
        h.append('Content-Type: multipart/mixed; boundary="%s"' % boundary)
        blob = base64.encodebytes(rng.randbytes(rng.randint(15000, 45000))).decode().replace("\n", "\r\n")
        body = ("--%s\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n%s--%s\r\nContent-Type: application/pdf; "
                "name=report.pdf\r\nContent-Disposition: attachment; filename=report.pdf\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\n%s--%s--\r\n" % (boundary, text, boundary, blob, boundary))
    else:
        h.append("Content-Type: text/plain; charset=utf-8")
        h.append("Content-Transfer-Encoding: 8bit")
        body = text
    return ("\r\n".join(h) + "\r\n\r\n" + body).encode()


def date(when):
    import time
    return time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(when))


def main():
    folder = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    rng = random.Random(20240615)
    for sub in ("tmp", "new", "cur"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    start = 1650000000
    step = 2 * 365 * 86400 // max(count, 1)
    for i in range(count):
        when = start + i * step + rng.randint(0, max(step - 1, 0))
        data = message(rng, i, when)
        name = "%d.M%06dP%dQ%d.mail.example.org" % (when, rng.randint(0, 999999), 1000 + i % 5000, i)
        if rng.random() < 0.5:
            name += ",S=%d" % len(data)
        roll = rng.random()
        if roll < 0.1:
            path = os.path.join(folder, "new", name)
        elif roll < 0.3:
            path = os.path.join(folder, "cur", name + ":2,")
        else:
            path = os.path.join(folder, "cur", name + ":2," + ("RS" if rng.random() < 0.2 else "S"))
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (when, when))


if __name__ == "__main__":
    main()
