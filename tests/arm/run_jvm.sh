#!/usr/bin/env bash
# Runs JVM test methods on Debian's ARM OpenJDK under qemu-user, with the
# jar's own loader picking the library (java.library.path holds only the
# pseudo-terminal fixture), then asks the jar which library it loaded.
# Last, a program with its own cz.qelvar.Serial loads the tree's library by
# its module name.
#   run_jvm.sh QEMU JVM_DIR FIXTURE_DIR JAR JUNIT_CONSOLE CLASSPATH PLATFORM EXISTING_CLASSPATH METHOD...
set -euo pipefail
qemu=$1 jvm=$2 fixture=$3 jar=$4 junit=$5 classpath=$6 platform=$7 existing=$8
shift 8
command -v "$qemu" >/dev/null || { echo "FAIL: $qemu is missing (scripts/install-deps installs qemu-user)"; exit 1; }
[ -f "$jvm/.ready" ] || { echo "FAIL: no JVM in $jvm (make test unpacks it with scripts/arm-jvm-root)"; exit 1; }
root=$jvm/root
# A 32-bit guest under qemu cannot list an ext4 directory (its 64-bit
# offsets overflow), so the port directory lives in memory.
work=$(mktemp -d /dev/shm/dorlesk-arm.XXXXXX)
trap 'rm -rf "$work"' EXIT
export DORLESK_PORT_DIR=$work/ports
java=(env XDG_CACHE_HOME="$work/cache" "$qemu" -L "$root" "$root$(cat "$jvm/java")" -Xcheck:jni
  -Djava.library.path="$fixture" -Djdk.lang.Process.launchMechanism=FORK)
selected=()
for method in "$@"; do selected+=(--select-method "cz.qelvar.test.PortAccessTest#$method"); done
"${java[@]}" -jar "$junit" --disable-banner --disable-ansi-colors --fail-if-no-tests --details=tree \
  --class-path "$classpath" "${selected[@]}"
version=$("${java[@]}" -jar "$jar" --version)
echo "$version"
grep -q "^native library: .*/$platform/libDorlesk.so$" <<<"$version" ||
  { echo "FAIL: the jar did not load its $platform library"; exit 1; }
# The emulated JVM is slow: upper time bounds stretched fivefold.
"${java[@]}" -Djava.library.path="$fixture:$(dirname "$fixture")" -cp "$existing" legacy.ExistingProgram 5
