#!/usr/bin/env bash
# Runs the README's five-minute tour exactly as written, in order, against a demo world of its
# own, and fails on the first command that fails. The commands are read from README.md itself:
# each indented block of the tour section that follows a marker comment is run,
#   <!-- tour: run -->                      lines run in one bash (state carries over); each
#                                           must succeed ("..., in the repository": run there)
#   <!-- tour: refused -->                  each line must fail
#   <!-- tour: shell USER[, in the repository] -->
#                                           a line without a prompt opens USER's shell in a
#                                           terminal (tmux); "boardhub:USER:PATH> CMD" lines wait
#                                           for that exact prompt, then type CMD
# A comment "password: WORD" on a line types WORD (twice) on its standard input. The shells'
# screens must show no error; a shell left open is ended with Ctrl-D and must exit with 0.
# Usage: run.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
_t_src=$(cd "$1" && pwd)
_t_build=$(cd "$2" && pwd)
_t_work=$(mktemp -d /tmp/boardhub-tour.XXXXXX)
_t_repo=$_t_work/repo
_t_server=
_t_shells=()

_t_cleanup() {
    local s
    for s in "${_t_shells[@]}"; do
        tmux -L "tour$$-$s" kill-server 2>/dev/null
        rm -f "${TMUX_TMPDIR:-/tmp}/tmux-$(id -u)/tour$$-$s"
    done
    if [ -n "$_t_server" ]; then
        kill -INT "$_t_server" 2>/dev/null
        wait "$_t_server" 2>/dev/null
    fi
    # The shells' processes may still be ending.
    rm -rf "$_t_work" 2>/dev/null || { sleep 1; rm -rf "$_t_work"; }
}
trap _t_cleanup EXIT

_t_fail() {
    echo "tour: FAILED: $*" >&2
    local s
    for s in "${_t_shells[@]}"; do
        echo "---- screen of shell $s ----" >&2
        tmux -L "tour$$-$s" capture-pane -p -S - -t tour >&2 2>/dev/null
    done
    exit 1
}

# ---- the demo world, as scripts/run-demo.sh makes it, on a free port ----
mkdir -p "$_t_repo/demo" "$_t_work/home"
ln -s "$_t_build" "$_t_repo/build"
"$_t_src/scripts/demo-world.sh" "$_t_src" "$_t_repo" "$_t_build/tools/boardhub-admin" >/dev/null \
    || _t_fail "cannot make the demo world"

