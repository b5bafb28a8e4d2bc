#!/usr/bin/env bash
# Reads a built library's export and import tables and checks them against
# the eleven native methods: nothing missing, nothing extra, commRI and
# commDCD at one address, and (Windows) no runtime DLL beyond the system's.
#   check_exports.sh linux|win32|win64 BINARY [NM or OBJDUMP of the binary's architecture]
set -euo pipefail
kind=$1 binary=$2 tool=${3:-}
objdump=${tool:-objdump} nm=${tool:-nm}
[ -f "$binary" ] || { echo "FAIL: $binary was not built"; exit 1; }

methods="commEnumPorts:8 commOpen:12 commClose:12 commSetBaud:20 commSetTimeout:20
commRead:20 commWrite:20 commRTS:16 commDTR:16 commRI:12 commDCD:12"
expected=$(for m in $methods; do
  name=${m%%:*} n=${m##*:}
  case $kind in
    win32) echo "_Java_cz_qelvar_Serial_${name}@${n}" ;;
    *) echo "Java_cz_qelvar_Serial_${name}" ;;
  esac
done | sort)

fail=0
# "name address" pairs of what the binary exports.
case $kind in
  linux)
    exports=$("$nm" -D --defined-only "$binary" | awk '{print $3, $1}')
    ;;
  win32 | win64)
    dump=$("$objdump" -p "$binary")
    # Rows look like "\t[   4] +base[   5] 1960 Export RVA" and "\t[   4] name".
    exports=$(awk '
      function index_of(line) { sub(/^\t\[ */, "", line); sub(/\].*/, "", line); return line }
      /^Export Address Table/ { eat = 1; next }
      eat && /^\t\[ *[0-9]+\] \+base/ { rva[index_of($0)] = $(NF - 2); next }
      /^\[Ordinal\/Name Pointer\] Table/ { eat = 0; names = 1; next }
      names && /^\t\[/ { print $NF, rva[index_of($0)]; next }
      names && /^$/ { names = 0 }' <<<"$dump")
    dllname=$(awk '/^Name[ \t]/ {print $3}' <<<"$dump")
    if [ "$dllname" != "Dorlesk.dll" ]; then
      echo "FAIL: export directory name is '$dllname', not Dorlesk.dll"; fail=1
    fi
    imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort -u | tr '\n' ' ')
    if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
      echo "FAIL: imports $imports; only KERNEL32.dll and msvcrt.dll may be"; fail=1
    fi
    ;;
  *) echo "usage: $0 linux|win32|win64 BINARY [OBJDUMP]"; exit 2 ;;
esac

actual=$(awk '{print $1}' <<<"$exports" | sort)
if [ "$actual" != "$expected" ]; then
  echo "FAIL: exported names differ from the eleven native methods:"
  diff <(echo "$expected") <(echo "$actual") || true
  fail=1
fi
ri=$(awk '$1 ~ /commRI/ {print $2}' <<<"$exports")
dcd=$(awk '$1 ~ /commDCD/ {print $2}' <<<"$exports")
if [ -z "$ri" ] || [ "$ri" != "$dcd" ]; then
  echo "FAIL: commRI at '$ri' and commDCD at '$dcd' are not one routine"; fail=1
fi
[ $fail = 0 ] && echo "$kind: $(wc -l <<<"$actual") exports as expected, commRI = commDCD at $ri${imports:+, imports $imports}"
exit $fail
