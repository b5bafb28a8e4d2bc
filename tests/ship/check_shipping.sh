#!/usr/bin/env bash
# Checks what users receive: the jar alone, the Debian package, the command line.
#   check_shipping.sh CHECK BUILD_DIR PTY_ECHO
set -euo pipefail
check=$1 build=$2 pty_echo=$3
jar=$build/dorlesk.jar
work=$(mktemp -d)
echo_pid= swapper= outside=
cleanup() {
  [ -z "$outside" ] || rm -rf "$outside"
  [ -z "$echo_pid" ] || { exec 8>&-; wait "$echo_pid" 2>/dev/null || true; }
  [ -z "$swapper" ] || kill "$swapper" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/empty"
fail() { echo "FAIL: $*"; exit 1; }
# A JVM that cannot find the library on its path: only the jar can supply it.
java_alone=(java -Xcheck:jni -Djava.library.path="$work/empty")

# A pseudo-terminal that echoes, linked as COM1 in a port directory.
start_echo() {
  mkdir -p "$work/ports"
  exec 8> >("$pty_echo" "$work/ports/COM1" >"$work/echo.out")
  echo_pid=$!
  for _ in $(seq 50); do [ -L "$work/ports/COM1" ] && return; sleep 0.1; done
  fail "the echoing far end did not start"
}

# Debian's own checker, errors and warnings alike; the library as shipped is stripped.
debian_checks() {
  command -v lintian >/dev/null || fail "lintian is missing: scripts/install-deps installs it"
  local out
  out=$(lintian --fail-on error,warning "$1" 2>&1) || fail "lintian finds fault with $(basename "$1"): $out"
  echo "lintian: $(basename "$1") clean"
}

case $check in
jar_alone)
  out=$(env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -jar "$jar" --version)
  echo "$out"
  extracted=$(sed -n 's/^native library: //p' <<<"$out")
  [[ $extracted == "$work"/cache/dorlesk/*-*/linux-x86_64/libDorlesk.so ]] ||
    fail "the library was not extracted into the user's cache: $extracted"
  [ -f "$extracted" ] || fail "$extracted is missing"
  # A second start reuses the extracted file.
  before=$(stat -c %Y.%i "$extracted")
  env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -jar "$jar" list
  [ "$(stat -c %Y.%i "$extracted")" = "$before" ] || fail "the library was extracted again"
  # The loopback session with the far end the jar carries.
  env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -jar "$jar" loopback
  ;;
missing_arch)
  set +e
  err=$(env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -Dos.arch=riscv64 -jar "$jar" list 2>&1)
  status=$?
  set -e
  echo "$err"
  [ $status = 1 ] || fail "exit code $status, not 1"
  for want in "Linux" "riscv64" "linux-x86_64, linux-aarch64, linux-armhf, windows-x86, windows-x86_64" \
      "tried java.library.path ($work/empty)" "Ways out: install the library (libDorlesk.so)" \
      "-Ddorlesk.native.dir=DIR or XDG_CACHE_HOME=DIR"; do
    grep -qF -- "$want" <<<"$err" || fail "the error does not say: $want"
  done
  # Through SerialPort the reason is an IOException, on every call, not an
  # Error the first time and a bare NoClassDefFoundError after.
  cat >"$work/Twice.java" <<'JAVA'
import cz.qelvar.SerialPort;
import cz.qelvar.SerialPortException;

public class Twice {
    public static void main(String[] args) {
        for (int i = 0; i < 2; i++) {
            try {
                System.out.println("listed " + SerialPort.list());
            } catch (SerialPortException e) {
                System.out.println("list: " + e.getMessage());
            }
            try {
                SerialPort.open("COM1").close();
                System.out.println("opened");
            } catch (SerialPortException e) {
                System.out.println("open: " + e.getMessage());
            }
        }
    }
}
JAVA
  out=$(env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -Dos.arch=riscv64 -cp "$jar" "$work/Twice.java" 2>&1)
  echo "$out"
  reason='the native library did not load: Dorlesk has no native library for Linux on riscv64'
  [ "$(grep -cE "^(list|open): $reason" <<<"$out")" = 4 ] || fail "SerialPort did not give the loader's reason on every call"
  ;;
