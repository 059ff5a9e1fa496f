#!/usr/bin/env bash
# The page in a real browser: starts the server (with the stand-in camera) and boardhub-web on
# a temporary world, installs puppeteer-core into tests/browser/node_modules when missing, and
# drives Debian's chromium headless through web.mjs. The page is served over HTTPS as the
# package serves it: a self-signed certificate made the way ssl-cert makes the board's, which
# chromium accepts by the SHA-256 of its public key (as a person accepts it after comparing the
# fingerprint), and a plain HTTP port that redirects. Screenshots go to BUILD/browser-shots.
#   tests/browser/run.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)"
shots="$build/browser-shots"
chromium="${CHROMIUM:-$(command -v chromium || command -v chromium-browser || echo)}"
[ -n "$chromium" ] || { echo "browser test: chromium is missing: apt-get install chromium (or scripts/setup.sh --test)"; exit 1; }
for tool in node npm; do
    command -v "$tool" >/dev/null \
        || { echo "browser test: $tool is missing: apt-get install npm (or scripts/setup.sh --test)"; exit 1; }
done
template=/usr/share/ssl-cert/ssleay.cnf
[ -f "$template" ] || { echo "browser test: $template is missing: apt-get install ssl-cert (or scripts/setup.sh --test)"; exit 1; }
command -v openssl >/dev/null || { echo "browser test: openssl is missing: apt-get install openssl (or scripts/setup.sh --test)"; exit 1; }

if [ ! -d "$here/node_modules/puppeteer-core" ]; then
    (cd "$here" && npm install --no-save --no-audit --no-fund --loglevel=error puppeteer-core@24) >&2
fi

world="$(mktemp -d)"
# Client state (the servers known by identity) belongs to this world, never the real home.
export XDG_STATE_HOME="$world/state"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$world"
}
trap cleanup EXIT

free_port() {
    node -e "const s=require('net').createServer().listen(0,'0.0.0.0',()=>{console.log(s.address().port);s.close()})"
}

# The certificate, as make-ssl-cert generate-default-snakeoil makes the board's: its template,
# its openssl command; the host name is this test's address.
sed -e "s#@HostName@#127.0.0.1#" -e "s#@SubjectAltName@#IP:127.0.0.1#" "$template" > "$world/cert.cnf"
(umask 077 && openssl req -config "$world/cert.cnf" -new -x509 -days 3650 -nodes -sha256 \
    -out "$world/cert.pem" -keyout "$world/key.pem" >/dev/null 2>&1) \
    || { echo "browser test: openssl could not make the certificate"; exit 1; }
spki="$(openssl x509 -in "$world/cert.pem" -pubkey -noout | openssl pkey -pubin -outform der \
        | openssl dgst -sha256 -binary | base64)"

mkdir -p "$world/share/docs" "$world/share/사진" "$world/share/private/.folder" "$world/data"
printf 'Meeting notes\n' > "$world/share/docs/notes.txt"
printf '안녕하세요, 보드입니다.\n' > "$world/share/사진/인사.txt"
head -c 300000 /dev/urandom > "$world/share/docs/data.bin"
# A name that would read as "billexe.pdf" if shown as it is (U+202E, right-to-left override).
printf 'b\n' > "$world/share/docs/$(printf 'bill\342\200\256fdp.exe')"
# Long names: one with words to break between, one without any.
printf 'x\n' > "$world/share/docs/회의록 2026년 3분기 이사회 정기 회의 결과 정리 최종본 수정.txt"
printf 'x\n' > "$world/share/docs/quarterly_report_for_the_board_meeting_of_the_third_quarter_final.txt"
echo alice > "$world/share/private/.folder/users_r"
# Preview pictures: a snapshot of notes.txt and a picture of the Korean folder (an 8x8 PNG).
png='iVBORw0KGgoAAAANSUhEUgAAAAgAAAAICAIAAABLbSncAAAAEUlEQVR4nGM4YaOBFTEMLQkAdntLARs7+acAAAAASUVORK5CYII='
mkdir -p "$world/share/docs/.folder/snap"
echo "$png" | base64 -d > "$world/share/docs/.folder/snap/notes.txt.png"
echo "$png" | base64 -d > "$world/share/사진/.folder.png"
# More entries than one listing frame holds: the server sends what fits.
mkdir -p "$world/share/사진/big"
pad="$(printf "%0120d" 0)"
(cd "$world/share/사진/big" && for i in $(seq 100000 101999); do : > "${i}_$pad"; done)
printf 'only alice\n' > "$world/share/private/secret.txt"
for u in bob alice; do
    echo "$u" | "$build/tools/boardhub-admin" -d "$world/data" user add "$u" --level 5 >/dev/null
