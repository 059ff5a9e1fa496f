#!/usr/bin/env bash
# Builds the .deb from a build tree with cpack and checks what it holds: the three programs,
# the configuration as a conffile, the unit, users and folders, man pages, completion, the
# documentation, the maintainer scripts and the dependencies; then runs lintian on it (when
# installed), which must report no error or warning.
# usage: packaging/test-deb.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
out="$(mktemp -d /tmp/boardhub-deb-XXXXXX)"
trap 'rm -rf "$out"' EXIT

fail() { echo "test-deb: $*" >&2; exit 1; }
# Each tool this test runs, with the package that brings it (scripts/setup.sh --test).
need() { command -v "$1" >/dev/null || fail "$1 is missing: apt-get install $2 (or scripts/setup.sh --test)"; }
need cpack cmake
need dpkg-shlibdeps dpkg-dev
need man man-db
need lintian lintian

(cd "$build" && cpack -G DEB --config CPackConfig.cmake -B "$out" >"$out/cpack.log" 2>&1) \
    || { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb="$(ls "$out"/boardhub_*.deb 2>/dev/null | head -1)"
[ -n "$deb" ] || fail "no package in $out"
echo "package: $(basename "$deb")"

contents="$(dpkg-deb -c "$deb")"
echo "$contents"
for path in ./usr/sbin/boardhub ./usr/bin/boardhub-cli ./usr/sbin/boardhub-admin \
            ./etc/boardhub/boardhub.ini ./lib/systemd/system/boardhub.service \
            ./usr/sbin/boardhub-web ./lib/systemd/system/boardhub-web.service \
            ./usr/lib/sysusers.d/boardhub-web.conf ./usr/share/man/man8/boardhub-web.8.gz \
            ./usr/share/boardhub/www/index.html ./usr/share/boardhub/www/app.js \
            ./usr/share/boardhub/www/style.css ./usr/share/boardhub/www/icon.svg \
            ./usr/lib/sysusers.d/boardhub.conf ./usr/lib/tmpfiles.d/boardhub.conf \
            ./usr/share/man/man8/boardhub.8.gz ./usr/share/man/man5/boardhub.ini.5.gz \
            ./usr/share/man/man1/boardhub-cli.1.gz ./usr/share/man/man8/boardhub-admin.8.gz \
            ./usr/share/bash-completion/completions/boardhub-cli \
            ./usr/share/bash-completion/completions/boardhub-admin \
            ./usr/share/doc/boardhub/copyright ./usr/share/doc/boardhub/changelog.gz; do
    grep -q " $path\$" <<<"$contents" || fail "missing $path"
done

info="$(dpkg-deb -I "$deb")"
grep -q "Package: boardhub" <<<"$info" || fail "wrong package name"
for dep in libc6 libstdc++6 libjson-c5 libsqlite3-0 libpng16-16 libmicrohttpd12 libturbojpeg0 systemd; do
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
grep -q "systemd-sysusers.* boardhub.conf" "$out/control/postinst" || fail "postinst creates no user"
grep -q "systemd-tmpfiles.* boardhub.conf" "$out/control/postinst" || fail "postinst creates no folders"
grep -q "^u boardhub " "$out/root/usr/lib/sysusers.d/boardhub.conf" || fail "no service user"
grep -q "^d /var/lib/boardhub/logs .* boardhub boardhub" "$out/root/usr/lib/tmpfiles.d/boardhub.conf" \
    || fail "no log folder for the service"
version="$(dpkg-deb -f "$deb" Version)"
zcat "$out/root/usr/share/doc/boardhub/changelog.gz" | head -1 | grep -q "^boardhub ($version) " \
    || fail "the change log's last entry is not $version"
for page in "$out"/root/usr/share/man/man*/*.gz; do
    warnings="$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)"
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
unit="$out/root/lib/systemd/system/boardhub.service"
for line in "ExecStart=/usr/sbin/boardhub /etc/boardhub/boardhub.ini" "User=boardhub" \
            "SupplementaryGroups=video" "KillSignal=SIGINT" "NoNewPrivileges=yes" \
            "ProtectSystem=strict" "ReadWritePaths=/var/lib/boardhub" "Environment=NO_COLOR=1"; do
    grep -qx "$line" "$unit" || fail "unit lacks '$line'"
done
if grep -q "^PrivateDevices=yes" "$unit"; then fail "PrivateDevices hides the camera"; fi
web="$out/root/lib/systemd/system/boardhub-web.service"
for line in "ExecStart=/usr/sbin/boardhub-web /etc/boardhub/boardhub.ini" "User=boardhub-web" \
            "NoNewPrivileges=yes" "ProtectSystem=strict" "PrivateDevices=yes"; do
    grep -qx "$line" "$web" || fail "web unit lacks '$line'"
done
grep -q "^\[web\]" "$out/root/etc/boardhub/boardhub.ini" || fail "no [web] section in the configuration"
# Lintian exits 1 when it reports tags (read from its report below), 2 when it could not run.
# Run as root, it complains about it on standard error; that is not about the package.
lint=0
report="$(lintian "$deb" 2>"$out/lintian.err")" || lint=$?
[ $lint -le 1 ] || fail "lintian could not run (status $lint): $(cat "$out/lintian.err")"
echo "lintian: ${report:-clean}"
if grep -q "^[EW]:" <<<"$report"; then fail "lintian reports errors or warnings"; fi
echo "test-deb: ok"
