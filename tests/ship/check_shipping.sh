#!/usr/bin/env bash
# Checks what users receive: the jar alone, the Debian package, the command line.
#   check_shipping.sh CHECK BUILD_DIR PTY_ECHO
set -euo pipefail
check=$1 build=$2 pty_echo=$3
jar=$build/dorlesk.jar
work=$(mktemp -d)
echo_pid=
cleanup() {
  [ -z "$echo_pid" ] || { exec 8>&-; wait "$echo_pid" 2>/dev/null || true; }
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
  err=$(env XDG_CACHE_HOME="$work/cache" "${java_alone[@]}" -Dos.arch=aarch64 -jar "$jar" list 2>&1)
  status=$?
  set -e
  echo "$err"
  [ $status = 1 ] || fail "exit code $status, not 1"
  for want in "Linux" "aarch64" "linux-x86_64, windows-x86, windows-x86_64" \
      "tried java.library.path ($work/empty)"; do
    grep -qF "$want" <<<"$err" || fail "the error does not say: $want"
  done
  ;;
command_line)
  java -jar "$jar" --help | grep -q '^Usage: java -jar dorlesk.jar' || fail "--help"
  java -jar "$jar" --help | grep -q 'dialout' || fail "--help says nothing of dialout"
  set +e
  java -jar "$jar" frobnicate >/dev/null 2>&1; bad=$?
  java -jar "$jar" list extra >/dev/null 2>&1; extra=$?
  set -e
  [ $bad = 2 ] && [ $extra = 2 ] || fail "bad usage exits $bad and $extra, not 2"
  DORLESK_PORT_DIR=$work/empty java -Djava.library.path="$build" -jar "$jar" |
    grep -qx 'Ports found when the library loaded: none' || fail "list with no ports"
  start_echo
  DORLESK_PORT_DIR=$work/ports java -Djava.library.path="$build" -jar "$jar" list |
    grep -qx 'Ports found when the library loaded: COM1' || fail "list with COM1"
  DORLESK_PORT_DIR=$work/ports java -Xcheck:jni -Djava.library.path="$build" -jar "$jar" loopback COM1
  ;;
package)
  (cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
  deb=$(ls "$work"/pkg/*.deb)
  echo "built $(basename "$deb")"
  dpkg -x "$deb" "$work/root"
  for f in usr/lib/jni/libDorlesk.so usr/share/java/dorlesk.jar; do
    [ -f "$work/root/$f" ] || fail "the package lacks /$f"
  done
  installed=(java -Xcheck:jni -Djava.library.path="$work/root/usr/lib/jni" -jar "$work/root/usr/share/java/dorlesk.jar")
  env XDG_CACHE_HOME="$work/cache" "${installed[@]}" --version | tee "$work/version"
  grep -qF "native library: java.library.path ($work/root/usr/lib/jni)" "$work/version" ||
    fail "the installed library was not the one loaded"
  [ ! -e "$work/cache" ] || fail "something was extracted although the library was installed"
  start_echo
  DORLESK_PORT_DIR=$work/ports XDG_CACHE_HOME="$work/cache" "${installed[@]}" loopback COM1
  ;;
*) echo "usage: $0 jar_alone|missing_arch|command_line|package BUILD_DIR PTY_ECHO"; exit 2 ;;
esac
echo "PASS $check"
