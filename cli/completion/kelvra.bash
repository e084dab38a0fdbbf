# bash completion for kelvra(1).
#
# Subcommands and options are what `kelvra ... --help` lists, so they never
# fall behind the program; profile names come from `kelvra profile list`, and
# message identifiers from `kelvra list` (of the profile the line names).

# The words of one section ("Subcommands" or "Options") of the help of the
# command at the path given ("" for kelvra itself).
_kelvra_help_words()
{
    local section=$1
    shift
    "${_kelvra_program:-kelvra}" "$@" --help 2>/dev/null | awk -v wanted="$section:" '
        /^[A-Z][A-Za-z ]*:$/ { inside = ($0 == wanted); next }
        /^[^ ]/ { inside = 0 }
        inside && /^  [^ ]/ {
            split($1, names, ",")
            for (i in names) print names[i]
        }'
}

# COMPREPLY: the lines of standard input that start with $1, compared as
# plain text. Program output never reaches compgen -W, which would expand
# every word of it (a profile or message named $(...) would run); readline
# quotes what it inserts (-o filenames), so no candidate becomes syntax.
_kelvra_matching()
{
    local prefix=$1 line
    COMPREPLY=()
    while IFS= read -r line; do
        [[ -n $line && ${line:0:${#prefix}} == "$prefix" ]] && COMPREPLY+=("$line")
    done
    compopt -o filenames 2>/dev/null
    return 0
}

_kelvra()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local -a path=() profile=() positionals=()
    local i word IFS=$'\n'
    _kelvra_program=${COMP_WORDS[0]}
    # The subcommand path so far, the profile named, and the arguments given.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
        --profile)
            profile=(--profile "${COMP_WORDS[i + 1]}")
            ((i++))
            continue
            ;;
        --password | --to | --cc | --bcc | --subject | --body | --body-file | --attach | --type | --limit | \
            --account | --as | --file)
            ((i++))
            continue
            ;;
        -*) continue ;;
        esac
        if ((${#positionals[@]} == 0)) &&
            _kelvra_help_words Subcommands "${path[@]}" | grep -qxF -- "$word"; then
            path+=("$word")
        else
            positionals+=("$word")
        fi
    done

    case $prev in
    --profile)
        _kelvra_matching "$cur" < <("$_kelvra_program" profile list 2>/dev/null | sed 's/  (default)$//')
        return
        ;;
    --attach | --body-file | --file)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --password | --to | --cc | --bcc | --subject | --body | --type | --limit | --account | --as)
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        # The global options also follow a subcommand.
        local options
        options=$(_kelvra_help_words Options "${path[@]}")
        ((${#path[@]} == 0)) || options+=$'\n'$(_kelvra_help_words Options | grep -vxF -e -h -e --help -e --version)
        _kelvra_matching "$cur" <<<"$options"
        return
    fi
    local subcommands
    subcommands=$(_kelvra_help_words Subcommands "${path[@]}")
    if [[ -n $subcommands && ${#positionals[@]} -eq 0 ]]; then
        _kelvra_matching "$cur" <<<"$subcommands"
        return
    fi
    local where
    printf -v where '%s ' "${path[@]}"
    case "${where% }:${#positionals[@]}" in
    show:0 | delete:0 | save-attachments:0)
        _kelvra_matching "$cur" < <("$_kelvra_program" "${profile[@]}" list 2>/dev/null | awk '{ print $1 }')
        ;;
    save-attachments:1)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        ;;
    "profile show:0" | "profile check:0")
        _kelvra_matching "$cur" < <("$_kelvra_program" profile list 2>/dev/null | sed 's/  (default)$//')
        ;;
    "profile import:0")
        _kelvra_matching "$cur" <<<$'msmtp\nmbsync\ngit'
        ;;
    esac
}

complete -F _kelvra kelvra
