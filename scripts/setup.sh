#!/usr/bin/env bash
# Installs, only when missing, the Debian packages that boardhub needs on Debian 12.
#   scripts/setup.sh          what building and running need (scripts/run-demo.sh)
#   scripts/setup.sh --test   that, and every tool the test command uses (scripts/test.sh and
#                             what it runs: the sanitizer and fuzz builds, the package and
#                             install tests, the browser test)
# Idempotent; run as root (or with sudo). Checked on a debootstrap minbase root.
set -euo pipefail

run_packages=(g++ cmake ninja-build pkg-config libjson-c-dev libsqlite3-dev libpng-dev
              libcrypt-dev libedit-dev libmicrohttpd-dev libturbojpeg0-dev libgnutls28-dev sqlite3)
# By tool: gtest (unit and e2e tests); clang and its runtime (fuzzing); scdoc, dpkg-dev (cpack's
# dpkg-shlibdeps), man-db, lintian (the package test); debootstrap, iproute2 (the install test's
# root and the loopback of its network namespace); openssl, curl (the gateway's TLS test);
# e2fsprogs (chattr, a database read-only even for root); bash-completion (completion test);
# chromium, fonts-nanum, npm (the browser test); tmux (the shell tests and the README tour).
test_packages=(libgtest-dev clang libclang-rt-14-dev scdoc dpkg-dev man-db lintian debootstrap
               iproute2 openssl curl e2fsprogs bash-completion chromium fonts-nanum tmux)

packages=("${run_packages[@]}")
case "${1:-}" in
    "") ;;
    --test) packages+=("${test_packages[@]}") ;;
    *) echo "usage: scripts/setup.sh [--test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    # dpkg-query complains on standard error about a package it has never seen: that is the
    # "missing" answer here.
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The browser test installs its npm packages itself; npm may come with a Node.js of another
# origin than Debian's, which is as good.
if [ "${1:-}" = --test ] && ! command -v npm >/dev/null; then missing+=(npm); fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
