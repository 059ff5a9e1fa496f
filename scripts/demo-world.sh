#!/usr/bin/env bash
# Makes the demo world where demo/boardhub.ini names its share and data folders, relative to
# DEST: a copy of SRC/demo/share (so the tracked files stay as they are), the demo accounts,
# the group staff and an 8 MiB sample file. What exists already is kept. ADMIN is the
# boardhub-admin to use.
# usage: scripts/demo-world.sh SRC DEST ADMIN
set -euo pipefail
src="$1" dest="$2" admin="$3"
share=$(sed -n 's/^share *= *//p' "$src/demo/boardhub.ini")
data=$(sed -n 's/^data *= *//p' "$src/demo/boardhub.ini")
if [ -z "$share" ] || [ -z "$data" ]; then
    echo "demo-world: no share or data in $src/demo/boardhub.ini" >&2
    exit 1
fi
cd "$dest"
if [ ! -e "$share" ]; then
    echo "demo-world: copying demo/share to $share, the share the demo serves"
    mkdir -p "$(dirname "$share")"
    cp -a "$src/demo/share" "$share.new"
    rm -rf "$share.new/downloads"
    mv "$share.new" "$share"
fi
mkdir -p "$data"
if [ ! -e "$data/users.db" ]; then
    echo "demo-world: creating the demo accounts in $data"
    # name level password: levels 9 and 1 bypass the access lists, 0 is suspended.
    while read -r name level; do
        echo "$name" | "$admin" -d "$data" user add "$name" --level "$level" >/dev/null
    done <<'USERS'
admin 9
alice 5
bob 5
viewer 1
mallory 0
USERS
fi
[ -e "$data/group.db" ] || "$admin" -d "$data" group add staff alice,bob >/dev/null
# A larger file to watch a download in pieces; generated, not kept in the repository.
if [ ! -e "$share/downloads/sample-8M.bin" ]; then
    mkdir -p "$share/downloads"
    head -c 8388608 /dev/urandom > "$share/downloads/sample-8M.bin"
fi