cd "$_t_repo" || exit 1
export HOME=$_t_work/home LC_ALL=C.UTF-8
unset BOARDHUB_PASSWORD BOARDHUB_USER BOARDHUB_HOST XDG_STATE_HOME
command -v tmux >/dev/null || _t_fail "tmux is needed to drive the tour's shells (apt-get install tmux)"
# Whether process $1 holds the listening TCP socket of port $2.
_t_listens() {
    local inodes
    inodes=$(ls -l "/proc/$1/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\]$/\1/p')
    [ -n "$inodes" ] && awk -v p="$(printf ':%04X' "$2")" '$4 == "0A" && substr($2, length($2) - 4) == p { print $10 }' \
        /proc/net/tcp | grep -qxF -f <(echo "$inodes")
}
# A port that is free, tried again when it is taken: the server holds it (not some other
# program answering there), then answers.
for _t_try in 1 2 3 4 5 6 7 8; do
    _t_port=$((20000 + RANDOM % 30000))
    sed -e "s/^port = 8000$/port = $_t_port/" -e 's|^camera = .*|camera = NONE|' \
        "$_t_src/demo/boardhub.ini" > "$_t_repo/demo/boardhub.ini"
    grep -q "^port = $_t_port$" "$_t_repo/demo/boardhub.ini" || _t_fail "no 'port = 8000' in demo/boardhub.ini"
    export BOARDHUB_PORT=$_t_port
    "$_t_build/boardhub" demo/boardhub.ini > "$_t_work/server.log" 2>&1 &
    _t_server=$!
    for _t_i in $(seq 1 300); do
        kill -0 "$_t_server" 2>/dev/null || break
        if _t_listens "$_t_server" "$_t_port" &&
            "$_t_build/tools/boardhub-cli" hello >/dev/null 2>&1; then
            break 2
        fi
        sleep 0.1
    done
    kill -INT "$_t_server" 2>/dev/null
    wait "$_t_server" 2>/dev/null
    _t_server=
done
[ -n "$_t_server" ] || { cat "$_t_work/server.log" >&2; _t_fail "the server did not start"; }

# ---- the tour's blocks, in order ----
_t_blocks=$_t_work/blocks
awk '
    /^## A five-minute tour/ { t = 1; next }
    t && /^## / { exit }
    !t { next }
    /^<!-- tour: .* -->$/ { kind = substr($0, 12, length($0) - 15); next }
    /^    / { if (kind != "") { print kind "\t" substr($0, 5); n++ } next }
    /[^[:space:]]/ { kind = "" }
    END { if (n < 10) exit 1 }
' "$_t_src/README.md" > "$_t_blocks" || _t_fail "no tour found in README.md"

# The screen of a shell without trailing blanks; its last line.
_t_screen() { tmux -L "tour$$-$1" capture-pane -p -S - -t tour | sed -e 's/[[:space:]]*$//'; }
_t_last_line() { _t_screen "$1" | grep -v '^$' | tail -n 1; }
# Waits (60 s at most) until the last line of shell $1 is the prompt $2 (a regular expression).
_t_wait_prompt() {
    local i
    for i in $(seq 1 600); do
        [[ "$(_t_last_line "$1")" =~ ^$2$ ]] && return 0
        [ -e "$_t_work/$1.status" ] && _t_fail "shell $1 ended (status $(cat "$_t_work/$1.status")) before the prompt '$2'"
        sleep 0.1
    done
    _t_fail "shell $1: no prompt '$2' (last line: '$(_t_last_line "$1")')"
}
_t_check_screen() {
    if _t_screen "$1" | grep -q 'boardhub-cli:'; then _t_fail "shell $1 showed an error"; fi
}
_t_wait_exit() {
    local i
    for i in $(seq 1 300); do
        if [ -e "$_t_work/$1.status" ]; then
            [ "$(cat "$_t_work/$1.status")" = 0 ] || _t_fail "shell $1 exited with $(cat "$_t_work/$1.status")"
            return 0
        fi
        sleep 0.1
    done
    _t_fail "shell $1 did not end"
}
# Standard input for a line: the word after "password:" in its comment, twice; else nothing.
_t_answers() {
    if [[ "$1" =~ \#.*password[^:]*:\ *([^ ]+) ]]; then
        printf '%s\n%s\n' "${BASH_REMATCH[1]}" "${BASH_REMATCH[1]}"
    fi
}

_t_open=()
_t_n=0
while IFS=$'\t' read -r -u 9 _t_kind _t_line; do
    _t_n=$((_t_n + 1))
    echo "tour: [$_t_kind] $_t_line"
    case "$_t_kind" in
    run*)
        [[ "$_t_kind" == *"in the repository"* ]] && cd "$_t_repo"
        eval "$_t_line" < <(_t_answers "$_t_line") || _t_fail "'$_t_line' failed with status $?"
        ;;
    refused)
        if eval "$_t_line" < /dev/null; then _t_fail "'$_t_line' succeeded; it should be refused"; fi
        ;;
    shell*)
        _t_user=${_t_kind#shell }
        _t_user=${_t_user%%,*}
        if [[ "$_t_line" =~ ^boardhub:$_t_user:([^>]*)\>\ (.*)$ ]]; then
            _t_path=${BASH_REMATCH[1]}
            _t_typed=${BASH_REMATCH[2]}
            _t_wait_prompt "$_t_user" "boardhub:$_t_user:$_t_path>"
            tmux -L "tour$$-$_t_user" send-keys -t tour -l "$_t_typed"
            tmux -L "tour$$-$_t_user" send-keys -t tour Enter
            if [[ "$_t_typed" =~ ^(quit|exit)$ ]]; then
                _t_wait_exit "$_t_user"
            else
                # The command is done when a prompt is back.
                sleep 0.2
                _t_wait_prompt "$_t_user" "boardhub:$_t_user:[^>]*>"
            fi
            _t_check_screen "$_t_user"
        else
            # Opens the shell in a terminal of its own, with this bash's variables.
            _t_dir=$PWD
            [[ "$_t_kind" == *"in the repository"* ]] && _t_dir=$_t_repo
            _t_vars=$(declare -p $(compgen -v | grep -E '^[a-z][a-z0-9_]*$') 2>/dev/null)
            # The status file appears whole (written aside, then renamed): a reader that sees
            # it never reads it empty.
            printf '%s\ncd %q\n%s\necho $? > %q && mv %q %q\n' "$_t_vars" "$_t_dir" "$_t_line" \
                "$_t_work/$_t_user.status.new" "$_t_work/$_t_user.status.new" \
                "$_t_work/$_t_user.status" > "$_t_work/$_t_user.sh"
            rm -f "$_t_work/$_t_user.status"
            _t_shells+=("$_t_user")
            tmux -L "tour$$-$_t_user" -f /dev/null new-session -d -s tour -x 120 -y 40 \
                "bash $_t_work/$_t_user.sh; sleep 600" || _t_fail "cannot start tmux"
            _t_wait_prompt "$_t_user" "boardhub:$_t_user:[^>]*>"
            _t_check_screen "$_t_user"
        fi
        ;;
    *) _t_fail "unknown block kind '$_t_kind'" ;;
    esac
done 9< "$_t_blocks"

# The shells still open: no error on their screens, and Ctrl-D ends them with status 0.
for _t_s in "${_t_shells[@]}"; do
    [ -e "$_t_work/$_t_s.status" ] && continue
    _t_check_screen "$_t_s"
    tmux -L "tour$$-$_t_s" send-keys -t tour C-d
    _t_wait_exit "$_t_s"
done
_t_screen alice | grep -q 'message from bob: coffee?' || _t_fail "alice's shell did not show bob's message"
_t_screen bob | grep -q 'message from alice: yes' || _t_fail "bob's shell did not show alice's answer"
for _t_s in "${_t_shells[@]}"; do
    echo "---- screen of shell $_t_s ----"
    _t_screen "$_t_s" | grep -v "^$"
done
echo "tour: all $_t_n lines ran as written"
