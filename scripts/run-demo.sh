#!/usr/bin/env bash
# Sets up, builds and runs the server on the demo world in demo/ (port 8000, console log).
# The data directory demo/data is created and seeded on first run with the demo accounts
# (through boardhub-admin) and a copy of demo/share, which the server serves and writes into
# (demo/data/share), so the files kept in the repository stay as they are. Delete demo/data
# to start again from scratch.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build -DBOARDHUB_TESTS=OFF

admin="$root/build/tools/boardhub-admin"
if [ ! -e demo/data/share ]; then
    echo "run-demo: copying demo/share to demo/data/share, the share the demo serves"
    mkdir -p demo/data
    cp -a demo/share demo/data/share.new
    rm -rf demo/data/share.new/downloads
    mv demo/data/share.new demo/data/share
fi
if [ ! -e demo/data/users.db ]; then
    echo "run-demo: creating the demo accounts in demo/data"
    # name level password: levels 9 and 1 bypass the access lists, 0 is suspended.
    while read -r name level; do
        echo "$name" | "$admin" -d demo/data user add "$name" --level "$level" >/dev/null
    done <<'USERS'
admin 9
alice 5
bob 5
viewer 1
mallory 0
USERS
fi
if [ ! -e demo/data/group.db ]; then
    "$admin" -d demo/data group add staff alice,bob >/dev/null
fi
# A larger file to watch a download in pieces; generated, not kept in the repository.
if [ ! -e demo/data/share/downloads/sample-8M.bin ]; then
    mkdir -p demo/data/share/downloads
    head -c 8388608 /dev/urandom > demo/data/share/downloads/sample-8M.bin
fi
exec "$root/build/boardhub" demo/boardhub.ini
