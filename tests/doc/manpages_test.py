#!/usr/bin/env python3
"""The manual pages against the programs they document.

Every option and command that `kelvra --help` and `kelvra-design --help` list
(and the --help of each of their commands, all the way down) has its entry in
the page: the global options under OPTIONS, each command under COMMANDS with
its arguments in its heading and its options in its entry. No option or
command the programs lack is documented. Each page the build made renders
through man(1) without a warning (where man-db is installed).

  manpages_test.py SOURCE_DIR KELVRA KELVRA_DESIGN [BUILT_PAGE...]
"""

import os
import re
import shutil
import subprocess
import sys

BOUND = 30  # seconds for any one program this test runs

failures = []
checks = 0


def check(condition, message):
    global checks
    checks += 1
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def run(args, env=None):
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=BOUND, env=env)


class Command:
    """What one --help says: options, positionals, subcommands."""

    def __init__(self, path):
        self.path = path  # the words after the program's name
        self.options = []  # each a list of names: ["-h", "--help"]
        self.positionals = []
        self.subcommands = []


def read_help(program, path):
    """The command at `path` and, below it, every command it has."""
    result = run([program] + path + ["--help"])
    if result.returncode != 0:
        check(False, f"{' '.join([program] + path)} --help exits with {result.returncode}: {result.stderr}")
        return []
    command = Command(path)
    section = None
    for line in result.stdout.splitlines():
        heading = re.fullmatch(r"(Options|Positionals|Subcommands):", line)
        if heading:
            section = heading.group(1)
            continue
        if not line.strip():
            section = None
            continue
        # An item starts two blanks in; its description may go on below,
        # indented further.
        item = re.match(r"  (\S+)", line)
        if section is None or not item:
            continue
        word = item.group(1)
        if section == "Options" and word.startswith("-"):
            command.options.append(word.split(","))
        elif section == "Positionals":
            command.positionals.append(word)
        elif section == "Subcommands":
            command.subcommands.append(word)
    commands = [command]
    for sub in command.subcommands:
        commands += read_help(program, path + [sub])
    return commands


def sections(page):
    """The page's sections by name, each its text."""
    found = {}
    name = None
    for line in page.splitlines():
        heading = re.fullmatch(r"# (.+)", line)
        if heading:
            name = heading.group(1)
            found[name] = ""
        elif name is not None:
            found[name] += line + "\n"
    return found


def entries(text):
    """The entries of a COMMANDS section: the bold words that start a heading
    line ("password set"), each with its heading and the text below it."""
    found = {}
    current = None
    for line in text.splitlines():
        head = re.match(r"\*([a-z][a-z -]*)\*", line)
        if head:
            current = head.group(1)
            found[current] = [line, ""]
        elif current is not None:
            found[current][1] += line + "\n"
    return found


def bold(name):
    return "*" + name + "*"


def check_page(name, program, page_file):
    try:
        with open(page_file, encoding="utf-8") as f:
            page = f.read()
    except OSError as e:
        check(False, f"{name}: cannot read {page_file}: {e}")
        return
    commands = read_help(program, [])
    if not commands:
        return
    top = commands[0]
    parts = sections(page)
    for needed in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "COMMANDS", "EXIT STATUS", "EXAMPLES", "SEE ALSO"):
        check(needed in parts, f"{name}: the page has no section {needed}")
    options = parts.get("OPTIONS", "")
    documented = entries(parts.get("COMMANDS", ""))
    known = set()
    for names in top.options:
        known.update(names)
        for option in names:
            check(bold(option) in options, f"{name}: OPTIONS does not document {option}")
    paths = set()
    for command in commands[1:]:
        path = " ".join(command.path)
        paths.add(path)
        for names in command.options:
            known.update(names)
        if command.subcommands:
            continue  # documented through the commands below it
        check(path in documented, f"{name}: COMMANDS has no entry for {path!r}")
        heading, text = documented.get(path, ["", ""])
        for positional in command.positionals:
            check(re.search(r"_" + re.escape(positional) + r"_", heading, re.IGNORECASE) is not None,
                  f"{name}: the entry {path!r} does not name its argument {positional} in its heading")
        for names in command.options:
            if "--help" in names:
                continue  # every command's, documented under OPTIONS
            for option in names:
                check(bold(option) in heading + text, f"{name}: the entry {path!r} does not document {option}")
    # Nothing the programs lack.
    for path in documented:
        check(path in paths, f"{name}: COMMANDS documents {path!r}, which {program} does not have")
    for option in sorted(set(re.findall(r"\*(--?[a-z][a-z-]*)\*", page))):
        check(option in known, f"{name}: the page documents {option}, which {program} does not take")


def check_built(page):
    """A page the build made: scdoc's output, and man renders it cleanly."""
    base = os.path.basename(page)
    try:
        with open(page, encoding="utf-8") as f:
            roff = f.read()
    except OSError as e:
        check(False, f"{base}: the build made no page: {e}")
        return
    title, section = base.rsplit(".", 1)
    check(f'.TH "{title}" "{section}"' in roff, f"{base}: not a manual page {title}({section})")
    man = shutil.which("man")
    if man is None or "--warnings" not in run([man, "--help"]).stdout:
        print(f"SKIP: {base}: no man-db to render it with")
        return
    env = dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat")
    rendered = run([man, "--warnings", "-l", page], env=env)
    check(rendered.returncode == 0 and rendered.stderr == "",
          f"{base}: man renders it with warnings (exit {rendered.returncode}):\n{rendered.stderr}")
    check("NAME" in rendered.stdout and title in rendered.stdout, f"{base}: man renders no NAME section")


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    source, kelvra, design = sys.argv[1:4]
    check_page("kelvra(1)", kelvra, os.path.join(source, "doc", "kelvra.1.scd"))
    check_page("kelvra-design(1)", design, os.path.join(source, "doc", "kelvra-design.1.scd"))
    for page in sys.argv[4:]:
        check_built(page)
    print(f"manpages: {checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
