#!/usr/bin/env bash
# A model split across machines, side by side in one run: two `kestrune worker` processes on
# loopback hold the model's last layers, and the same split is run by our engine and by
# llama.cpp's own llama-bench --rpc against the same workers; our engine alone runs beside them.
# Rounds interleave the three; medians of prompt (512 tokens) and generation (128 tokens)
# speed are printed with our ratio to the peer, and the median of each round's ratio.
#
# Usage: bench/compare_rpc.sh [build dir] [model]
# Environment: THREADS (default: 1), ROUNDS (default: 3), SPLIT as LOCAL,FIRST,SECOND
# layers (default 4,4,4: what the planner gives three machines with as much memory free on
# the throughput model's 12 layers; the output layer goes with the second worker).
set -euo pipefail

build=${1:-build/default}
model=${2:-$build/models/throughput.gguf}
# One thread a process: the three stand-ins for machines share this machine's cores, and with
# more threads each than there are cores the figures measure the scheduler, not the split.
threads=${THREADS:-1}
rounds=${ROUNDS:-3}
IFS=, read -r local_layers first_layers second_layers <<<"${SPLIT:-4,4,4}"
"$(dirname "${BASH_SOURCE[0]}")/../scripts/setup" --tools
bin_dir=${XDG_CACHE_HOME:-$HOME/.cache}/kestrune/llama-source/build/bin
kestrune=$build/apps/kestrune/kestrune
work=$(mktemp -d)
workers=()
trap 'kill "${workers[@]}" 2>/dev/null; rm -rf "$work"' EXIT

# Not called in a command substitution: its subshell would keep the worker's pid from the trap.
start_worker() {
  "$kestrune" worker --port 0 --threads "$threads" >"$work/worker-$1.out" 2>/dev/null &
  workers+=($!)
  for _ in $(seq 100); do
    grep -q "on " "$work/worker-$1.out" 2>/dev/null && break
    sleep 0.1
  done
}
start_worker 1
start_worker 2
first=$(awk '{print $NF}' "$work/worker-1.out")
second=$(awk '{print $NF}' "$work/worker-2.out")
echo "workers: $first $second; split: local $local_layers, $first $first_layers, $second $second_layers (+ output); threads $threads"

ours() {
  KESTRUNE_BENCH_MODEL=$model KESTRUNE_BENCH_THREADS=$threads KESTRUNE_BENCH_RPC="$1" \
    "$build/bench/engine_bench" --benchmark_filter='BM_PromptEval|BM_Decode' \
    --benchmark_format=json --benchmark_out="$2" --benchmark_out_format=json >/dev/null
}

# llama-bench counts the output layer among the offloaded ones and splits them by -ts.
offloaded=$((first_layers + second_layers + 1))
for round in $(seq "$rounds"); do
  ours "" "$work/local-$round.json"
  ours "$first=$first_layers,$second=$second_layers" "$work/ours-$round.json"
  "$bin_dir/llama-bench" -m "$model" -t "$threads" -p 512 -n 128 -r 1 -ngl "$offloaded" \
    -ts "$first_layers/$((second_layers + 1))" --rpc "$first,$second" -o json \
    >"$work/peer-$round.json" 2>"$work/peer-$round.err"
done

python3 - "$work" "$rounds" <<'PY'
import json, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
def ours(side, kind, round_):
    name = {"prompt": "BM_PromptEval", "decode": "BM_Decode"}[kind]
    for run in json.load(open(f"{work}/{side}-{round_}.json"))["benchmarks"]:
        if run["name"].startswith(name):
            return run["tokens_per_second"]
def peer(kind, round_):
    for test in json.load(open(f"{work}/peer-{round_}.json")):
        if (test["n_prompt"] > 0) == (kind == "prompt"):
            return test["avg_ts"]
for kind in ("prompt", "decode"):
    runs = {side: [ours(side, kind, r) for r in range(1, rounds + 1)] for side in ("local", "ours")}
    runs["peer"] = [peer(kind, r) for r in range(1, rounds + 1)]
    rates = {side: statistics.median(values) for side, values in runs.items()}
    # Each round's two splits ran back to back: their ratio is steadier than the machine.
    paired = statistics.median(o / p for o, p in zip(runs["ours"], runs["peer"]))
    print(f"{kind:7s} local {rates['local']:8.1f}  split: kestrune {rates['ours']:8.1f}  "
          f"llama-bench {rates['peer']:8.1f} tok/s  ours/peer {rates['ours'] / rates['peer']:.3f} "
          f"(per round {paired:.3f})  split/local {rates['ours'] / rates['local']:.3f}")
PY
