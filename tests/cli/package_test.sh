#!/usr/bin/env bash
# Packs the build as the release archive is packed, unpacks it in a fresh folder, and builds and runs consumers from it there.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*"; exit 1; }

"$src/scripts/package" --linux-only --from-build "$build" --out "$tmp/out" >"$tmp/package.log" 2>&1 ||
  { cat "$tmp/package.log"; fail "scripts/package --from-build"; }
mkdir "$tmp/fresh"
tar -C "$tmp/fresh" -xzf "$tmp"/out/kiv-*.tar.gz
a=$(echo "$tmp"/fresh/kiv-*)
(cd "$a" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the archive"
for f in README.md bin/kiv bin/kiv-relay include/kiv.h lib/libkiv.so.1 lib/pkgconfig/kiv.pc \
  lib/cmake/kiv/kivConfig.cmake lib/cmake/kiv/kivConfigVersion.cmake lib/cmake/kiv/kivTargets.cmake; do
  [[ -e $a/$f ]] || fail "missing $f"
done
[[ -n $(find "$a/share/doc" -name behaviour.md) ]] || fail "docs not packed"
[[ -z $(find "$a" -name node_modules) ]] || fail "node_modules packed"
soname=$(objdump -p "$a/lib/libkiv.so.1" | awk '/SONAME/ {print $2}')
[[ $soname == libkiv.so.1 ]] || fail "SONAME is '$soname', not libkiv.so.1"
# Every relative link of the packed pages reaches a packed file.
while IFS= read -r page; do
  while IFS= read -r target; do
    target=${target%%#*}
    [[ -z $target || $target == *://* ]] && continue
    [[ -e $(dirname "$page")/$target ]] || fail "${page#"$a"/} links to missing $target"
  done < <(grep -o '](\([^)]*\))' "$page" | sed 's/^](//; s/)$//')
done < <(find "$a" -name '*.md')

# The programs run from any folder by themselves; kiv-relay takes its NATS client from lib/.
cd /
env -u LD_LIBRARY_PATH "$a/bin/kiv" --version | grep -q "kiv networking library" || fail "packed kiv does not run"
env -u LD_LIBRARY_PATH "$a/bin/kiv-relay" --help >/dev/null || fail "packed kiv-relay does not start"
if ldd "$a/bin/kiv-relay" | grep -E 'lib(nats|protobuf-c)' | grep -v "=> $a/"; then
  fail "kiv-relay takes the libraries above from outside the archive"
fi

check_output() {
  local out=$1
  grep -q "kiv networking library" <<<"$out" || fail "no notice in: $out"
  grep -q "12345 packs into 2 bytes and unpacks to 12345" <<<"$out" || fail "no packing in: $out"
  grep -q "the server got: hello over loopback" <<<"$out" || fail "no token in: $out"
}

# The archive README's own pkg-config line, word for word, beside the unpacked folder.
line=$(grep '^cc kiv-.*pkg-config --define-prefix' "$a/README.md") || fail "no pkg-config line in the archive's README"
(cd "$tmp/fresh" && eval "$line") || fail "the README's line does not build: $line"
check_output "$(env -u LD_LIBRARY_PATH timeout 60 "$tmp/fresh/hello")"
# CMake: find_package(kiv) and kiv::kiv.
cmake -S "$a/share/doc/kiv/examples" -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$a" >"$tmp/example.log" 2>&1 &&
  cmake --build "$tmp/cmake" >>"$tmp/example.log" 2>&1 || { cat "$tmp/example.log"; fail "example build with CMake"; }
check_output "$(env -u LD_LIBRARY_PATH timeout 60 "$tmp/cmake/kiv_hello")"

# A plain install's kiv.pc names its prefix: a plain include path, nothing like .../lib/pkgconfig/../../include.
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cflags=$(PKG_CONFIG_PATH=$(dirname "$(find "$tmp/prefix" -name kiv.pc)") pkg-config --cflags kiv | sed "s/ *$//")
[[ $cflags == "-I$tmp/prefix/include" ]] || fail "pkg-config --cflags kiv gives '$cflags'"
echo "package: the archive unpacks anywhere; its programs and consumers built by its README run from any folder"
