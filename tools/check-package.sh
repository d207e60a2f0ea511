#!/usr/bin/env bash
# Checks the .deb from DIST (default dist/): lintian finds no error, warning or hardening tag; the
# program is a hardened PIE whose --version is the package version. Then installs it, checks what
# it put in place, serves a fixture tree with the installed /usr/bin/dirhttp, fetches a file over
# 127.0.0.1:8080 and compares its bytes, and removes the package again. The install needs root
# and is skipped without it. Also checks the .tar.gz.
set -euo pipefail
dist=${1:-dist}
deb=$(ls "$dist"/dirhttp_*.deb)
tgz=$(ls "$dist"/dirhttp-*.tar.gz)

fail() { echo "check-package: FAIL: $*" >&2; exit 1; }

version=$(dpkg-deb -f "$deb" Version)
[[ "$deb" == */dirhttp_${version}_*.deb ]] || fail "$deb is not named after its version $version"
[[ "$tgz" == */dirhttp-${version}-Linux.tar.gz ]] || fail "$tgz is not named after version $version"

# The archive holds the program, the man page, the README and the license under its top directory.
listing=$(tar tzf "$tgz")
for f in bin/dirhttp share/man/man1/dirhttp.1.gz share/doc/dirhttp/README.md \
  share/doc/dirhttp/LICENSE share/doc/dirhttp/copyright share/doc/dirhttp/changelog.gz \
  share/doc/dirhttp/docs/listing.png; do
  grep -q "^dirhttp-${version}-Linux/$f\$" <<<"$listing" || fail "$tgz lacks $f"
done

# lintian as Debian's archive would run it, every tag shown; errors, warnings and hardening tags
# fail the check.
lintian_out=$(lintian -I --pedantic "$deb" 2>&1 | grep -v '^running with root privileges' || true)
echo "lintian -I --pedantic $(basename "$deb"):"
echo "${lintian_out:-  (no tags)}"
if grep -E '^[EW]: |hardening-' <<<"$lintian_out"; then
  fail "lintian reports the errors, warnings or hardening tags above"
fi

# The packaged program: hardened, and the version it tells is the package's.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
program="$unpacked/usr/bin/dirhttp"
readelf -h "$program" | grep -q 'Type: *DYN' || fail "not a position-independent executable"
readelf -d "$program" | grep -q 'FLAGS_1.*PIE' || fail "no PIE flag in the dynamic section"
readelf -d "$program" | grep -Eq '\(FLAGS\).*BIND_NOW' || fail "not linked with -z now"
readelf -lW "$program" | grep -q GNU_RELRO || fail "no RELRO segment"
symbols=$(readelf --dyn-syms -W "$program")
grep -q '__stack_chk_fail' <<<"$symbols" || fail "no stack protector"
grep -Eq '__[a-z]+_chk@' <<<"$symbols" || fail "no fortified libc calls (_FORTIFY_SOURCE)"
told=$("$program" --version | head -n 1)
[ "$told" = "dirhttp $version" ] || fail "--version tells '$told', the package is $version"
logged=$(gzip -dc "$unpacked/usr/share/doc/dirhttp/changelog.gz" | head -n 1)
[[ "$logged" == "dirhttp ($version) "* ]] || fail "the changelog's last entry is not $version: $logged"
gzip -dc "$unpacked/usr/share/man/man1/dirhttp.1.gz" | grep -q "^\.TH DIRHTTP 1 .*\"dirhttp $version\"" ||
  fail "the manual page does not name version $version"
rm -rf "$unpacked"
trap - EXIT
echo "check-package: $(basename "$deb") is hardened (PIE, BIND_NOW, RELRO, stack protector, fortified) and tells version $version"

# Metadata: maintainer and the computed library dependencies.
fields=$(dpkg-deb -f "$deb" Package Maintainer Depends Description)
grep -q '^Maintainer: .*<.*@.*>' <<<"$fields" || fail "no maintainer: $fields"
grep -q '^Depends: .*libc6' <<<"$fields" || fail "dependencies not computed: $fields"

