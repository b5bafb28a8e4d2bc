#!/usr/bin/env bash
# The declarations in include/ must be what javac generates for Serial.java,
# so that the Java and native sides cannot drift apart.
#   check_header.sh JAVAC SOURCE_DIR WORK_DIR
set -euo pipefail
javac=$1 src=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
"$javac" -h "$work" -d "$work" -sourcepath "$src/java" "$src/java/cz/qelvar/Serial.java"
diff -u "$src/include/cz_qelvar_Serial.h" "$work/cz_qelvar_Serial.h"
echo "include/cz_qelvar_Serial.h matches javac -h"
