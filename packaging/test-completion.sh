#!/usr/bin/env bash
# Checks the bash completion of the client and the admin tool against the built programs:
# commands (the client's from its own --help), options, and user and group names read from a
# data folder.
# usage: packaging/test-completion.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
source /usr/share/bash-completion/bash_completion || { echo "bash-completion missing"; exit 1; }
source "$here/completion/boardhub-cli"
source "$here/completion/boardhub-admin"
PATH="$build/tools:$PATH"
data="$(mktemp -d /tmp/boardhub-completion-XXXXXX)"
trap 'rm -rf "$data"' EXIT
printf 'pw\n' | boardhub-admin -d "$data" user add carol >/dev/null
printf 'pw\n' | boardhub-admin -d "$data" user add 김철수 >/dev/null
boardhub-admin -d "$data" group add crew carol >/dev/null

failed=0
expect() { # expected words...
    local want="$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    local f; f=$(complete -p "$1" | sed 's/.*-F \([^ ]*\).*/\1/')
    "$f" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got; got="$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')"
    want="$(printf '%s\n' $want | sort | tr '\n' ' ')"
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$*': got '$got', want '$want'"
        failed=1
    fi
}
expect "get" boardhub-cli -u bob g
expect "listen login ls" boardhub-cli -H 10.0.0.2 -p 8000 l
expect "" boardhub-cli cd        # shell-only commands are not offered
expect "--version" boardhub-cli --v
expect "-f -r -c --continue --whole --piece" boardhub-cli get -
expect "-f -r" boardhub-cli put -
expect "init" boardhub-admin i
expect "fingerprint" boardhub-admin -c /etc/boardhub/boardhub.ini f
expect "add del list show level passwd hash-all" boardhub-admin user ""
expect "carol 김철수" boardhub-admin -d "$data" user level ""
expect "crew" boardhub-admin -d "$data" group members c
expect "--set --add --remove" boardhub-admin -d "$data" group members crew --
expect "carol 김철수" boardhub-admin -d "$data" group members crew --add ""
[ $failed -eq 0 ] && echo "test-completion: ok"
exit $failed