loader)
  # How the jar's loader picks, checks and fills its directory. Steps run as
  # other users read a copy of the jar, as the tree under test may lie in a
  # directory they cannot enter.
  cp "$jar" "$work/dorlesk.jar" && chmod 644 "$work/dorlesk.jar" && chmod 711 "$work"
  jar=$work/dorlesk.jar
  version() { env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" "$@" -jar "$jar" --version 2>&1; }
  refused() { # ARGS... -- TEXT: the run fails with an error that says TEXT
    local args=() out
    while [ "$1" != -- ]; do args+=("$1"); shift; done
    set +e; out=$(version "${args[@]}"); local status=$?; set -e
    [ $status = 1 ] && grep -qF "$2" <<<"$out" || fail "exit $status, not 1 saying '$2': $out"
  }
  loaded_from() { version "$@" | sed -n 's/^native library: //p'; }
  # Directories another user can write, or that belong to another user, are refused.
  for mode in 777 757 703 770; do
    mkdir "$work/shared$mode" && chmod $mode "$work/shared$mode"
    refused -Ddorlesk.native.dir="$work/shared$mode" -- "$work/shared$mode can be written by other users (mode $mode)"
    [ -z "$(find "$work/shared$mode" -mindepth 1)" ] || fail "something was written into $work/shared$mode"
  done
  below=$(dirname "$(dirname "$(loaded_from -Ddorlesk.native.dir="$work/mine")")")
  chmod 777 "$below" # a level below the given directory
  refused -Ddorlesk.native.dir="$work/mine" -- "$below can be written by other users"
  if [ "$(id -u)" = 0 ]; then
    mkdir "$work/theirs" && chown 65534 "$work/theirs"
    refused -Ddorlesk.native.dir="$work/theirs" -- "$work/theirs belongs to another user"
    # Above it too, nobody (the overflow uid) is a user like any other on the host.
    mkdir -p "$work/nobodys/mine" && chown 65534 "$work/nobodys"
    refused -Ddorlesk.native.dir="$work/nobodys/mine" -- "$work/nobodys belongs to another user (uid 65534)"
  fi
  # Above it, a directory others may write to without the sticky bit could
  # swap it; a link to it is followed once, and the real directory is used.
  mkdir -p "$work/open/mine" && chmod 777 "$work/open"
  refused -Ddorlesk.native.dir="$work/open/mine" -- "$work/open can be written by other users (mode 777)"
  mkdir "$work/real" && ln -s "$work/real" "$work/link"
  [[ $(loaded_from -Ddorlesk.native.dir="$work/link") == "$work"/real/* ]] || fail "the link was not resolved"
  # A relative directory is taken from the working directory, and made for
  # this user alone; an empty one means the default.
  lib=$(cd "$work" && loaded_from -Ddorlesk.native.dir=rel)
  [[ $lib == "$work"/rel/*-*/linux-x86_64/libDorlesk.so ]] || fail "relative directory: $lib"
  [ "$(stat -c %a "$work/rel" "$(dirname "$lib")" | sort -u)" = 700 ] || fail "not made 0700"
  lib=$(loaded_from -Ddorlesk.native.dir=)
  [[ $lib == "$work"/cache/dorlesk/* ]] || fail "an empty directory is not the default: $lib"
  # A relative XDG_CACHE_HOME is ignored, as the XDG rules say.
  mkdir -p "$work/home"
  out=$(cd "$work" && env XDG_CACHE_HOME=cache "${java_alone[@]}" -Duser.home="$work/home" \
    -jar "$jar" --version | sed -n 's/^native library: //p')
  [[ $out == "$work"/home/.cache/dorlesk/* ]] || fail "a relative XDG_CACHE_HOME was used: $out"
  # A cached copy that differs from the jar's, here in one byte, is replaced by
  # a rename, never loaded and never written in place (a hard link would see it).
  (mkdir "$work/jar" && cd "$work/jar" && jar xf "$jar" cz/qelvar/native/linux-x86_64/libDorlesk.so)
  shipped=$work/jar/cz/qelvar/native/linux-x86_64/libDorlesk.so
  printf 'X' | dd of="$lib" bs=1 seek=200 conv=notrunc status=none
  ln "$lib" "$work/seen"
  ! cmp -s "$shipped" "$lib" && [ "$(stat -c %s "$lib")" = "$(stat -c %s "$shipped")" ] || fail "no tampered copy"
  [ "$(loaded_from)" = "$lib" ] || fail "loaded from elsewhere"
  cmp -s "$shipped" "$lib" || fail "the tampered copy was kept"
  ! cmp -s "$shipped" "$work/seen" || fail "the tampered copy was written over in place"
  # A fresh copy is renamed into place too: written in place, it would follow
  # a link standing there (and a reader could map it half written).
  rm "$lib" && ln -s "$work/outside" "$lib"
  [ "$(loaded_from)" = "$lib" ] && [ -f "$lib" ] && [ ! -L "$lib" ] || fail "the link was not replaced"
  [ ! -e "$work/outside" ] || fail "the library was written through a link in place"
  # Nor is a replacement ever written under the library's own name, where
  # another start could map it half written: inotify sees only a rename.
  printf 'Y' | dd of="$lib" bs=1 seek=300 conv=notrunc status=none
  seen=$(python3 - "$(dirname "$lib")" "$(basename "$lib")" env XDG_CACHE_HOME="$work/cache" \
    "${java_alone[@]}" -jar "$jar" --version <<'PY'
import ctypes, os, struct, subprocess, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(os.O_NONBLOCK)
kinds = {"written": 0x2 | 0x8 | 0x100, "renamed": 0x80}  # MODIFY CLOSE_WRITE CREATE; MOVED_TO
if fd < 0 or libc.inotify_add_watch(fd, sys.argv[1].encode(), 0x2 | 0x8 | 0x80 | 0x100) < 0:
    sys.exit("inotify: " + os.strerror(ctypes.get_errno()))
subprocess.run(sys.argv[3:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
data, seen, at = os.read(fd, 1 << 20), set(), 0
while at < len(data):
    mask, length = struct.unpack_from("4xI4xI", data, at)
    if data[at + 16:at + 16 + length].rstrip(b"\0").decode() == sys.argv[2]:
        seen.update(k for k, bits in kinds.items() if mask & bits)
    at += 16 + length
print(" ".join(sorted(seen)))
PY
  ) && [ "$seen" = renamed ] || fail "a tampered library was replaced by '$seen', not by a rename alone"
  # A uid with no passwd entry has user.home "?": HOME is taken, and without
  # it the error says what to set; nothing lands in the working directory.
  mkdir -p "$work/cwd" "$work/home2"
  out=$(cd "$work/cwd" && env -u XDG_CACHE_HOME HOME="$work/home2" "${java_alone[@]}" -Duser.home='?' \
    -jar "$jar" --version | sed -n 's/^native library: //p')
  [[ $out == "$work"/home2/.cache/dorlesk/* ]] || fail "user.home ? with HOME set: $out"
  # No home at all, as a service's user has (home /nonexistent; and a uid with
  # no passwd entry): a fresh 0700 directory of the run's own under the
  # temporary directory, gone once the library is loaded.
  service=(); [ "$(id -u)" = 0 ] && service=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  for home in /nonexistent '?'; do
    environment=(env -u XDG_CACHE_HOME HOME=/nonexistent)
    [ "$home" = '?' ] && environment=(env -u XDG_CACHE_HOME -u HOME)
    out=$(cd "$work/cwd" && "${service[@]}" "${environment[@]}" "${java_alone[@]}" -Duser.home="$home" -jar "$jar" \
      --version 2>&1) || fail "no home ($home): $out"
    used=$(sed -n 's|^native library: \(/tmp/dorlesk-[0-9]*\)/libDorlesk.so (removed once loaded: there is no home to cache it in)$|\1|p' <<<"$out")
    [ -n "$used" ] || fail "no home ($home): not loaded from a directory of the run's own: $out"
    [ ! -e "$used" ] || fail "no home ($home): $used was left behind"
  done
  [ -z "$(ls -A "$work/cwd")" ] || fail "no home: something was made in the working directory"
  # A directory that cannot be made says why, not just where (as another
  # user, for root may write anywhere).
  other=(); [ "$(id -u)" = 0 ] && other=(setpriv --reuid=4242 --regid=4242 --clear-groups)
  mkdir -m 555 "$work/ro" && chmod 711 "$work"
  set +e
  out=$("${other[@]}" env XDG_CACHE_HOME="$work/ro" "${java_alone[@]}" -jar "$jar" --version 2>&1)
  status=$?
  set -e
  [ $status = 1 ] && grep -qF "$work/ro/dorlesk: permission denied" <<<"$out" ||
    fail "an unwritable directory: exit $status, not 1 saying why: $out"
  # A cache on a file system that may not execute files says so and how out.
  mkdir "$work/noexec"
  if unshare -m true 2>/dev/null; then
    set +e
    out=$(unshare -m sh -c 'mount -t tmpfs -o noexec,mode=700 none "$0" && exec "$@"' "$work/noexec" \
      env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -Ddorlesk.native.dir="$work/noexec" -jar "$jar" --version 2>&1)
    status=$?
    set -e
    for want in "does not allow executing files" -Ddorlesk.native.dir XDG_CACHE_HOME java.library.path; do
      [ $status = 1 ] && grep -qF -- "$want" <<<"$out" || fail "noexec: exit $status, not 1 naming $want: $out"
    done
    # The loopback's far end, extracted there while the library comes from the path.
    set +e
    out=$(unshare -m sh -c 'mount -t tmpfs -o noexec,mode=700 none "$0" && exec "$@"' "$work/noexec" \
      java -Djava.library.path="$build" -Ddorlesk.native.dir="$work/noexec" -jar "$jar" loopback 2>&1)
    status=$?
    set -e
    [ $status = 1 ] && grep -qF "the echoing far end extracted there cannot be run" <<<"$out" ||
      fail "noexec far end: exit $status: $out"
    # The mount table read as the kernel writes it: of mounts stacked on one
    # point the top one counts, a space in a mount point is \040, and the
    # point is field 5, not the root within the file system (field 4, "/" for
    # every tmpfs), here with a mount that allows executing as the table's last.
    mkdir -p "$work/sp ace" "$work/stack" "$work/elsewhere"
    set +e
    out=$(unshare -m sh -c 'mount -t tmpfs -o noexec,mode=700 none "$0/sp ace" &&
      mount -t tmpfs -o exec,mode=700 none "$0/stack" && mount -t tmpfs -o noexec,mode=700 none "$0/stack" &&
      mount -t tmpfs -o exec none "$0/elsewhere" && j=$1 && shift &&
      "$@" -Ddorlesk.native.dir="$0/stack" -jar "$j" --version; echo ----;
      "$@" -Ddorlesk.native.dir="$0/sp ace" -jar "$j" --version' "$work" "$jar" "${java_alone[@]}" 2>&1)
    set -e
    [[ $out == *"$work/stack"*"does not allow executing files"*----*"$work/sp ace"*"does not allow executing files"* ]] ||
      fail "noexec read from the mount table (top mount, escaped space, mount point field): $out"
  else
    echo "SKIP ship.loader noexec cache: cannot mount here (needs root or a mount namespace)"
  fi
  # Inside a user namespace that maps only the user, every owner outside it
  # shows as the overflow uid: root's /, /var and the like above the home are
  # as good as root's, so a home there works. Any other such directory may be
  # another user's, who can rename what lies in it whatever its mode: a scratch
  # directory (1777) or an admin's tools (755) of uid 4343's, with the victim's
  # own 0700 directory inside swapped in a loop by their owner, is refused.
  if [ "$(id -u)" = 0 ] && "${other[@]}" unshare --user --map-current-user true 2>/dev/null; then
    ns=(setpriv --reuid=4242 --regid=4242 --clear-groups unshare --user --map-current-user)
    home=$(mktemp -d /var/cache/dorlesk-ns.XXXXXX) && chmod 755 "$home" && chown 4242 "$home"
    out=$("${ns[@]}" env -u XDG_CACHE_HOME HOME="$home" "${java_alone[@]}" -jar "$jar" --version 2>&1) ||
      { rm -rf "$home"; fail "a home in a user namespace: $out"; }
    grep -q "^native library: $home/.cache/dorlesk/" <<<"$out" || { rm -rf "$home"; fail "a home in a user namespace: $out"; }
    # The same home reached through a link that lies elsewhere: the home is
    # known by its real path, whose ancestors are the ones it trusts.
    link=$(mktemp -u /var/tmp/dorlesk-ns-home.XXXXXX) && ln -s "$home" "$link"
    out=$("${ns[@]}" env -u XDG_CACHE_HOME HOME="$link" "${java_alone[@]}" -jar "$jar" --version 2>&1) &&
      status=0 || status=$?
    rm -rf "$home" "$link"
    [ $status = 0 ] && grep -qE "^native library: ($home|$link)/.cache/dorlesk/" <<<"$out" ||
      fail "a home reached through a link in a user namespace: $out"
    printf '%s\n' '#define _GNU_SOURCE' '#include <stdio.h>' 'int main(int argc, char **argv) {' \
      '  for (;;) renameat2(-100, argv[1], -100, argv[2], 2); /* AT_FDCWD, RENAME_EXCHANGE */' '}' |
      cc -o "$work/swap" -x c -
    # Outside /tmp, whose sticky mode alone would refuse them.
    outside=$(mktemp -d /var/cache/dorlesk-ns.XXXXXX) && chmod 755 "$outside"
    for parent in scratch:1777 tools:755; do
      dir=$outside/${parent%:*}
      mkdir -m "${parent#*:}" "$dir" && chown 4343 "$dir"
      mkdir -m 700 "$dir/victim" "$dir/evil" && chown 4242 "$dir/victim"
      refused -Ddorlesk.native.dir="$dir/victim" -- "$dir belongs to another user (uid 4343)"
      # The attacker's tree: a library of theirs where the loader would look.
      cp -r "$(dirname "$(dirname "$(dirname "$(loaded_from)")")")"/. "$dir/evil/" && chown -R 4343 "$dir/evil"
      files=$(find "$dir" | wc -l)
      setpriv --reuid=4343 --regid=4343 --clear-groups "$work/swap" "$dir/victim" "$dir/evil" &
      swapper=$!
      for i in $(seq 10); do
        set +e
        out=$("${ns[@]}" "${java_alone[@]}" -Ddorlesk.native.dir="$dir/victim" -jar "$jar" --version 2>&1)
        status=$?
        set -e
        [ $status = 1 ] && grep -qF "$dir belongs to a user outside this user namespace (shown as uid 65534), who may be anyone and could swap what lies below it; choose a directory in your home" <<<"$out" ||
          { kill $swapper; fail "run $i in a user namespace, $dir swapped: exit $status: $out"; }
      done
      kill $swapper
      wait $swapper 2>/dev/null || true
      swapper=
      [ "$(find "$dir" | wc -l)" = "$files" ] || fail "something was written below $dir"
    done
  else
    echo "SKIP ship.loader user namespace: needs root, and unshare --user allowed here"
  fi
  # A directory name the locale cannot spell gives the documented error.
  mkdir -p "$work/caf$(printf '\xc3\xa9')"
  set +e
  out=$(env LC_ALL=C XDG_CACHE_HOME="$work/caf$(printf '\xc3\xa9')" "${java_alone[@]}" -jar "$jar" list 2>&1)
  status=$?
  set -e
  [ $status = 1 ] && grep -q "could not extract the native library for Linux on .* into " <<<"$out" ||
    fail "non-ASCII cache directory under LC_ALL=C: exit $status: $out"
  set +e
  out=$(cd "$work/cwd" && env -u XDG_CACHE_HOME LC_ALL=C HOME="$work/caf$(printf '\xc3\xa9')" \
    "${java_alone[@]}" -Duser.home='?' -jar "$jar" list 2>&1)
  status=$?
  set -e
  [ $status = 1 ] && grep -q "could not extract the native library for Linux on .* into " <<<"$out" ||
    fail "non-ASCII HOME under LC_ALL=C: exit $status: $out"
  [ -z "$(ls -A "$work/cwd")" ] || fail "non-ASCII HOME: something was made in the working directory"
  # Architectures by their several names.
  for arch in amd64 x86_64; do
    [ "$(loaded_from -Dos.arch=$arch)" = "$lib" ] || fail "os.arch $arch"
  done
  for arch in x86 i386 i686 amd64 x86_64; do
    want=windows-x86/; [[ $arch == *64 ]] && want=windows-x86_64/
    refused "-Dos.name=Windows 10" -Dos.arch=$arch -- "$want"
  done
  refused -Dos.arch=i686 -- "no native library for Linux on i686"
  for arch in aarch64 arm64; do
    refused -Dos.arch=$arch -- "linux-aarch64/libDorlesk.so"
  done
  for arch in arm armv7l armhf; do
    refused -Dos.arch=$arch -Dsun.arch.abi=gnueabihf -- "linux-armhf/libDorlesk.so"
  done
  refused -Dos.arch=arm -Dsun.arch.abi=gnueabi -- "no native library for a soft-float ARM JVM"
  # Loopback sessions started together on an empty cache all get their far end.
  rm -rf "$work/cache"
  pids=()
  for i in $(seq 8); do
    env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -jar "$jar" loopback >"$work/loop$i" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || fail "loopback $((i + 1)) of 8 failed: $(cat "$work/loop$((i + 1))")"
  done
  # A cached far end that lost its execute bit is extracted again.
  chmod a-x "$work"/cache/dorlesk/*-tools/dorlesk-pty-echo
  out=$(env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -jar "$jar" loopback 2>&1) ||
    fail "loopback with a far end that lost its execute bit: $out"
  ;;
command_line)
  java -jar "$jar" --help | grep -q '^Usage: java -jar dorlesk.jar' || fail "--help"
  java -jar "$jar" --help | grep -q 'dialout' || fail "--help says nothing of dialout"
  set +e
  java -jar "$jar" frobnicate >/dev/null 2>&1; bad=$?
  java -jar "$jar" list extra >/dev/null 2>&1; extra=$?
  java -jar "$jar" --help extra >/dev/null 2>&1; help=$?
  set -e
  [ $bad = 2 ] && [ $extra = 2 ] && [ $help = 2 ] || fail "bad usage exits $bad, $extra and $help, not 2"
  DORLESK_PORT_DIR=$work/empty java -Djava.library.path="$build" -jar "$jar" |
    grep -qx 'Ports found when the library loaded: none' || fail "list with no ports"
  start_echo
  DORLESK_PORT_DIR=$work/ports java -Djava.library.path="$build" -jar "$jar" list |
    grep -qx 'Ports found when the library loaded: COM1' || fail "list with COM1"
  DORLESK_PORT_DIR=$work/ports java -Xcheck:jni -Djava.library.path="$build" -jar "$jar" loopback COM1
  # term refuses, before opening, a rate or frame it would not set: the line
  # would stay at its old rate while term said otherwise.
  for line in "250000 8N1" "960 8N1" "9600 8M1" "9600 9N1" "9600 8N3" "9600 8N1x"; do
    set +e
    out=$(DORLESK_PORT_DIR=$work/ports java -Djava.library.path="$build" -jar "$jar" term COM1 $line 2>&1 </dev/null)
    status=$?
    set -e
    set -- $line
    [ $status = 1 ] && grep -qF "the library takes rates 1200 2400 9600 19200 38400 57600 115200" <<<"$out" &&
      grep -qE "no (rate $1|frame $2)" <<<"$out" && ! grep -q Connected <<<"$out" ||
      fail "term COM1 $line: exit $status: $out"
  done
  out=$(DORLESK_PORT_DIR=$work/ports java -Djava.library.path="$build" -jar "$jar" term COM1 115200 7e2 2>&1 </dev/null)
  grep -qF "Connected to COM1 at 115200 7e2" <<<"$out" || fail "term COM1 115200 7e2: $out"
  out=$(DORLESK_PORT_DIR=$work/ports java -Djava.library.path="$build" -jar "$jar" term COM2 2>&1 </dev/null) &&
    fail "term on a missing port: $out"
  grep -qF "COM2 maps to $work/ports/COM2, which does not exist." <<<"$out" || fail "term COM2 says not why: $out"
  # The far end goes away while the keyboard is still open: term notices and
  # leaves at once, rather than waiting for a key or spinning.
  mkfifo "$work/keys"
  sleep 30 >"$work/keys" &
  keys=$!
  started=$(date +%s%N)
  (sleep 2; pkill -f "dorlesk-pty-echo $work/ports/COM1") &
  set +e
  out=$(DORLESK_PORT_DIR=$work/ports java -Djava.library.path="$build" -jar "$jar" term COM1 2>&1 <"$work/keys")
  status=$?
  set -e
  kill "$keys"
  exec 8>&-
  echo_pid=
  took=$((($(date +%s%N) - started) / 1000000))
  [ $status = 1 ] && grep -qF "the port hung up; leaving." <<<"$out" && [ $took -lt 15000 ] ||
    fail "term after a hang-up: exit $status after $took ms: $out"
  ;;
package)
  (cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
  deb=$(ls "$work"/pkg/*.deb)
  echo "built $(basename "$deb")"
  debian_checks "$deb"
  dpkg -x "$deb" "$work/root"
  for f in usr/lib/jni/libDorlesk.so usr/share/java/dorlesk.jar; do
    [ -f "$work/root/$f" ] || fail "the package lacks /$f"
  done
  installed=(java -Xcheck:jni -Djava.library.path="$work/root/usr/lib/jni" -jar "$work/root/usr/share/java/dorlesk.jar")
  env XDG_CACHE_HOME="$work/cache" "${installed[@]}" --version | tee "$work/version"
  grep -qxF "native library: $work/root/usr/lib/jni/libDorlesk.so (from java.library.path)" "$work/version" ||
    fail "the installed library was not the one loaded"
  [ ! -e "$work/cache" ] || fail "something was extracted although the library was installed"
  # The dorlesk command runs the package's own jar and library.
  env XDG_CACHE_HOME="$work/cache" "$work/root/usr/bin/dorlesk" --version | tee "$work/command-version"
  grep -qxF "native library: $work/root/usr/lib/jni/libDorlesk.so (from java.library.path)" "$work/command-version" ||
    fail "the dorlesk command did not use the package's library"
  [ -f "$work/root/usr/share/man/man1/dorlesk.1.gz" ] || fail "the package lacks the dorlesk manual page"
  # The licence: Apache 2.0 in the machine-readable copyright, pointing to
  # Debian's own copy of its text.
  copyright=$work/root/usr/share/doc/libdorlesk-java/copyright
  grep -qx 'License: Apache-2.0' "$copyright" && grep -qF '/usr/share/common-licenses/Apache-2.0' "$copyright" ||
    fail "the copyright file does not license the package under Apache-2.0"
  start_echo
  DORLESK_PORT_DIR=$work/ports XDG_CACHE_HOME="$work/cache" "${installed[@]}" loopback COM1
  ;;
maven)
  # A tiny Maven project builds against the jar installed in a private local
  # repository with no network: Debian's Maven plugins are the only other
  # repository.
  # The licence travels in the jar and the sources jar, and the POM names it.
  top=$(cd "$(dirname "$0")/../.." && pwd)
  for carrier in "$jar" "$(ls "$build"/maven/dorlesk-*-sources.jar)"; do
    rm -rf "$work/licence" && mkdir -p "$work/licence"
    (cd "$work/licence" && jar xf "$carrier" META-INF/LICENSE)
    cmp -s "$work/licence/META-INF/LICENSE" "$top/LICENSE" || fail "$carrier lacks META-INF/LICENSE"
  done
  # The POM as a repository checks it: name, description, licence, and the
  # Java version; no web address is made up.
  pom=$(ls "$build"/maven/dorlesk-*.pom)
  for want in '<name>Dorlesk</name>' '<description>Serial port access for Java' \
      '<name>Apache License, Version 2.0</name>' '<maven.compiler.release>8</maven.compiler.release>'; do
    grep -qF -- "$want" "$pom" || fail "the POM lacks $want"
  done
  [ "$(grep -c '<url>' "$pom")" = 1 ] || fail "the POM has an address besides the licence's"
  artifact=$(ls "$build"/maven/dorlesk-*.pom | sed 's/\.pom$//')
  version=${artifact##*/dorlesk-}
  printf '<settings><localRepository>%s</localRepository><offline>true</offline><mirrors><mirror><id>debian</id><mirrorOf>*</mirrorOf><url>file:///usr/share/maven-repo</url></mirror></mirrors></settings>\n' \
    "$work/m2" >"$work/settings.xml"
  mvn=(mvn -B -q -s "$work/settings.xml" -Daether.offline.protocols=file)
  "${mvn[@]}" org.apache.maven.plugins:maven-install-plugin:3.1.0:install-file -Dfile="$artifact.jar" \
    -DpomFile="$artifact.pom" -Dsources="$artifact-sources.jar" -Djavadoc="$artifact-javadoc.jar"
  installed=$(find "$work/m2/cz/qelvar/dorlesk" -name '*.jar' -printf '%f\n' | sort | paste -sd' ')
  echo "installed: $installed"
  [ "$(wc -w <<<"$installed")" = 3 ] || fail "the jar, its sources and its Javadoc were not all installed"
  mkdir -p "$work/app/src/main/java/demo"
  printf '%s\n' '<project xmlns="http://maven.apache.org/POM/4.0.0"><modelVersion>4.0.0</modelVersion>' \
    '<groupId>demo</groupId><artifactId>ports</artifactId><version>1</version>' \
    '<properties><maven.compiler.release>8</maven.compiler.release></properties>' \
    "<dependencies><dependency><groupId>cz.qelvar</groupId><artifactId>dorlesk</artifactId><version>$version</version></dependency></dependencies>" \
    '</project>' >"$work/app/pom.xml"
  printf '%s\n' 'package demo;' 'public class Ports {' '  public static void main(String[] args) {' \
    '    System.out.println("ports: " + cz.qelvar.Serial.commEnumPorts().length);' '  }' '}' \
    >"$work/app/src/main/java/demo/Ports.java"
  (cd "$work/app" && "${mvn[@]}" compile)
  out=$(DORLESK_PORT_DIR=$work/empty XDG_CACHE_HOME=$work/cache "${java_alone[@]}" \
    -cp "$work/app/target/classes:$work/m2/cz/qelvar/dorlesk/$version/dorlesk-$version.jar" demo.Ports)
  echo "$out"
  [ "$out" = "ports: 0" ] || fail "the Maven-built program did not run"
  ;;
java_versions)
  # Built for Java 8: every class in the jar and in the Debian package's jar
  # is class file version 52, but the module descriptor, for Java 9 (53), in
  # the multi-release jar's versions/9.
  (cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
  dpkg -x "$(ls "$work"/pkg/*.deb)" "$work/root"
  for carrier in "$jar" "$work/root/usr/share/java/dorlesk.jar"; do
    rm -rf "$work/classes" && mkdir -p "$work/classes"
    (cd "$work/classes" && jar xf "$carrier")
    count=0
    while IFS= read -r class; do
      major=$(od -An -j6 -N2 -tu1 "$class" | awk '{print $1 * 256 + $2}')
      want=52
      [ "${class#"$work/classes/"}" = META-INF/versions/9/module-info.class ] && want=53
      [ "$major" = $want ] || fail "${class#"$work/classes/"} in $carrier is class file version $major, not $want"
      count=$((count + 1))
    done < <(find "$work/classes" -name '*.class')
    echo "$count classes in $carrier: Java 8 (52), the module descriptor Java 9 (53)"
    [ "$count" -gt 10 ] || fail "only $count classes in $carrier"
  done
  grep -q '^Multi-Release: true' "$work/classes/META-INF/MANIFEST.MF" || fail "the jar is no multi-release jar"
  # A real module, which a modular program requires and runs on the module path.
  java --module-path "$jar" --describe-module cz.qelvar | tee "$work/module"
  grep -q '^cz.qelvar file:' "$work/module" && ! grep -q automatic "$work/module" &&
    grep -qx 'exports cz.qelvar' "$work/module" || fail "no module cz.qelvar that exports its package"
  mkdir -p "$work/app/demo" "$work/app-classes"
  printf '%s\n' 'module demo { requires cz.qelvar; }' >"$work/app/module-info.java"
  printf '%s\n' 'package demo;' 'import cz.qelvar.SerialPort;' 'public class Ports {' \
    '  public static void main(String[] args) throws Exception {' \
    '    System.out.println("ports " + SerialPort.list() + " in module " + SerialPort.class.getModule().getName());' \
    '  }' '}' >"$work/app/demo/Ports.java"
  javac --module-path "$jar" -d "$work/app-classes" "$work/app/module-info.java" "$work/app/demo/Ports.java"
  out=$(DORLESK_PORT_DIR=$work/empty XDG_CACHE_HOME=$work/cache \
    java --module-path "$jar:$work/app-classes" -m demo/demo.Ports)
  echo "$out"
  [ "$out" = "ports [] in module cz.qelvar" ] || fail "the modular program did not run"
  ;;
osgi)
  # The jar as an OSGi bundle in a real framework (Debian's Apache Felix): a
  # bundle of our own imports cz.qelvar and, from its activator, opens a
  # pseudo-terminal through SerialPort, exchanges a line and closes it. The
  # native library comes out of the bundle through its class loader.
  felix=/usr/share/java/org.apache.felix.framework.jar
  [ -f "$felix" ] || fail "$felix is missing: scripts/install-deps installs libfelix-framework-java"
  mkdir -p "$work/app/demo" "$work/app-classes"
  cat >"$work/app/demo/Activator.java" <<'JAVA'
