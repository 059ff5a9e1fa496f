#!/usr/bin/env bash
# Installs the built package on a clean Debian 12 root, as a person would on a board, and
# checks that it works: files, the service user, folders with their owners and modes; the
# installed server started as the service user with the installed configuration; an account
# made with the installed boardhub-admin; a login with the installed boardhub-cli; the day log
# with that login; the server's TLS identity made by the package (its key's mode and owner, the
# fingerprint the server logs and boardhub-admin prints); the installed gateway in front of the
# server through its local socket over HTTPS with the board's self-signed certificate, a
# sign-in and a download, plain HTTP answering with a redirect; then a purge and what it
# leaves behind.
#
# usage: packaging/test-install.sh BUILD_DIR        (as root; needs debootstrap and unshare)
#
# The root comes from a cached tarball in $BOARDHUB_INSTALL_CACHE (default
# /var/cache/boardhub-install-test), made with debootstrap from deb.debian.org on the first run;
# downloaded packages are kept there too, so reruns need the network only for apt's lists.
# Systemd does not run in the root: the server is started by hand, as the unit would start it,
# in a network namespace of its own so that the configured port is free.
set -euo pipefail
build="$(cd "$1" && pwd)"
cache="${BOARDHUB_INSTALL_CACHE:-/var/cache/boardhub-install-test}"
mirror="${BOARDHUB_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
started=$SECONDS

fail() { echo "test-install: FAIL: $*" >&2; exit 1; }
step() { echo "test-install: [$((SECONDS - started))s] $*"; }

[ "$(id -u)" -eq 0 ] || fail "run as root (debootstrap, chroot)"
# Each tool this test runs, with the package that brings it (scripts/setup.sh --test).
need() { command -v "$1" >/dev/null || fail "$1 is missing: apt-get install $2 (or scripts/setup.sh --test)"; }
need cpack cmake
need dpkg-shlibdeps dpkg-dev
need debootstrap debootstrap
need unshare util-linux
need ip iproute2
need openssl openssl
need curl curl
work="$(mktemp -d /tmp/boardhub-install-XXXXXX)"
root="$work/root"
cleanup() {
    for m in var/cache/apt/archives dev/pts dev proc; do
        mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"
    done
    rm -rf "$work"
}
trap cleanup EXIT

# 1. The package.
step "building the package"
(cd "$build" && cpack -G DEB --config CPackConfig.cmake -B "$work/deb" >"$work/cpack.log" 2>&1) \
    || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb="$(ls "$work"/deb/boardhub_*.deb | head -1)"

