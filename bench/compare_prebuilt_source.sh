#!/usr/bin/env bash
# Our engine linked against the prebuilt llama.cpp against the same engine linked against
# llama.cpp built from the pinned source: the same model and thread count, the two builds run
# in turn (interleaved, so a busy machine slows both alike), each figure the best of its runs.
# Prints prompt (512 tokens) and generation speed of each, the ratio prebuilt/source, and
# whether the two give the same greedy answers.
#
# Usage: bench/compare_prebuilt_source.sh [prebuilt build dir] [source build dir] [model]
# Environment: THREADS (default: nproc), ROUNDS (default: 3).
# The source build is made by scripts/test-from-source.
set -euo pipefail

prebuilt=${1:-build/default}
source=${2:-build/from-source}
model=${3:-$prebuilt/models/throughput.gguf}
threads=${THREADS:-$(nproc)}
rounds=${ROUNDS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for round in $(seq "$rounds"); do
  for side in prebuilt source; do
    build=${!side}
    KESTRUNE_BENCH_MODEL=$model KESTRUNE_BENCH_THREADS=$threads "$build/bench/engine_bench" \
      --benchmark_filter='BM_PromptEval|BM_Decode' --benchmark_format=json \
      --benchmark_out="$work/$side-$round.json" --benchmark_out_format=json >/dev/null
  done
done

# Greedy answers of both builds on the tiny chat model and on the throughput model.
same_answers=yes
for answer_model in "$prebuilt/models/tiny-chat.gguf" "$model"; do
  for side in prebuilt source; do
    build=${!side}
    "$build/apps/kestrune/kestrune" run "$answer_model" -p "the cat" --max-tokens 32 \
      --temperature 0 --no-stream >"$work/$side.answer" 2>/dev/null
  done
  cmp -s "$work/prebuilt.answer" "$work/source.answer" || same_answers="no ($answer_model)"
done

python3 - "$work" "$rounds" "$threads" "$same_answers" <<'PY'
import json, sys
work, rounds, threads, same = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
def best(side, name):
    rates = []
    for r in range(1, rounds + 1):
        for run in json.load(open(f"{work}/{side}-{r}.json"))["benchmarks"]:
            if run["run_name"].startswith(name):
                rates.append(run["tokens_per_second"])
    return max(rates)
print(f"threads: {threads}, rounds: {rounds} (interleaved)")
for kind, name in (("prompt", "BM_PromptEval"), ("decode", "BM_Decode")):
    pre, src = best("prebuilt", name), best("source", name)
    verdict = "ok" if pre / src >= 0.97 else "BELOW"
    print(f"{kind:7s} prebuilt {pre:9.1f} tok/s  source {src:9.1f} tok/s  ratio {pre / src:.3f} (floor 0.97) {verdict}")
print(f"same greedy answers: {same}")
PY
