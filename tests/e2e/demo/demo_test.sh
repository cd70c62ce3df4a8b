#!/usr/bin/env bash
# The demo end to end on a built tree, twice, each in a temporary folder of its own:
#   - a whole run exits 0, shows every item, and with VANTREL_DEMO_CLEAN=1
#     leaves nothing behind;
#   - "--keep" leaves Webbridge answering, and the commands it prints stop
#     everything (the services are stopped and removed, the sample is gone).
#   demo_test.sh DEMO   (VANTREL_DEMO_BIN names the build)
set -u
demo=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
expect() {  # WHAT TEST...
  local what=$1; shift
  if "$@"; then echo "ok $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
shows() { grep -Eq "^ ?[0-9]+\. $1" <<<"$out"; }

mkdir "$dir/whole"
out=$(TMPDIR="$dir/whole" VANTREL_DEMO_CLEAN=1 "$demo" 2>&1)
rc=$?
expect "a whole run exits 0" test "$rc" = 0
expect "it shows a range" shows "a static file with a range: Content-Range: bytes 0-15/"
expect "it shows both logins" bash -c 'grep -q "login as alice" <<<"$1" && grep -q "login as bob (Argon2id" <<<"$1"' - "$out"
expect "it shows the SQL report" shows "the SQL report as JSON"
expect "it shows the SEARCH" shows "the SEARCH over volume D: as JSON, 4 files"
expect "it shows the preview" shows "Framesight had the transcoder make the preview"
expect "it shows the 304" shows "the same file with If-None-Match: 304"
expect "it shows both traces" bash -c 'grep -q "Webbridge.s trace, [1-9]" <<<"$1" && grep -q "Taskweave.s trace, [1-9]" <<<"$1"' - "$out"
expect "it stops in order" shows "stopped in order"
expect "nothing is left in its temporary folder" test -z "$(ls -A "$dir/whole")"
[ "$failures" = 0 ] || printf '%s\n' "--- the whole run:" "$out"

mkdir "$dir/keep"
out=$(TMPDIR="$dir/keep" "$demo" --keep 2>&1)
rc=$?
expect "a kept run exits 0" test "$rc" = 0
base=$(grep -o 'Webbridge at http://127.0.0.1:[0-9]*' <<<"$out" | sed 's/^Webbridge at //')
expect "Webbridge still answers" test "$(curl -s -o /dev/null -w '%{http_code}' --max-time 60 "$base/")" = 200
sed -n '/^To look at it/,$s/^  //p' <<<"$out" > "$dir/stop.sh"
work=$(ls -d "$dir"/keep/vantrel-demo.* 2>/dev/null | head -n 1)
registry=$work/registry.db
stop=$(bash -e "$dir/stop.sh" 2>&1)
expect "the printed commands run" test "$?" = 0
expect "they stop Webbridge" bash -c '! curl -s -o /dev/null --max-time 10 "$1/"' - "$base"
expect "they remove the sample" test ! -e "$work"
if [ "$failures" != 0 ]; then printf '%s\n' "--- the kept run:" "$out" "--- its stop commands:" "$stop"; exit 1; fi
