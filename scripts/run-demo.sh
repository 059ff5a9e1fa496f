#!/usr/bin/env bash
# Sets up, builds and runs the server on the demo world in demo/ (port 8000, console log).
# The data directory demo/data is created and seeded on first run with the demo accounts
# (through boardhub-admin); delete demo/data to start again from scratch.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build -DBOARDHUB_TESTS=OFF

admin="$root/build/tools/boardhub-admin"
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
if [ ! -e demo/share/downloads/sample-8M.bin ]; then
    mkdir -p demo/share/downloads
    head -c 8388608 /dev/urandom > demo/share/downloads/sample-8M.bin
fi
exec "$root/build/boardhub" demo/boardhub.ini
