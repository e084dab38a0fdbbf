#!/usr/bin/env bash
# The bash and zsh completion of kelvra, against the built command, two
# profiles and a message in a home of its own: each line below is a command
# line being completed and what both shells offer for its last word.
#   completion_test.sh BIN-DIR COMPLETION-DIR
set -euo pipefail
BIN=$(cd "$1" && pwd)
COMPLETION=$(cd "$2" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export HOME=$WORK XDG_CONFIG_HOME=$WORK/config XDG_DATA_HOME=$WORK/data XDG_CACHE_HOME=$WORK/cache
export KELVRA_MAPI_PROFILES=$WORK/profiles.ini KELVRA_MAPI_UI=none KELVRA_MAPI_LOG=off
export PATH=$BIN:$PATH
cat >"$KELVRA_MAPI_PROFILES" <<EOF
default = Work Mail
[Home]
mailbox = $WORK/home-mail
localdelivery = yes
[Work Mail]
mailbox = $WORK/work-mail
localdelivery = yes
EOF
chmod 600 "$KELVRA_MAPI_PROFILES"
kelvra send --to me@example.org --body x >/dev/null
kelvra --profile Home send --to me@example.org --body y >/dev/null
WORK_ID=$(kelvra list | cut -d' ' -f1)
HOME_ID=$(kelvra --profile Home list | cut -d' ' -f1)
mkdir "$WORK/saved"

# The words of the command line, then after => what is offered, '|'-joined.
CASES=(
    "kelvra ''                               => send|list|show|save-attachments|delete|count|resolve|pick|details|password|profile"
    "kelvra pro                              => profile"
    "kelvra profile ''                       => list|show|check|import"
    "kelvra profile show ''                  => Work Mail|Home"
    "kelvra --profile ''                     => Work Mail|Home"
    "kelvra profile import ''                => msmtp|mbsync|git"
    "kelvra password ''                      => set|clear"
    "kelvra show ''                          => $WORK_ID"
    "kelvra --profile Home delete ''         => $HOME_ID"
    "kelvra save-attachments $WORK_ID $WORK/sa => $WORK/saved"
    "kelvra send --attach $WORK/saved --attach $WORK/sa => $WORK/saved"
    "kelvra count --u                        => --unread"
    "kelvra list --j                         => --json"
    "kelvra send --to a@example.org --bo     => --body|--body-file"
    "kelvra show $WORK_ID ''                 => "
)

bash_offers() {
    timeout 30 bash --norc --noprofile -c '
        source "$1/kelvra.bash"
        shift
        COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
        _kelvra
        IFS="|"; echo "${COMPREPLY[*]}"' bash "$COMPLETION" "$@"
}

zsh_offers() {
    # The completion system stands in as functions that say what they were
    # given; the matching of the last word is zsh's own, done here.
    timeout 30 zsh -f -c '
        offered=()
        compadd() { [[ $1 == -- ]] && shift; offered+=("$@"); }
        _describe() { local -a e; e=(${(P)4}); offered+=(${e%%:*}); }
        _directories() { offered+=(${words[CURRENT]}*(/)); }
        _files() { offered+=(${words[CURRENT]}*); }
        source "$1/_kelvra" </dev/null >/dev/null 2>&1
        shift
        words=("$@"); CURRENT=$#
        offered=()
        _kelvra
        print -r -- ${(j:|:)${(M)offered:#${words[CURRENT]}*}}' zsh "$COMPLETION" "$@"
}

failures=0
for case in "${CASES[@]}"; do
    line=${case%%=>*}
    expected=${case#*=> }
    eval "words=($line)"
    for shell in bash zsh; do
        got=$("${shell}_offers" "${words[@]}" 2>&1) || true
        if [[ $got != "$expected" ]]; then
            echo "FAIL ($shell): $line" >&2
            echo "  expected: $expected" >&2
            echo "  offered:  $got" >&2
            failures=$((failures + 1))
        fi
    done
done
# Hostile names: profiles named as shell commands, and a message file named
# one. Completing them offers them as they are and runs nothing.
HOSTILE=('$(touch PWNED)' '`touch PWNED2`' 'x; touch PWNED3' '* ?' 'a&b|c>PWNED4')
{
    echo "default = \$(touch PWNED)"
    for name in "${HOSTILE[@]}"; do
        printf '[%s]\nmailbox = %s\nlocaldelivery = yes\n' "$name" "$WORK/hostile-mail"
    done
} >"$WORK/hostile.ini"
chmod 600 "$WORK/hostile.ini"
mkdir -p "$WORK/hostile-mail/new" "$WORK/hostile-mail/cur" "$WORK/hostile-mail/tmp"
printf 'From: a@example.org\nSubject: hostile\n\nx\n' >"$WORK/hostile-mail/new/\$(id>PWNED_ID)"
touch "$WORK/PWNED5.txt" # a file a glob would find
hostile_id=$(KELVRA_MAPI_PROFILES=$WORK/hostile.ini kelvra list | cut -d' ' -f1)
joined=$(IFS='|'; echo "${HOSTILE[*]}")
check() { # SHELL EXPECTED WORDS...
    local shell=$1 expected=$2 got
    shift 2
    got=$(cd "$WORK" && KELVRA_MAPI_PROFILES=$WORK/hostile.ini "${shell}_offers" "$@" 2>&1) || true
    if [[ $got != "$expected" ]]; then
        echo "FAIL ($shell): $*" >&2
        echo "  expected: $expected" >&2
        echo "  offered:  $got" >&2
        failures=$((failures + 1))
    fi
}
for shell in bash zsh; do
    check "$shell" "$joined" kelvra --profile ''
    check "$shell" "$joined" kelvra profile show ''
    check "$shell" '$(touch PWNED)' kelvra --profile '$'
    check "$shell" "$hostile_id" kelvra --profile '$(touch PWNED)' show ''
done
if [[ $hostile_id != '$(id>PWNED_ID)' ]]; then
    echo "FAIL: the hostile message is listed as $hostile_id" >&2
    failures=$((failures + 1))
fi
for made in "$WORK"/PWNED PWNED "$WORK"/PWNED2 "$WORK"/PWNED3 "$WORK"/PWNED4 "$WORK"/PWNED_ID; do
    if [[ -e $made ]]; then
        echo "FAIL: completion ran a command: $made exists" >&2
        failures=$((failures + 1))
    fi
done

echo "completion: ${#CASES[@]} command lines and the hostile names, $failures failures"
((failures == 0))