if [ "$(id -u)" -ne 0 ]; then
  echo "check-package: skipped the install (needs root); archive and metadata checked"
  exit 0
fi
if dpkg-query -W -f='${Status}' dirhttp 2>/dev/null | grep -q 'install ok installed'; then
  fail "a dirhttp package is already installed; not touching it"
fi

apt_opts=(-y -qq -o DPkg::Lock::Timeout=120)
tree=$(mktemp -d)
cleanup() {
  rm -rf "$tree"
  if dpkg-query -W -f='${Status}' dirhttp 2>/dev/null | grep -q 'install ok installed'; then
    DEBIAN_FRONTEND=noninteractive apt-get remove "${apt_opts[@]}" dirhttp >/dev/null || true
  fi
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install "${apt_opts[@]}" "$(realpath "$deb")" >/dev/null
[ "$(/usr/bin/dirhttp --version | head -n 1)" = "dirhttp $version" ] ||
  fail "the installed dirhttp --version is not $version"
for f in /usr/bin/dirhttp /usr/share/man/man1/dirhttp.1.gz /usr/share/doc/dirhttp/README.md \
  /usr/share/doc/dirhttp/copyright /usr/share/doc/dirhttp/changelog.gz; do
  [ -f "$f" ] || fail "installed package lacks $f"
done

# A file with every byte value, served by the installed program in a network namespace of its own
# (tools/netns-run), or under the port lock where none can be made.
mkdir -p "$tree/served/sub"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 40)' >"$tree/served/sub/all bytes.bin"
"$(dirname "$0")/netns-run" bash -s "$tree" <<'SERVE' || fail "the installed dirhttp did not serve the file"
set -euo pipefail
tree=$1
lock=/tmp/dirhttp-port-8080.lock
(
  cd "$tree/served"
  if [ "${DIRHTTP_NETNS:-}" != 1 ]; then
    # A lock taken on a file its last holder removed is taken again on the file there now.
    while :; do
      exec 9>>"$lock"
      flock -w 240 9 || exit 75
      [ "$(stat -c %i "$lock" 2>/dev/null)" = "$(stat -L -c %i /proc/$BASHPID/fd/9)" ] && break
    done
  fi
  exec setpriv --pdeathsig KILL env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/dirhttp \
    >"$tree/console.txt" 2>&1
) &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 2500); do # the lock may take up to 240 s, then start-up
  grep -q 'Open your browser to' "$tree/console.txt" 2>/dev/null && break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    wait "$server_pid" && status=0 || status=$?
    [ "$status" -eq 75 ] && echo "port lock not free within 240 s" >&2
    echo "installed dirhttp exited with $status: $(cat "$tree/console.txt" 2>/dev/null)" >&2
    exit 1
  fi
  sleep 0.1
done
grep -q 'Open your browser to' "$tree/console.txt" || { echo "installed dirhttp did not start" >&2; exit 1; }

python3 - "$tree/served/sub/all bytes.bin" <<'PY'
import socket, sys
want = open(sys.argv[1], 'rb').read()
with socket.create_connection(('127.0.0.1', 8080), timeout=10) as s:
    s.sendall(b'GET /sub/all%20bytes.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n')
    got = b''
    while chunk := s.recv(65536):
        got += chunk
head, _, body = got.partition(b'\n\n')
assert head == b'HTTP/1.1 200 OK\nContent-Type: application/octet-stream', head
assert body == want, f'body differs: {len(body)} bytes, wanted {len(want)}'
PY
# Removed while the server still holds it, so that no lock file is left behind.
[ "${DIRHTTP_NETNS:-}" = 1 ] || rm -f "$lock"
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
SERVE

DEBIAN_FRONTEND=noninteractive apt-get remove "${apt_opts[@]}" dirhttp >/dev/null
[ ! -e /usr/bin/dirhttp ] || fail "/usr/bin/dirhttp left behind after removal"
echo "check-package: 1 passed, 0 failed (installed $(basename "$deb"), served a file, removed it)"