package demo;

import cz.qelvar.SerialPort;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import org.osgi.framework.BundleActivator;
import org.osgi.framework.BundleContext;

public class Activator implements BundleActivator {
    @Override
    public void start(BundleContext context) throws Exception {
        try (SerialPort port = SerialPort.open("COM1")) {
            port.setReadTimeout(Duration.ofSeconds(5));
            port.getOutputStream().write("ping from a bundle\n".getBytes(StandardCharsets.US_ASCII));
            BufferedReader in = new BufferedReader(new InputStreamReader(port.getInputStream(), StandardCharsets.US_ASCII));
            System.out.println("bundle " + context.getBundle().getSymbolicName() + " got back: " + in.readLine()
                    + " (SerialPort from bundle " + org.osgi.framework.FrameworkUtil.getBundle(SerialPort.class)
                    .getSymbolicName() + ")");
        }
    }

    @Override
    public void stop(BundleContext context) {
    }
}
JAVA
  printf '%s\n' 'Bundle-ManifestVersion: 2' 'Bundle-SymbolicName: demo' 'Bundle-Version: 1.0.0' \
    'Bundle-Activator: demo.Activator' 'Import-Package: cz.qelvar, org.osgi.framework' >"$work/app/manifest"
  javac --release 8 -cp "$jar:$felix" -d "$work/app-classes" "$work/app/demo/Activator.java"
  jar cfm "$work/demo.jar" "$work/app/manifest" -C "$work/app-classes" demo
  cat >"$work/Launch.java" <<'JAVA'
