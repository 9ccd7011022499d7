#!/usr/bin/env bash
# The rows that run chat_probe as an unprivileged user, with the program inside a
# private folder (mode 0700, as root's home or a mktemp -d folder holding a
# checkout is): they must pass, and where root can become that user they must
# run rather than skip.
#   private_folder.sh TEST_HOSTILE_CLI CHAT_PROBE
set -euo pipefail
tests=$1 exe=$2
private=$(mktemp -d)
trap 'rm -rf "$private"' EXIT
chmod 0700 "$private"
mkdir "$private/checkout"
cp "$exe" "$private/checkout/chat_probe"
rows=HostileCli.WeightsPathsThatAreNoReadableFile
rows+=:HostileCli.ModelDirectoriesWithoutAUsableWeightsFile
rows+=:HostileCli.TokenizerDefinitionsThatCannotBeUsed
status=0
out=$(CHAT_PROBE_EXE="$private/checkout/chat_probe" "$tests" --gtest_filter="$rows" 2>&1) || status=$?
echo "$out"
[ "$status" -eq 0 ] || exit "$status"
if [ "$(id -u)" -eq 0 ] && ! setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
  echo "root cannot become the unprivileged user here: the rows could not run"
  exit 77
fi
grep -q '^\[  PASSED  \] 3 tests' <<<"$out" || { echo "expected the 3 rows to run and pass" >&2; exit 1; }
