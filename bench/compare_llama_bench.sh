#!/usr/bin/env bash
# Our engine against llama.cpp's own llama-bench, side by side in one run: the same model
# (the generated throughput model unless given), the same thread count, prompt 512 and
# generation 128 tokens. Prints both figures and our ratio. The two sides take turns for ROUNDS
# rounds (default 3), each side's best run of a round counts, and the medians of the rounds are
# compared, so a burst of load from elsewhere falls on both.
#
# Usage: bench/compare_llama_bench.sh [build dir] [model]
# Environment: THREADS (default: nproc), KESTRUNE_LLAMA_BIN_DIR (default: llama-bench built
# from the pinned source by scripts/setup --tools, which runs first).
set -euo pipefail

build=${1:-build/default}
model=${2:-$build/models/throughput.gguf}
threads=${THREADS:-$(nproc)}
rounds=${ROUNDS:-3}
if [[ -z "${KESTRUNE_LLAMA_BIN_DIR:-}" ]]; then
  "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup" --tools
fi
bin_dir=${KESTRUNE_LLAMA_BIN_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrune/llama-source/build/bin}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for round in $(seq "$rounds"); do
  "$bin_dir/llama-bench" -m "$model" -t "$threads" -p 512 -n 128 -r 3 -o json \
    >"$work/llama-$round.json"
  KESTRUNE_BENCH_MODEL=$model KESTRUNE_BENCH_THREADS=$threads "$build/bench/engine_bench" \
    --benchmark_repetitions=2 --benchmark_format=json --benchmark_out="$work/ours-$round.json" \
    --benchmark_out_format=json \
    >/dev/null
done

python3 - "$work" "$rounds" "$threads" <<'PY'
import json, statistics, sys
from collections import defaultdict
work, rounds = sys.argv[1], int(sys.argv[2])
reference, measured = defaultdict(list), defaultdict(list)
runs = defaultdict(list)
for r in range(1, rounds + 1):
    for t in json.load(open(f"{work}/llama-{r}.json")):
        reference["prompt" if t["n_prompt"] > 0 else "decode"].append(max(t["samples_ts"]))
    ours = defaultdict(list)
    for run in json.load(open(f"{work}/ours-{r}.json"))["benchmarks"]:
        if run.get("run_type") == "iteration":
            ours[run["run_name"]].append(run)
            runs[run["run_name"]].append(run)
    measured["prompt"].append(max(x["tokens_per_second"]
                                  for x in ours["BM_PromptEval/min_time:2.000/real_time"]))
    measured["decode"].append(max(x["tokens_per_second"]
                                  for x in ours["BM_Decode/min_time:2.000/real_time"]))
reference = {kind: statistics.median(rates) for kind, rates in reference.items()}
measured = {kind: statistics.median(rates) for kind, rates in measured.items()}
fastest = lambda name: min(runs[name], key=lambda r: r["real_time"])
print(f"threads: {sys.argv[3]}, medians of {rounds} interleaved rounds")
for kind, floor in (("prompt", 0.95), ("decode", 0.98)):
    ratio = measured[kind] / reference[kind]
    verdict = "ok" if ratio >= floor else "BELOW"
    print(f"{kind:7s} llama-bench {reference[kind]:9.1f} tok/s  kestrune {measured[kind]:9.1f} tok/s"
          f"  ratio {ratio:.3f} (floor {floor}) {verdict}")
turn1 = fastest("BM_TimeToFirstToken/turn:1/real_time")
turn2 = fastest("BM_TimeToFirstToken/turn:2/real_time")
print(f"time to first token: turn 1 {turn1['real_time']:.1f} ms "
      f"({turn1['prompt_tokens_evaluated']:.0f} tokens evaluated), "
      f"turn 2 {turn2['real_time']:.1f} ms ({turn2['prompt_tokens_evaluated']:.0f} of "
      f"{turn2['prompt_tokens']:.0f} evaluated)")
PY