import java.util.HashMap;
import java.util.Map;
import org.osgi.framework.Bundle;
import org.osgi.framework.launch.Framework;

public class Launch {
    public static void main(String[] args) throws Exception {
        Map<String, String> config = new HashMap<>();
        config.put("org.osgi.framework.storage", args[0]);
        config.put("org.osgi.framework.storage.clean", "onFirstInit");
        // This Felix predates the JVM: it is told which Java it runs on.
        config.put("org.osgi.framework.system.capabilities.extra",
                "osgi.ee; osgi.ee=\"JavaSE\"; version:List<Version>=\"1.8, 9, 11, 17\"");
        config.put("org.osgi.framework.executionenvironment", "JavaSE-1.8");
        config.put("felix.service.urlhandlers", "false");
        Framework framework = new org.apache.felix.framework.FrameworkFactory().newFramework(config);
        framework.start();
        Bundle library = framework.getBundleContext().installBundle("file:" + args[1]);
        Bundle app = framework.getBundleContext().installBundle("file:" + args[2]);
        library.start();
        app.start();
        System.out.println("states: " + library.getSymbolicName() + " " + library.getState() + ", "
                + app.getSymbolicName() + " " + app.getState());
        framework.stop();
        framework.waitForStop(10_000);
    }
}
JAVA
  start_echo
  out=$(DORLESK_PORT_DIR=$work/ports XDG_CACHE_HOME=$work/cache \
    java --add-opens java.base/java.security=ALL-UNNAMED -Djava.library.path="$work/empty" -cp "$felix" "$work/Launch.java" "$work/felix-cache" "$jar" "$work/demo.jar" 2>&1) || true
  echo "$out"
  grep -qx 'bundle demo got back: ping from a bundle (SerialPort from bundle cz.qelvar)' <<<"$out" ||
    fail "the bundle did not exchange a line through SerialPort"
  grep -qx 'states: cz.qelvar 32, demo 32' <<<"$out" || fail "the bundles are not both active"
  ;;
