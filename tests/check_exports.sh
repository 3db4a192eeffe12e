#!/usr/bin/env bash
# usage: check_exports.sh LIBRARY EXPORTS_LIST EXPECTED_SONAME
# Fails when the library's dynamic symbol table defines anything but the
# listed names, misses one of them, or the SONAME differs.
set -euo pipefail
lib=$1 list=$2 soname=$3
want=$({ grep -E '^[A-Za-z_]' "$list" || true; } | sort)
# Global defined symbols of the dynamic table; version nodes are not symbols.
have=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWiu]$/ {print $3}' | sed 's/@.*//' | sort -u)
if [ "$want" != "$have" ]; then
  echo "export list mismatch for $lib"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
got=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$got" != "$soname" ]; then
  echo "SONAME of $lib is '$got', expected '$soname'"
  exit 1
fi
echo "$lib exports exactly $(echo "$want" | grep -c . || true) names; SONAME $got"