# 2. A clean Debian 12 root, from the cache when there is one.
mkdir -p "$cache/archives/partial"
base="$cache/bookworm-root.tar"
if [ ! -f "$base" ]; then
    step "bootstrapping Debian 12 into the cache (first run only)"
    debootstrap --variant=minbase bookworm "$work/base" "$mirror" >"$work/debootstrap.log" 2>&1 \
        || { tail -20 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
    rm -rf "$work/base/var/cache/apt/archives/"*.deb
    tar -C "$work/base" -cf "$base.new" . && mv "$base.new" "$base"
    rm -rf "$work/base"
fi
step "unpacking the root"
mkdir "$root"
tar -C "$root" -xf "$base"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

# 3. Install with apt, as the README says.
step "installing $(basename "$deb") with apt"
cp "$deb" "$root/tmp/"
in_root apt-get update -qq >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get update"; }
DEBIAN_FRONTEND=noninteractive in_root apt-get install -y -q --no-install-recommends \
    "/tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1 \
    || { tail -30 "$work/apt.log" >&2; fail "apt-get install"; }
step "installed"

# 4. Files, the user, folders, owners and modes.
expect_mode() { # path mode owner:group
    local got
    # Names as the root's own passwd and group files give them.
    got="$(in_root stat -c '%a %U:%G' "$1" 2>/dev/null)" || fail "$1 is missing"
    [ "$got" = "$2 $3" ] || fail "$1 is $got, expected $2 $3"
}
for f in /usr/sbin/boardhub /usr/sbin/boardhub-admin /usr/bin/boardhub-cli; do
    expect_mode "$f" 755 root:root
done
for f in /etc/boardhub/boardhub.ini /lib/systemd/system/boardhub.service \
         /usr/lib/sysusers.d/boardhub.conf /usr/lib/tmpfiles.d/boardhub.conf \
         /usr/share/man/man8/boardhub.8.gz /usr/share/man/man5/boardhub.ini.5.gz \
         /usr/share/man/man8/boardhub-admin.8.gz /usr/share/man/man1/boardhub-cli.1.gz \
         /usr/share/bash-completion/completions/boardhub-cli \
         /usr/share/bash-completion/completions/boardhub-admin \
         /usr/share/doc/boardhub/copyright /usr/share/doc/boardhub/changelog.gz; do
    expect_mode "$f" 644 root:root
done
passwd_line="$(in_root getent passwd boardhub)" || fail "no user boardhub"
IFS=: read -r _ _ uid _ _ home shell <<<"$passwd_line"
[ "$uid" -lt 1000 ] || fail "boardhub is no system user (uid $uid)"
[ "$home" = /var/lib/boardhub ] || fail "home of boardhub is $home"
[ "$shell" = /usr/sbin/nologin ] || fail "shell of boardhub is $shell"
in_root id -nG boardhub | grep -qw video || fail "boardhub is not in group video"
in_root id -nG boardhub-web | grep -qw ssl-cert || fail "boardhub-web is not in group ssl-cert"
expect_mode /etc/ssl/private/ssl-cert-snakeoil.key 640 root:ssl-cert
expect_mode /etc/ssl/certs/ssl-cert-snakeoil.pem 644 root:root
expect_mode /var/lib/boardhub 750 boardhub:boardhub
expect_mode /var/lib/boardhub/logs 750 boardhub:boardhub
expect_mode /srv/boardhub/share 755 root:root
# The identity, made by postinst as the service user before any start.
expect_mode /var/lib/boardhub/tls-key.pem 600 boardhub:boardhub
[ -f "$root/var/lib/boardhub/tls-cert.pem" ] || fail "no server certificate after installation"
grep -q "^boardhub: server identity SHA256:" "$work/apt.log" || fail "postinst did not show the identity"
[ -L "$root/etc/systemd/system/multi-user.target.wants/boardhub.service" ] \
    || fail "the service is not enabled"
in_root /usr/sbin/boardhub --version | grep -q "^boardhub [0-9]" || fail "boardhub --version"
in_root /usr/sbin/boardhub-admin --version | grep -q "^boardhub-admin [0-9]" \
    || fail "boardhub-admin --version"
step "files, user, folders and modes as expected"

# The same package configured again without /proc, as in an image build: the folders, the
# identity and a removed web certificate are made all the same.
step "reinstalling with dpkg -i without /proc mounted"
umount "$root/proc"
rm -rf "$root/var/lib/boardhub"
rm -f "$root/etc/ssl/certs/ssl-cert-snakeoil.pem" "$root/etc/ssl/private/ssl-cert-snakeoil.key"
in_root dpkg -i "/tmp/$(basename "$deb")" >"$work/dpkg-noproc.log" 2>&1 \
    || { tail -20 "$work/dpkg-noproc.log" >&2; fail "dpkg -i without /proc"; }
mount -t proc proc "$root/proc"
expect_mode /var/lib/boardhub 750 boardhub:boardhub
expect_mode /var/lib/boardhub/logs 750 boardhub:boardhub
expect_mode /var/lib/boardhub/tls-key.pem 600 boardhub:boardhub
expect_mode /etc/ssl/private/ssl-cert-snakeoil.key 640 root:ssl-cert
identity="$(in_root boardhub-admin fingerprint | head -1)" || fail "boardhub-admin fingerprint"
web_fingerprint="$(in_root boardhub-admin fingerprint | sed -n 's/^web certificate \(SHA256:[0-9A-F:]*\) (.*)$/\1/p')"
snakeoil="$(openssl x509 -noout -fingerprint -sha256 -in "$root/etc/ssl/certs/ssl-cert-snakeoil.pem")"
[ "$web_fingerprint" = "SHA256:${snakeoil#*=}" ] \
    || fail "boardhub-admin shows the web certificate as '$web_fingerprint', openssl as '$snakeoil'"
step "identity $identity; web certificate $web_fingerprint"

# 5. An account made as the README says (as root, before the server ever ran), a file to share,
# then the installed server as the unit runs it (its user, folder, umask and environment),
# a login with the installed client and the login in the day log.
printf 'secret-pw\n' | in_root boardhub-admin user add tester --level 5 >/dev/null \
    || fail "boardhub-admin user add"
in_root boardhub-admin user list | grep -q "^tester " || fail "tester not listed"
echo "hello from the board" >"$root/srv/boardhub/share/hello.txt"
expect_mode /var/lib/boardhub/users.db 600 boardhub:boardhub

step "starting the installed server as boardhub; logging in with boardhub-cli"
cat >"$root/tmp/session.sh" <<'SESSION'
#!/bin/sh
# Runs in a network namespace of its own: the configured port 8000 is free there.
set -e
# Without its loopback the namespace has no 127.0.0.1 ("Network is unreachable").
ip link set lo up
# The folder of the local socket, as the unit's RuntimeDirectory makes it.
mkdir -p "$1/run/boardhub" && chmod 0755 "$1/run/boardhub"
chroot "$1" chown boardhub:boardhub /run/boardhub
chroot --userspec=boardhub:boardhub --groups=video "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin \
    LANG=C.UTF-8 NO_COLOR=1 /bin/sh -c \
    'umask 027; cd /var/lib/boardhub && exec /usr/sbin/boardhub /etc/boardhub/boardhub.ini' \
    >"$2/server.out" 2>"$2/server.err" &
server=$!
i=0
until grep -q "Server started at" "$2/server.out" 2>/dev/null; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "the server did not start" >&2; exit 1; }
    kill -0 $server 2>/dev/null || { echo "the server exited" >&2; exit 1; }
    sleep 0.1