arm_packages)
  # The ARM trees' packages: the architecture, the library and the jar.
  for tree in aarch64:arm64 armhf:armhf; do
    dir=$(dirname "$build")/${tree%%:*} arch=${tree##*:}
    (cd "$dir" && cpack -G DEB -B "$work/$arch" >/dev/null)
    deb=$(ls "$work/$arch"/*.deb)
    info=$(dpkg-deb -I "$deb") contents=$(dpkg-deb -c "$deb")
    echo "$(basename "$deb"): $(grep -E '^ (Package|Architecture|Version):' <<<"$info" | tr -s ' ' | paste -sd';')"
    grep -qx " Architecture: $arch" <<<"$info" || fail "$deb is not for $arch"
    for f in ./usr/lib/jni/libDorlesk.so ./usr/share/java/dorlesk-$(dpkg-deb -f "$deb" Version).jar; do
      grep -q " $f$" <<<"$contents" || fail "$deb lacks $f"
    done
    debian_checks "$deb"
    dpkg-deb -x "$deb" "$work/root-$arch"
    readelf -h "$work/root-$arch/usr/lib/jni/libDorlesk.so" |
      grep -qE "Machine: +$([ "$arch" = arm64 ] && echo AArch64 || echo ARM)$" ||
      fail "the $arch package's library is not built for $arch"
  done
  ;;
*) echo "usage: $0 jar_alone|missing_arch|loader|command_line|package|arm_packages|maven BUILD_DIR PTY_ECHO"; exit 2 ;;
esac
echo "PASS $check"
