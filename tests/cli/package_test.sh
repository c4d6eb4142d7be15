#!/usr/bin/env bash
# Packs the build as the release archive is packed, unpacks it in a fresh folder, and builds and runs consumers from it there.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*"; exit 1; }

"$src/scripts/package" --linux-only --from-build "$build" --out "$tmp/out" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "scripts/package --from-build"; }
mkdir "$tmp/fresh" && tar -C "$tmp/fresh" -xzf "$tmp"/out/kiv-*.tar.gz
prefix=$(echo "$tmp"/fresh/kiv-*)
lib=$prefix/lib
(cd "$prefix" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the archive"
for f in README.md bin/kiv bin/kiv-relay include/kiv.h; do
  [[ -e $prefix/$f ]] || fail "missing $f"
done
for f in libkiv.so.1 cmake/kiv/kivConfig.cmake cmake/kiv/kivConfigVersion.cmake cmake/kiv/kivTargets.cmake pkgconfig/kiv.pc; do
  [[ -e $lib/$f ]] || fail "missing $lib/$f"
done
[[ -n $(find "$prefix/share/doc" -name behaviour.md) ]] || fail "docs not installed"
# Every relative link of the installed pages reaches an installed file.
readme=$(find "$prefix/share/doc" -name README.md -path '*/kiv/README.md' | head -n 1)
[[ -n $readme ]] || fail "README.md not installed"
while IFS= read -r page; do
  while IFS= read -r target; do
    target=${target%%#*}
    [[ -z $target || $target == *://* ]] && continue
    [[ -e $(dirname "$page")/$target ]] || fail "installed ${page#"$prefix"/} links to missing $target"
  done < <(grep -o '](\([^)]*\))' "$page" | sed 's/^](//; s/)$//')
done < <(find "$prefix" -name '*.md')
[[ -z $(find "$prefix" -name node_modules) ]] || fail "node_modules packed"
soname=$(objdump -p "$lib/libkiv.so" | awk '/SONAME/ {print $2}')
[[ $soname == libkiv.so.1 ]] || fail "SONAME is '$soname', not libkiv.so.1"

# The installed programs find the library by themselves; kiv-relay takes its NATS client from lib/.
(cd "$tmp" && env -u LD_LIBRARY_PATH "$prefix/bin/kiv" --version) | grep -q "kiv networking library" ||
  fail "installed kiv does not run"
(cd / && env -u LD_LIBRARY_PATH "$prefix/bin/kiv-relay" --help >/dev/null) || fail "packed kiv-relay does not start"
! ldd "$prefix/bin/kiv-relay" | grep -E 'lib(nats|protobuf-c)' | grep -v "=> $prefix/" || fail "kiv-relay takes those from outside"

check_output() {
  local out=$1
  grep -q "kiv networking library" <<<"$out" || fail "no notice in: $out"
  grep -q "12345 packs into 2 bytes and unpacks to 12345" <<<"$out" || fail "no packing in: $out"
  grep -q "the server got: hello over loopback" <<<"$out" || fail "no token in: $out"
}

# CMake: find_package(kiv) and kiv::kiv.
cmake -S "$src/examples" -B "$tmp/example" -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/example.log" 2>&1 &&
  cmake --build "$tmp/example" >>"$tmp/example.log" 2>&1 || { cat "$tmp/example.log"; fail "example build with CMake"; }
check_output "$(timeout 60 "$tmp/example/kiv_hello")"

# The archive README's own pkg-config line, word for word, beside the unpacked folder, run from another.
line=$(grep '^cc kiv-.*pkg-config --define-prefix' "$prefix/README.md") || fail "no pkg-config line in the README"
(cd "$tmp/fresh" && eval "$line") || fail "the README's line does not build: $line"
check_output "$(cd / && env -u LD_LIBRARY_PATH timeout 60 "$tmp/fresh/hello")"

# A plain install's kiv.pc names its prefix: a plain include path, nothing like .../lib/pkgconfig/../../include.
cmake --install "$build" --prefix "$tmp/plain" >/dev/null
cflags=$(PKG_CONFIG_PATH=$(dirname "$(find "$tmp/plain" -name kiv.pc)") pkg-config --cflags kiv | sed "s/ *$//")
[[ $cflags == "-I$tmp/plain/include" ]] || fail "pkg-config --cflags kiv gives '$cflags'"
echo "package: the archive unpacks anywhere; its programs and consumers built as its README says run from any folder"
