#!/usr/bin/env bash
# A step that fails ends the demo with exit code 1 and names the step, its
# command and the last lines of its output. An ffmpeg that cannot encode
# stands in front of Debian's on PATH, so the first step of the sample fails.
#   failing_step_test.sh DEMO
set -u
demo=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin"
cat > "$dir/bin/ffmpeg" <<'SH'
#!/bin/sh
echo "ffmpeg stand-in: line one" >&2
echo "ffmpeg stand-in: cannot encode testsrc" >&2
exit 3
SH
chmod +x "$dir/bin/ffmpeg"

out=$(PATH="$dir/bin:$PATH" TMPDIR="$dir" "$demo" 2>&1)
rc=$?
failures=0
expect() {  # WHAT TEST...
  local what=$1; shift
  if "$@"; then echo "ok $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
expect "the demo exits 1" test "$rc" = 1
expect "the failing step is named" grep -q '^demo: step "make the clips and stills" failed' <<<"$out"
expect "its command is shown" grep -q '^  command: bash -c .*ffmpeg' <<<"$out"
expect "its last output lines are shown" grep -q '^  | ffmpeg stand-in: cannot encode testsrc' <<<"$out"
expect "no later step ran" bash -c '! grep -q "database" <<<"$1"' - "$out"
expect "it says where the sample lies" grep -q "^demo: the sample lies in $dir/vantrel-demo\." <<<"$out"
if [ "$failures" != 0 ]; then printf '%s\n' "--- the demo's output:" "$out"; exit 1; fi