done

mkdir -p "$world/share/staff/.folder"
echo bob > "$world/share/staff/.folder/users_r"
echo alice > "$world/share/staff/.folder/users_w"
printf 'plan\n' > "$world/share/staff/plan.txt"
cp -r "$world/data" "$world/data2"

# Two boards on the same share: one with the stand-in camera, one without any camera (its own
# copy of the accounts). A port that was free when picked may be taken before the program
# binds it (other tests run beside this one): each program is started again on a new port
# when it could not listen.
write_ini() {  # NAME DATA CAMERA-LINE
    cat > "$world/$1.ini" <<INI
[server]
name = 보드허브
port = $server_port
socket = $world/$1.sock
share = $world/share
data = $2
$3
log = no
upload_max_size = 1M
[web]
listen = 127.0.0.1
port = $web_port
redirect_port = $redirect_port
tls_cert = $world/cert.pem
tls_key = $world/key.pem
www = $root/tools/web/www
camera_fps = 15
INI
}
# Starts a program and waits for its line of readiness: 0 when ready, 1 when it stopped.
start() {  # LOG READY-TEXT COMMAND...
    local log="$1" ready="$2"
    shift 2
    "$@" > "$log" 2>&1 &
    local pid=$!
    for _ in $(seq 100); do
        grep -q "$ready" "$log" 2>/dev/null && { pids+=("$pid"); return 0; }
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    pids+=("$pid")
    return 0
}
start_board() {  # NAME DATA CAMERA-LINE: sets server_port, web_port and redirect_port
    web_port="$(free_port)"
    redirect_port="$(free_port)"
    for attempt in 1 2 3 4 5; do
        server_port="$(free_port)"
        write_ini "$1" "$2" "$3"
        start "$world/$1-server.log" "Server started at" env LD_PRELOAD="$build/tests/fakes/libfake_v4l2.so" \
            FAKE_V4L2_DEVICE="$world/video0" FAKE_V4L2_CONFIG="fmt=YUYV:d640x480" \
            "${SERVER_BIN:-$build/boardhub}" "$world/$1.ini" && break
        echo "browser test: the server could not start (attempt $attempt):"; tail -3 "$world/$1-server.log"
    done
    for attempt in 1 2 3 4 5; do
        start "$world/$1-web.log" "listening on" "$build/tools/boardhub-web" "$world/$1.ini" && break
        echo "browser test: the gateway could not start (attempt $attempt):"; tail -3 "$world/$1-web.log"
        web_port="$(free_port)"
        redirect_port="$(free_port)"
        write_ini "$1" "$2" "$3"
    done
}
start_board nocam "$world/data2" ""
nocam_port="$web_port"
start_board board "$world/data" "camera = $world/video0"

rm -rf "$shots"
mkdir -p "$shots"
status=0
CHROMIUM="$chromium" BASE="https://127.0.0.1:$web_port" SERVER_PORT="$server_port" SHOTS="$shots" \
    PLAIN_BASE="http://127.0.0.1:$redirect_port" SPKI="$spki" \
    NOCAM_BASE="https://127.0.0.1:$nocam_port" SHARE="$world/share" node "$here/web.mjs" || status=$?
if [ $status -ne 0 ]; then
    for b in board nocam; do
        echo "--- $b server log"; tail -20 "$world/$b-server.log"
        echo "--- $b gateway log"; tail -20 "$world/$b-web.log"
    done
fi
exit $status
