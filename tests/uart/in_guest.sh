#!/usr/bin/env bash
# Runs as root inside the uart layer's VM, on the kernel's 8250 and ftdi_sio
# drivers: ttyS1 and ttyS2 are a null modem, ttyUSB0 is wired to ttyS3.
# Prints CHECK, then PASS or FAIL with what went wrong, for each step, and
# ends with "uart: N passed, N failed".
#   in_guest.sh BUILD_DIR
build=$1
export XDG_CACHE_HOME=/tmp/cache
# Timing bounds stretch as the VM's own limit does: by how much longer than
# usual (4 s) the boot took on this machine, and at least twice, since an
# emulated CPU's timers jitter more than the host's (a 200 ms time-out was
# seen to end at 368 ms after a 4 s boot).
DORLESK_TIME_SCALE=$(awk '{ s = $1 / 4; print (s > 2 ? s : 2) }' /proc/uptime)
export DORLESK_TIME_SCALE
echo "time scale: $DORLESK_TIME_SCALE"
passed=0 failed=0
check() { # NAME COMMAND...
  local name=$1 out status started=$(date +%s%N)
  shift
  echo "CHECK $name"
  out=$("$@" 2>&1)
  status=$?
  if [ $status = 0 ] && ! grep -q 'WARNING in native method' <<<"$out"; then
    passed=$((passed + 1))
    echo "PASS $name ($((($(date +%s%N) - started) / 1000000)) ms)"
    grep -E '^(ok|[0-9]+ baud:|Ports found|adapter:|watch:|native:|SerialPort:|plugged back|the Java threads|close:|calls beside|two readers|readLine|a read waiting|a listener)' <<<"$out" | sed 's/^/  /'
    grep '^SKIP ' <<<"$out"
    # A skipped test's reason stands on the line before its name.
    awk -v name="$name" '/^\[  SKIPPED \] .* \(/ { print "SKIP uart." name " " $4 ": " last } { last = $0 }' <<<"$out"
  else
    failed=$((failed + 1))
    echo "FAIL $name (exit $status)"
    grep -vE '^(\[ RUN|\[       OK)' <<<"$out" | tail -n 60 | sed 's/^/  /'
    # A JVM that went down leaves its report in this VM's /tmp, gone with it.
    for report in /tmp/hs_err_pid*.log; do
      [ -f "$report" ] && grep -A12 -E '^(# Problematic frame|Current thread|Native frames|Java frames)' "$report" |
        head -n 80 | sed 's/^/  hs_err: /' && rm -f "$report"
    done
  fi
}
grep -E '^ *[0-9]+: uart:' /proc/tty/driver/serial | sed 's/^/driver: /'

# The stand-in's own tests on each driver, with the test holding the far end.
check standin.8250 env DORLESK_TEST_PAIR=/dev/ttyS1:/dev/ttyS2 "$build/tests/posix_tests"
check standin.ftdi_sio env DORLESK_TEST_PAIR=/dev/ttyUSB0:/dev/ttyS3 "$build/tests/posix_tests"

# The library through the JVM; another user may open the devices, so that
# only the exclusive mark can keep them out.
chmod 666 /dev/ttyS1 /dev/ttyUSB0
jvm=(java -Xcheck:jni -Djava.library.path="$build:$build/tests"
  -cp "$build/dorlesk.jar:$build/tests/jvm_tests.jar:/usr/share/java/junit-platform-console-standalone.jar")
check library.8250 "${jvm[@]}" cz.qelvar.test.UartChecks COM2 COM3 /dev/ttyS1 1
check library.ftdi_sio "${jvm[@]}" cz.qelvar.test.UartChecks COM33 COM4 /dev/ttyUSB0
# SerialPort's guarantee suite, the far end held raw by the test.
check serialport.8250 "${jvm[@]}" cz.qelvar.test.SerialPortSuite device COM2 /dev/ttyS2
check serialport.ftdi_sio "${jvm[@]}" cz.qelvar.test.SerialPortSuite device COM33 /dev/ttyS3

# The scan on real nodes: eight ttyS nodes, four UARTs and the adapter.
listed() {
  ls /dev/ttyS7 >/dev/null || return 1
  out=$(java -jar "$build/dorlesk.jar" list) && echo "$out" &&
    [ "$out" = "Ports found when the library loaded: COM1, COM2, COM3, COM4, COM33" ]
}
check discovery listed
# check leaves the system console alone (ttyS0 here, as on many servers).
console() {
  local out
  out=$(java -jar "$build/dorlesk.jar" check COM1)
  echo "$out"
  [[ $out == *"opens, but is in use, so it was not tried"* && $out == *"system console"* ]]
}
check console console
# The command line's session on COM2, with COM3 echoing.
loopback() {
  stty -F /dev/ttyS2 raw -echo clocal 115200 || return 1
  cat /dev/ttyS2 >/dev/ttyS2 &
  local echo=$! status
  java -jar "$build/dorlesk.jar" loopback COM2
  status=$?
  kill $echo
  return $status
}
check loopback loopback
# The adapter unplugged and plugged back while in use (the host's qemu does
# it when asked on the console); last, as it moves the adapter's name.
# Its JVM compiles with C1 only: twice (SIGSEGV, then SIGILL) its plug watch
# died in C1 code that C2's compiles replace, which qemu's TCG, with two
# vCPUs, does not always see patched.
check unplug "${jvm[0]}" -XX:TieredStopAtLevel=1 "${jvm[@]:1}" cz.qelvar.test.UnplugChecks /dev/ttyS3
echo "uart: $passed passed, $failed failed"
