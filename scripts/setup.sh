#!/usr/bin/env bash
# Installs, only when missing, the Debian packages needed to build, run and test boardhub.
# Idempotent; run as root (or with sudo) on Debian 12.
set -euo pipefail

packages=(g++ cmake ninja-build tmux pkg-config libjson-c-dev libsqlite3-dev libgtest-dev libpng-dev
          libcrypt-dev libedit-dev sqlite3 clang libclang-rt-14-dev libmicrohttpd-dev
          libturbojpeg0-dev chromium fonts-nanum openssl curl scdoc lintian debootstrap
          bash-completion)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The browser test installs its npm packages itself; npm may come with a Node.js of another
# origin than Debian's, which is as good.
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
