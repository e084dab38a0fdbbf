#!/usr/bin/env bash
# Kelvra's main job, shown with the kelvra command in a temporary folder:
# the user's own mail is never touched, and no mail leaves the machine.
#   cli/demo.sh FOLDER-WITH-KELVRA
set -euo pipefail
BIN=$(cd "${1:?usage: demo.sh FOLDER-WITH-KELVRA}" && pwd)
export PATH="$BIN:$PATH"

DEMO=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-demo.XXXXXX")
# A profile file of the demo's own: the mailbox and address book of the
# embedded default (under XDG_DATA_HOME, here inside the demo's folder),
# a sender of its own, and mail to others delivered into that mailbox on
# purpose, so that the demo sends nothing to anyone, whatever sendmail the
# machine has.
export XDG_DATA_HOME="$DEMO/data"
export XDG_CONFIG_HOME="$DEMO/config"
unset KELVRA_MAPI_PROFILES
export TMPDIR="$DEMO/tmp"
export KELVRA_MAPI_UI=none
mkdir -p "$TMPDIR" "$XDG_DATA_HOME/kelvra/contacts" "$XDG_CONFIG_HOME/kelvra" "$DEMO/saved"
cd "$DEMO"
cat > "$XDG_CONFIG_HOME/kelvra/profiles.ini" <<'INI'
[Demo]
name = Demo User
address = demo@example.org
localdelivery = yes
INI

cat > "$XDG_DATA_HOME/kelvra/contacts/team.vcf" <<'VCF'
BEGIN:VCARD
VERSION:3.0
FN:Ann Example
N:Example;Ann;;;
NICKNAME:annie
EMAIL:ann@example.org
END:VCARD
BEGIN:VCARD
VERSION:3.0
FN:Bob Example
N:Example;Bob;;;
EMAIL:bob@example.org
END:VCARD
VCF
printf 'Revenue\t1200\nCosts\t800\n' > report.tsv

# Prints a command as one would type it, then runs it.
step() {
    local shown="" a
    for a in "$@"; do
        if [[ $a =~ ^[A-Za-z0-9_./:@=+,-]+$ ]]; then
            shown+=" $a"
        else
            shown+=" '${a//\'/\'\\\'\'}'"
        fi
    done
    printf '\n$%s\n' "$shown"
    "$@"
}

echo "Kelvra demo in $DEMO"
step kelvra send --to annie --cc "Bob Example" --subject "Quarterly report" \
    --body "Hello Ann, the figures are attached." --attach report.tsv
step kelvra list
ID=$(kelvra --json list | python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["id"])')
step kelvra show "$ID" --peek
step kelvra save-attachments "$ID" saved
step cmp report.tsv saved/report.tsv
echo "(the saved attachment is the original, byte for byte)"
step kelvra count --unread
step kelvra resolve annie
step kelvra delete "$ID"
step kelvra count

cat <<DONE

The mailbox was the Maildir $XDG_DATA_HOME/kelvra/Mail (sent mail in its .Sent folder).
To use kelvra on your own mail, put it on your PATH (cmake --install) and run it without these
settings: without a profile file, mail is kept in ~/.local/share/kelvra/Mail and goes out
through the system's sendmail (/usr/sbin/sendmail) when one is installed; a profile file
(~/.config/kelvra/profiles.ini) can name another Maildir, an SMTP server and an address book
(man 5 kelvra-profiles; kelvra profile import takes them from msmtp, mbsync or git).
How mail is kept, read, saved and deleted: man 7 kelvra-provider.
Try: kelvra --help
DONE
if [ -z "${KELVRA_DEMO_KEEP:-}" ]; then
    rm -rf "$DEMO"
fi
