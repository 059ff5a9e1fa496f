#!/usr/bin/env bash
# Builds the .deb from a build tree with cpack and checks what it holds: the three programs,
# the configuration as a conffile, the unit, the maintainer scripts and the dependencies.
# usage: packaging/test-deb.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
out="$(mktemp -d /tmp/boardhub-deb-XXXXXX)"
trap 'rm -rf "$out"' EXIT

fail() { echo "test-deb: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB --config CPackConfig.cmake -B "$out" >"$out/cpack.log" 2>&1) \
    || { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb="$(ls "$out"/boardhub_*.deb 2>/dev/null | head -1)"
[ -n "$deb" ] || fail "no package in $out"
echo "package: $(basename "$deb")"

contents="$(dpkg-deb -c "$deb")"
echo "$contents"
for path in ./usr/sbin/boardhub ./usr/bin/boardhub-cli ./usr/sbin/boardhub-admin \
            ./etc/boardhub/boardhub.ini ./lib/systemd/system/boardhub.service; do
    grep -q " $path\$" <<<"$contents" || fail "missing $path"
done

info="$(dpkg-deb -I "$deb")"
grep -q "Package: boardhub" <<<"$info" || fail "wrong package name"
for dep in libjson-c5 libsqlite3-0 libpng16-16; do
    grep -q "Depends:.*$dep" <<<"$info" || fail "no dependency on $dep"
done

mkdir "$out/control" "$out/root"
dpkg-deb -e "$deb" "$out/control"
dpkg-deb -x "$deb" "$out/root"
grep -qx "/etc/boardhub/boardhub.ini" "$out/control/conffiles" || fail "configuration is no conffile"
for script in postinst prerm postrm; do
    [ -x "$out/control/$script" ] || fail "no executable $script"
    sh -n "$out/control/$script" || fail "$script is not valid sh"
done
grep -q "useradd" "$out/control/postinst" || fail "postinst creates no user"
unit="$out/root/lib/systemd/system/boardhub.service"
for line in "ExecStart=/usr/sbin/boardhub /etc/boardhub/boardhub.ini" "User=boardhub" \
            "SupplementaryGroups=video" "KillSignal=SIGINT" "NoNewPrivileges=yes" \
            "ProtectSystem=strict" "ReadWritePaths=/var/lib/boardhub"; do
    grep -qx "$line" "$unit" || fail "unit lacks '$line'"
done
if grep -q "^PrivateDevices=yes" "$unit"; then fail "PrivateDevices hides the camera"; fi
echo "test-deb: ok"
