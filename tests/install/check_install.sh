#!/usr/bin/env bash
# usage: check_install.sh BUILD_DIR LIBDIR MP3_FIXTURE C_COMPILER [CFLAGS...]
# Installs the build into a temporary prefix and builds two small host
# programs against it, once with pkg-config and once with find_package, then
# runs them. LIBDIR is CMAKE_INSTALL_LIBDIR relative to the prefix.
set -euo pipefail
build=$1 libdir=$2 mp3=$3 cc=$4
shift 4
cflags=("$@")
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d "${TMPDIR:-/tmp}/mp-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

# Layout: versioned library with its two links, headers, package files.
pkg_version() { sed -n 's/^Version: //p' "$prefix/$libdir/pkgconfig/mediaprobe.pc"; }
for lib in mediaprobe sharefetch; do
  d=$prefix/$libdir
  [ "$(readlink "$d/lib$lib.so")" = "lib$lib.so.1" ] || fail "lib$lib.so is not a link to lib$lib.so.1"
  [ "$(readlink "$d/lib$lib.so.1")" = "lib$lib.so.1.0.0" ] || fail "lib$lib.so.1 is not a link to lib$lib.so.1.0.0"
  [ -f "$d/lib$lib.so.1.0.0" ] || fail "lib$lib.so.1.0.0 missing"
  [ -f "$prefix/include/$lib.h" ] || fail "$lib.h missing"
  [ -f "$d/pkgconfig/$lib.pc" ] || fail "$lib.pc missing"
  [ -f "$d/cmake/$lib/${lib}Config.cmake" ] || fail "${lib}Config.cmake missing"
  # Only the shared library is exported; the build's object libraries are not.
  ! grep -q '_core' "$d/cmake/$lib/${lib}Targets.cmake" || fail "$lib exports its object library"
done

# The tools run from the prefix without help: they find the libraries beside them.
for tool in mprobe smbfetch; do
  [ "$(env -u LD_LIBRARY_PATH "$prefix/bin/$tool" --version)" = "$tool $(pkg_version)" ] ||
    fail "installed $tool does not run"
done

# Manual pages land where man looks for them under the prefix.
for page in "$here"/../../docs/man/*.1; do
  name=$(basename "$page" .1)
  [ -f "$prefix/share/man/man1/$name.1" ] || fail "$name.1 not installed under share/man/man1"
  [ "$(MANPATH=$prefix/share/man man -w "$name")" = "$prefix/share/man/man1/$name.1" ] ||
    fail "man does not find $name under the prefix"
done

run_consumers() { # DIR WAY
  local dir=$1 way=$2
  "$dir/probe_consumer" "$mp3" || fail "probe_consumer ($way)"
  "$dir/fetch_consumer" || fail "fetch_consumer ($way)"
  # Linked by SONAME, so a later 1.x library replaces it without a rebuild.
  readelf -d "$dir/probe_consumer" | grep -q 'NEEDED.*\[libmediaprobe\.so\.1\]' ||
    fail "probe_consumer ($way) does not need libmediaprobe.so.1"
  readelf -d "$dir/fetch_consumer" | grep -q 'NEEDED.*\[libsharefetch\.so\.1\]' ||
    fail "fetch_consumer ($way) does not need libsharefetch.so.1"
  ! readelf -d "$dir/probe_consumer" | grep -q 'libsharefetch' ||
    fail "probe_consumer ($way) pulls in libsharefetch"
}

# 1. pkg-config
out=$prefix/pkgconfig-build
mkdir -p "$out"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion mediaprobe)" = "$(pkg-config --modversion sharefetch)" ] || fail "versions differ"
for pair in probe_consumer:mediaprobe fetch_consumer:sharefetch; do
  prog=${pair%%:*} pkg=${pair#*:}
  # shellcheck disable=SC2046
  "$cc" "${cflags[@]}" -std=c11 -Wall -Werror "$here/consumer/$prog.c" -o "$out/$prog" \
    $(pkg-config --cflags --libs "$pkg") -Wl,-rpath,"$prefix/$libdir"
done
run_consumers "$out" pkg-config

# A private prefix without an rpath: the loader needs LD_LIBRARY_PATH, as the README says.
# shellcheck disable=SC2046
"$cc" "${cflags[@]}" -std=c11 "$here/consumer/probe_consumer.c" -o "$out/bare_consumer" \
  $(pkg-config --cflags --libs mediaprobe)
if ! ldconfig -p | grep -q 'libmediaprobe\.so\.1 '; then
  ! env -u LD_LIBRARY_PATH "$out/bare_consumer" "$mp3" 2>/dev/null || fail "bare_consumer found the library by itself"
fi
LD_LIBRARY_PATH=$prefix/$libdir "$out/bare_consumer" "$mp3" >/dev/null || fail "bare_consumer with LD_LIBRARY_PATH"

# 2. find_package
cmake -S "$here/consumer" -B "$prefix/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="${cflags[*]}" >/dev/null
cmake --build "$prefix/cmake-build" >/dev/null
run_consumers "$prefix/cmake-build" find_package
echo "installed package builds and runs with pkg-config and find_package"
