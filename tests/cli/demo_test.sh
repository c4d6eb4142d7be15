#!/usr/bin/env bash
# Runs scripts/demo against an existing build and checks its exit status and the key lines of its transcript.
# Usage: demo_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT

timeout 150 bash "$src/scripts/demo" --no-build --build-dir "$build" >"$out" 2>&1
status=$?
cat "$out"
if [[ $status -ne 0 ]]; then
  echo "FAIL: scripts/demo exited with $status"
  exit 1
fi

missing=0
expect() {
  if ! grep -qF -- "$1" "$out"; then
    echo "FAIL: the transcript lacks: $1"
    missing=1
  fi
}
expect "kiv-relay (the relay service) is listening on port "
expect "the library finds it through KIV_RELAY=127.0.0.1:"
expect "Next steps:"
expect "docs/reference.md"
expect "alice     joined as player 1"
expect "carol     joined as player 3"
expect "carol     got token \"hello, everyone\""
expect "server    got message 1 from player 1: \"ready\""
expect "carol     got message 2 from player 2: \"round starts\""
expect "bob       got message 3 from player 3: \"psst, bob\""
expect "alice     got message 4 from the server: \"you lead\""
expect "carol     sees data 3 = \"blue team\""
expect "dave      sees data 1 = 1000"
expect "server    player 3 has no address any more: carol left"
expect "received the file: 16777216 bytes"
expect "receiver  compared the two files: identical"
expect "frank     got token \"hi frank, found you\""
expect "erin      got token \"hi erin\""
expect "this machine's address: 127.0.0.1"
expect "== Demo finished: every step above was checked."
if [[ $missing -ne 0 ]]; then exit 1; fi
echo "demo transcript: all key lines present"
