#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs the example consumer against it with CMake and pkg-config.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"

fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; }
lib=$(dirname "$(find "$prefix" -name 'libkiv.so' | head -n 1)")
[[ -n $lib && -e $lib/libkiv.so ]] || fail "no libkiv.so installed"
for f in bin/kiv bin/kiv-relay include/kiv.h; do
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
done < <(find "$(dirname "$readme")" -name '*.md')
# A plain include path, nothing like .../lib/pkgconfig/../../include.
cflags=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags kiv | sed "s/ *$//")
[[ $cflags == "-I$prefix/include" ]] || fail "pkg-config --cflags kiv gives '$cflags'"
soname=$(objdump -p "$lib/libkiv.so" | awk '/SONAME/ {print $2}')
[[ $soname == libkiv.so.1 ]] || fail "SONAME is '$soname', not libkiv.so.1"

# The installed programs find the library by themselves.
(cd "$tmp" && env -u LD_LIBRARY_PATH "$prefix/bin/kiv" --version) | grep -q "kiv networking library" ||
  fail "installed kiv does not run"

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

# pkg-config, after moving the whole prefix (as the release archive is):
# --define-prefix finds it from kiv.pc's place.
mv "$prefix" "$tmp/moved"
lib=${lib/$prefix/$tmp/moved}
export PKG_CONFIG_PATH="$lib/pkgconfig"
[[ $(pkg-config --define-prefix --variable=libdir kiv) -ef $lib ]] ||
  fail "kiv.pc libdir is $(pkg-config --define-prefix --variable=libdir kiv)"
# shellcheck disable=SC2046
cc "$src/examples/hello.c" $(pkg-config --define-prefix --cflags --libs kiv) -Wl,-rpath,"$lib" -o "$tmp/hello_pc" ||
  fail "example build with pkg-config"
check_output "$(timeout 60 "$tmp/hello_pc")"
echo "package: installed, found by CMake and pkg-config, example runs"
