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

"$root/scripts/demo-world.sh" "$root" "$root" "$root/build/tools/boardhub-admin"
exec "$root/build/boardhub" demo/boardhub.ini
