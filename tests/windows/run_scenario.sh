#!/usr/bin/env bash
# Runs one scenario of the Windows harness under wine64, with COM3 (echo),
# COM10 and COM100 (silent) on pseudo-terminals.
#   run_scenario.sh PREFIX FAR_END HARNESS DLL SCENARIO
# The Wine prefix is made once and kept. Its Ports key reserves COM3, COM10
# and COM100 for links in PREFIX/ports, so that the serial devices Wine finds
# on the machine (mapped to the lowest free numbers) never take them; those
# are passed to the harness, which expects them listed as well.
set -euo pipefail
prefix=$1 far_end=$2 harness=$3 dll=$4 scenario=$5
wine_bin=/usr/lib/wine/wine64
[ -x $wine_bin ] || { echo "FAIL: $wine_bin is missing (scripts/install-deps installs wine64)"; exit 1; }
# Wine's server outlives the command that starts it: it must not inherit the
# lock on the prefix.
wine() { "$wine_bin" "$@" 9>&-; }
wineserver() { /usr/lib/wine/wineserver "$@" 9>&-; }
for f in "$far_end" "$harness" "$dll"; do
  [ -f "$f" ] || { echo "FAIL: $f was not built"; exit 1; }
done
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
ports=$prefix/ports

ports_reg=$(printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for n in 3 10 100; do printf '"COM%s"="%s/COM%s"\n' $n "$ports" $n; done)
prepare() {
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix" && mkdir -p "$ports"
  wine wineboot -i >/dev/null 2>&1
  echo "$ports_reg" >"$prefix/ports.reg"
  wine regedit /S "$(sed 's#/#\\#g; s#^#Z:#' <<<"$prefix/ports.reg")" >/dev/null 2>&1
  wineserver -w
  touch "$prefix/.ready"
}
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.ready" ] || [ "$(cat "$prefix/ports.reg")" != "$ports_reg" ]; then
  prepare
fi
rm -f "$ports"/COM* "$prefix"/dosdevices/com99
# A server kept alive between scenarios saves a second per start.
wineserver -p 30 2>/dev/null || true
wine cmd /c exit >/dev/null 2>&1 # Wine maps its ports when its services start
machine_ports=$(find "$prefix/dosdevices" -maxdepth 1 -regex '.*/com[1-9][0-9]?' -xtype c \
  -printf '%f -> %l\n' | grep -v " -> $ports/" | sed 's/^com\([0-9]*\) .*/COM\1/' | sort -V |
  paste -sd, || true)

windows_dll=$(sed 's#/#\\#g; s#^#Z:#' <<<"$(realpath "$dll")")
set +e
"$far_end" "$ports" COM3:echo COM10:silent COM100:silent -l "$prefix/dosdevices" 9>&- -- \
  "$wine_bin" "$harness" "$windows_dll" "$scenario" "$machine_ports"
status=$?
set -e
[ -z "$machine_ports" ] || echo "(the machine's own ports, as Wine maps them: $machine_ports)"
exit $status