done
sleep 0.3  # the interrupt handler comes just after the banner
[ -S "$1/run/boardhub/boardhub.sock" ] || { echo "no local socket" >&2; exit 1; }
[ "$(stat -c %a "$1/run/boardhub/boardhub.sock")" = 666 ] || { echo "local socket not 0666" >&2; exit 1; }
status=0
chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin LANG=C.UTF-8 BOARDHUB_PASSWORD=secret-pw \
    boardhub-cli -q -u tester login >"$2/cli.out" 2>&1 || status=$?
chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin LANG=C.UTF-8 BOARDHUB_PASSWORD=secret-pw \
    boardhub-cli -q -u tester get /hello.txt /tmp/hello.txt >>"$2/cli.out" 2>&1 || status=$?
# The installed gateway as its unit runs it (its own user, the installed configuration), in
# front of the server through the local socket: a sign-in and a download sent from the
# server's descriptor (only that path answers with an ETag).
chroot --userspec=boardhub-web:boardhub-web "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin \
    LANG=C.UTF-8 NO_COLOR=1 /bin/sh -c 'umask 077; exec /usr/sbin/boardhub-web /etc/boardhub/boardhub.ini' \
    >"$2/web.out" 2>&1 &
web=$!
i=0
until grep -q "listening on" "$2/web.out" 2>/dev/null; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "the gateway did not start" >&2; status=1; break; }
    kill -0 $web 2>/dev/null || { echo "the gateway exited" >&2; status=1; break; }
    sleep 0.1
done
# HTTPS with the board's self-signed certificate: the key the gateway serves must be the
# snakeoil one (curl checks its pin; the certificate names the host, not 127.0.0.1).
base=https://127.0.0.1:8443
spki="$(openssl x509 -in "$1/etc/ssl/certs/ssl-cert-snakeoil.pem" -pubkey -noout \
        | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64)"
tls="-k --pinnedpubkey sha256//$spki"
curl -s $tls -c "$2/cookies" -H 'Content-Type: application/json' \
    -d '{"user":"tester","password":"secret-pw"}' "$base/api/login" >"$2/web-login.out" || status=$?
# Plain HTTP only redirects, and signs nobody in.
curl -s -o /dev/null -w '%{http_code} %{redirect_url}' http://127.0.0.1:8080/files/hello.txt \
    >"$2/web-plain.out" || status=$?
[ "$(cat "$2/web-plain.out")" = "301 $base/files/hello.txt" ] \
    || { echo "plain HTTP answered: $(cat "$2/web-plain.out")" >&2; status=1; }
curl -s -D - -o /dev/null -H 'Content-Type: application/json' \
    -d '{"user":"tester","password":"secret-pw"}' http://127.0.0.1:8080/api/login >"$2/web-plain-login.out" || status=$?
grep -q '^HTTP/1.1 308' "$2/web-plain-login.out" && ! grep -qi '^set-cookie' "$2/web-plain-login.out" \
    || { echo "a sign-in over plain HTTP: $(cat "$2/web-plain-login.out")" >&2; status=1; }
