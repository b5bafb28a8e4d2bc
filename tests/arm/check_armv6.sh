#!/usr/bin/env bash
# The armhf library must run on ARMv6 boards (Raspberry Pi 1, Zero): ARM
# state, VFPv2 at most, no ARMv7 instruction, in the build tree and in the jar.
#   check_armv6.sh LIBRARY JAR
set -euo pipefail
lib=$(realpath "$1") jar=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && jar xf "$jar" cz/qelvar/native/linux-armhf/libDorlesk.so)
status=0
for file in "$lib" "$work/cz/qelvar/native/linux-armhf/libDorlesk.so"; do
  attrs=$(readelf -A "$file")
  arch=$(sed -n 's/^ *Tag_CPU_arch: //p' <<<"$attrs")
  thumb=$(sed -n 's/^ *Tag_THUMB_ISA_use: //p' <<<"$attrs")
  fp=$(sed -n 's/^ *Tag_FP_arch: //p' <<<"$attrs")
  # ARMv7 (and VFPv3) instructions as objdump names them, and Thumb-2's:
  # the mnemonic is the third tab-separated field, the operands the fourth.
  v7=$(arm-linux-gnueabihf-objdump -d "$file" | awk -F'\t' '
    $3 ~ /^(movw|movt|[su]bfx|bf[ic]|rbit|mls|[su]div|dmb|dsb|isb|it[te]?[te]?[te]?|cbn?z)$/ ||
    $3 ~ /^vmov\.f(32|64)$/ && $4 ~ /#/ || $3 ~ /^v/ && $4 ~ /(^|[^a-z0-9])d(1[6-9]|2[0-9]|3[01])([^0-9]|$)/')
  echo "$file: Tag_CPU_arch $arch, Thumb $thumb, FP ${fp:-none}, $(grep -c . <<<"$v7" || true) ARMv7 instructions"
  if [ "$arch" != v6 ] || [ "$thumb" = Thumb-2 ] || [[ -n $fp && $fp != VFPv[12] ]] || [ -n "$v7" ]; then
    echo "FAIL: $file is not ARMv6 + VFPv2 code"
    head -n 5 <<<"$v7"
    status=1
  fi
done
exit $status
