#!/usr/bin/env bash
# Sets up, builds and runs the server on the demo world in demo/ (port 8000, console log).
# The data directory demo/data is created on first run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build -DBOARDHUB_TESTS=OFF
mkdir -p demo/data
exec "$root/build/boardhub" demo/boardhub.ini