grep -q '"open"' "$2/web-login.out" || { echo "the gateway's session is not on the local socket" >&2; status=1; }
curl -s -f $tls -b "$2/cookies" -D "$2/web-headers" -o "$1/tmp/web-hello.txt" "$base/files/hello.txt" \
    || status=$?
grep -qi '^etag:' "$2/web-headers" || { echo "the download was not sent from a descriptor" >&2; status=1; }
kill -TERM $web 2>/dev/null
wait $web || true
kill -INT $server
wait $server || { echo "the server exited with $? on SIGINT" >&2; exit 1; }
[ ! -e "$1/run/boardhub/boardhub.sock" ] || { echo "the local socket outlived the server" >&2; exit 1; }
exit $status
SESSION
chmod +x "$root/tmp/session.sh"
unshare --net "$root/tmp/session.sh" "$root" "$work" \
    || { cat "$work/server.out" "$work/server.err" "$work/cli.out" "$work/web.out" "$work/web-login.out" \
           >&2 2>/dev/null; fail "session"; }
cmp -s "$root/tmp/hello.txt" "$root/srv/boardhub/share/hello.txt" || fail "download differs"
cmp -s "$root/tmp/web-hello.txt" "$root/srv/boardhub/share/hello.txt" \
    || fail "download through the gateway differs: $(cat "$work/web.out" "$work/web-login.out")"
grep -q "the server runs without a camera" "$work/server.err" \
    || fail "no camera, but no line saying so: $(cat "$work/server.err")"
day="$(date +%Y%m%d).log"
log="$root/var/lib/boardhub/logs/$day"
[ -f "$log" ] || fail "no day log $day: $(ls -la "$root/var/lib/boardhub/logs")"
grep -q "\[NOTICE\] LOGIN tester(0) OK" "$log" || fail "no login line in $day: $(cat "$log")"
grep -q "tester OPEN /hello.txt" "$log" || fail "no OPEN line of the gateway's download in $day"
grep -q "SERVER STOP" "$log" || fail "no stop line in $day"
logged="$(grep -o "TLS identity SHA256:[0-9A-F:]*" "$log" | tail -1)"
[ "$logged" = "TLS identity $identity" ] \
    || fail "the server logged '$logged', boardhub-admin fingerprint printed '$identity'"
step "the server logged: $logged"
grep -q "(HTTPS), plain HTTP on port 8080 redirected there" "$work/web.out" \
    || fail "the gateway did not serve HTTPS with the redirect: $(cat "$work/web.out")"
step "gateway: $(grep -o 'listening on .*redirected there' "$work/web.out"); plain HTTP: $(cat "$work/web-plain.out")"
expect_mode "/var/lib/boardhub/logs/$day" 640 boardhub:boardhub
if grep -q $'\x1b' "$work/server.out"; then fail "escape codes on the console"; fi
step "served, logged in, downloaded (also through the installed gateway); the day log has both"

# 6. Purge: programs, configuration, unit and its enablement go; the administrator's data
# (accounts, logs, share) and the user stay.
DEBIAN_FRONTEND=noninteractive in_root apt-get purge -y -q boardhub >>"$work/apt.log" 2>&1 \
    || { tail -30 "$work/apt.log" >&2; fail "apt-get purge"; }
for gone in /usr/sbin/boardhub /usr/sbin/boardhub-admin /usr/bin/boardhub-cli /etc/boardhub \
            /lib/systemd/system/boardhub.service /usr/lib/sysusers.d/boardhub.conf \
            /usr/lib/tmpfiles.d/boardhub.conf /usr/share/doc/boardhub \
            /usr/share/man/man8/boardhub.8.gz \
            /etc/systemd/system/multi-user.target.wants/boardhub.service; do
    if [ -e "$root$gone" ] || [ -L "$root$gone" ]; then fail "$gone is left after purge"; fi
done
for kept in /var/lib/boardhub/users.db "/var/lib/boardhub/logs/$day" \
            /srv/boardhub/share/hello.txt; do
    [ -e "$root$kept" ] || fail "$kept was removed by purge"
done
in_root getent passwd boardhub >/dev/null || fail "the user was removed by purge"
if in_root dpkg -l boardhub 2>/dev/null | grep -q '^[a-z][a-z] '; then
    in_root dpkg -l boardhub | grep -q '^pn' || fail "package still known to dpkg"
fi
step "purged: programs, configuration and unit gone; accounts, logs, share and user kept"
echo "test-install: ok in $((SECONDS - started)) s"
