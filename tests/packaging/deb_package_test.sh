#!/usr/bin/env bash
# The Debian package, built from the build tree by cpack into a temporary directory.
#   deb_package_test.sh BUILD_DIR contents  - what the package holds and depends on
#   deb_package_test.sh BUILD_DIR install   - dpkg -i, run the installed command and daemon,
#                                             dpkg -r / --purge. System-wide, so only as root and
#                                             with REMEDY_TEST_DPKG=1 or CI=true; skips otherwise.
set -euo pipefail
build_dir=$1
mode=$2
skip=77

fail() { echo "FAIL: $*" >&2; exit 1; }

if [[ $mode == install ]]; then
  if [[ $(id -u) -ne 0 ]] || [[ ${REMEDY_TEST_DPKG:-} != 1 && ${CI:-} != true ]]; then
    echo "SKIP: installs the package system-wide; runs only as root with REMEDY_TEST_DPKG=1 or CI=true"
    exit $skip
  fi
  if dpkg-query -W -f='${Status}' remedy 2>/dev/null | grep -q installed; then
    fail "a remedy package is already installed; not touching it"
  fi
  for f in /usr/bin/remedy /usr/lib/libremedy.so /usr/lib/libqxbase.so /etc/remedy/remedy.conf; do
    [[ ! -e $f ]] || fail "$f exists outside any remedy package; not overwriting it"
  done
fi

work=$(mktemp -d)
installed=0
daemon_pid=
cleanup() {
  if [[ -n $daemon_pid ]]; then kill "$daemon_pid" 2>/dev/null || true; wait "$daemon_pid" 2>/dev/null || true; fi
  if ((installed)); then timeout 120 dpkg --purge remedy >/dev/null 2>&1 || echo "cleanup: dpkg --purge remedy failed" >&2; fi
  rm -rf "$work"
}
trap cleanup EXIT

timeout 300 cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$work"/out/remedy_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one remedy_*.deb, found: ${debs[*]}"
deb=${debs[0]}

if [[ $mode == contents ]]; then
  listing=$(dpkg-deb -c "$deb" | awk '{print $NF}')
  for f in ./usr/bin/remedy ./usr/lib/libremedy.so ./usr/lib/libremedy.units ./usr/lib/libqxbase.so \
           ./usr/share/man/man1/remedy.1.gz ./lib/systemd/system/remedy-daemon.service \
           ./lib/systemd/system/remedy-daemon.socket ./etc/remedy/remedy.conf; do
    grep -qxF "$f" <<<"$listing" || fail "the package lacks $f"
  done
  grep -q '^\./usr/share/remedy/rules/.*\.yar$' <<<"$listing" || fail "the package holds no rules"
  depends=$(dpkg-deb -f "$deb" Depends)
  for lib in libunicorn libyara libzydis libarchive zlib1g libstdc++; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
  done
  dpkg-deb -I "$deb" conffiles | grep -qxF /etc/remedy/remedy.conf || fail "remedy.conf is not a conffile"

  # The man page is the --help manual: every heading a section, every line of it there.
  dpkg-deb -x "$deb" "$work/root"
  page=$(zcat "$work/root/usr/share/man/man1/remedy.1.gz")
  help=$("$build_dir/bin/remedy" --help)
  while IFS= read -r heading; do
    grep -qxF ".SH ${heading//-/\\-}" <<<"$page" || fail "the man page lacks the section $heading"
  done < <(grep '^[^ ]' <<<"$help")
  rendered=$(MANWIDTH=250 man -l "$work/root/usr/share/man/man1/remedy.1.gz" 2>/dev/null | sed 's/^ *//')
  while IFS= read -r line; do
    grep -qF -- "$line" <<<"$rendered" || fail "the rendered man page lacks: $line"
  done < <(grep '^ ' <<<"$help" | sed 's/^ *//')
  echo "PASS: package contents, dependencies, conffile and man page"
  exit 0
fi

installed=1
timeout 120 dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
version=$(timeout 30 /usr/bin/remedy --version) || fail "/usr/bin/remedy --version failed"
grep -q "$(dpkg-deb -f "$deb" Version)" <<<"$version" || fail "--version does not name the package version: $version"
timeout 30 /usr/bin/remedy units >/dev/null 2>&1 || fail "the installed command cannot load /usr/lib/libremedy.so"
[[ $(man -w remedy) == /usr/share/man/man1/remedy.1.gz ]] || fail "man -w remedy: $(man -w remedy 2>&1)"

# The installed daemon on a temporary socket: PING answers PONG, SHUTDOWN ends it.
socket=$work/remedy.sock
printf 'LocalSocket %s\nMaxThreads 2\n' "$socket" >"$work/remedy.conf"
timeout 60 /usr/bin/remedy daemon --foreground --config-file "$work/remedy.conf" >"$work/daemon.log" 2>&1 &
daemon_pid=$!
for _ in $(seq 200); do [[ -S $socket ]] && break; sleep 0.1; done
[[ -S $socket ]] || { cat "$work/daemon.log" >&2; fail "the installed daemon did not open $socket"; }
ask() {
  python3 - "$socket" "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(10)
s.connect(sys.argv[1])
s.sendall(b"z" + sys.argv[2].encode() + b"\0")
reply = b""
while not reply.endswith(b"\0"):
    chunk = s.recv(4096)
    if not chunk:
        break
    reply += chunk
print(reply.rstrip(b"\0").decode())
PY
}
[[ $(ask PING) == PONG ]] || fail "PING to the installed daemon did not answer PONG"
ask SHUTDOWN >/dev/null || true
wait "$daemon_pid" || { cat "$work/daemon.log" >&2; fail "the installed daemon did not exit cleanly on SHUTDOWN"; }
daemon_pid=

timeout 120 dpkg -r remedy >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -r failed"; }
for f in /usr/bin/remedy /usr/lib/libremedy.so /usr/lib/libremedy.units /usr/lib/libqxbase.so \
         /usr/share/remedy/rules /usr/share/man/man1/remedy.1.gz /lib/systemd/system/remedy-daemon.service \
         /lib/systemd/system/remedy-daemon.socket; do
  [[ ! -e $f ]] || fail "$f is still there after dpkg -r"
done
timeout 120 dpkg --purge remedy >/dev/null 2>&1 || fail "dpkg --purge failed"
installed=0
[[ ! -e /etc/remedy/remedy.conf ]] || fail "/etc/remedy/remedy.conf is still there after dpkg --purge"
echo "PASS: installed, ran remedy --version and remedy daemon from /usr, removed"
