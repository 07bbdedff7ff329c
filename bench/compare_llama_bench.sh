#!/usr/bin/env bash
# Our engine against llama.cpp's own llama-bench, side by side in one run: the same model
# (the generated throughput model unless given), the same thread count, prompt 512 and
# generation 128 tokens. Prints both figures and our ratio. Each side is repeated and its best
# run counts, so a busy machine disturbs the comparison less.
#
# Usage: bench/compare_llama_bench.sh [build dir] [model]
# Environment: THREADS (default: nproc), KESTRUNE_LLAMA_BIN_DIR (default: llama-bench built
# from the pinned source by scripts/setup --tools, which runs first).
set -euo pipefail

build=${1:-build/default}
model=${2:-$build/models/throughput.gguf}
threads=${THREADS:-$(nproc)}
if [[ -z "${KESTRUNE_LLAMA_BIN_DIR:-}" ]]; then
  "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup" --tools
fi
bin_dir=${KESTRUNE_LLAMA_BIN_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrune/llama-source/build/bin}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin_dir/llama-bench" -m "$model" -t "$threads" -p 512 -n 128 -r 5 -o json >"$work/llama.json"
KESTRUNE_BENCH_MODEL=$model KESTRUNE_BENCH_THREADS=$threads "$build/bench/engine_bench" \
  --benchmark_repetitions=3 --benchmark_format=json --benchmark_out="$work/ours.json" \
  --benchmark_out_format=json \
  >/dev/null

python3 - "$work/llama.json" "$work/ours.json" "$threads" <<'PY'
import json, sys
from collections import defaultdict
llama = json.load(open(sys.argv[1]))
runs = defaultdict(list)
for run in json.load(open(sys.argv[2]))["benchmarks"]:
    if run.get("run_type") == "iteration":
        runs[run["run_name"]].append(run)
best_rate = lambda name: max(r["tokens_per_second"] for r in runs[name])
fastest = lambda name: min(runs[name], key=lambda r: r["real_time"])
reference = {("prompt" if t["n_prompt"] > 0 else "decode"): max(t["samples_ts"]) for t in llama}
measured = {
    "prompt": best_rate("BM_PromptEval/min_time:2.000/real_time"),
    "decode": best_rate("BM_Decode/min_time:2.000/real_time"),
}
print(f"threads: {sys.argv[3]}")
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
