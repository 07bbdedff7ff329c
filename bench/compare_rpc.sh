#!/usr/bin/env bash
# A model split across machines, side by side in one run, on loopback. Our stack: our engine
# with two `kestrune worker` processes holding the model's last layers. llama.cpp's stack:
# llama-bench --rpc with two of llama.cpp's own rpc-server processes holding the same layers.
# llama-bench is also run against our workers (what our worker costs on its own), and our
# engine alone beside them all.
# Rounds interleave the four; medians of prompt (512 tokens) and generation (128 tokens) speed
# are printed with our ratio to the peer, and the median of each round's ratio.
#
# Usage: bench/compare_rpc.sh [build dir] [model]
# Environment: THREADS (default: 1), ROUNDS (default: 3), SPLIT as LOCAL,FIRST,SECOND
# layers (default 4,4,4: what the planner gives three machines with as much memory free on
# the throughput model's 12 layers; the output layer goes with the second worker).
set -euo pipefail

build=${1:-build/default}
model=${2:-$build/models/throughput.gguf}
# One thread a process: the stand-ins for machines share this machine's cores, and with more
# threads each than there are cores the figures measure the scheduler, not the split.
threads=${THREADS:-1}
rounds=${ROUNDS:-3}
IFS=, read -r local_layers first_layers second_layers <<<"${SPLIT:-4,4,4}"
"$(dirname "${BASH_SOURCE[0]}")/../scripts/setup" --tools
bin_dir=${XDG_CACHE_HOME:-$HOME/.cache}/kestrune/llama-source/build/bin
kestrune=$build/apps/kestrune/kestrune
work=$(mktemp -d)
workers=()
trap 'kill "${workers[@]}" 2>/dev/null; rm -rf "$work"' EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Not called in a command substitution: its subshell would keep the worker's pid from the trap.
start_worker() {
  local name=$1 port
  port=$(free_port)
  case $name in
    ours_*) "$kestrune" worker --port "$port" --threads "$threads" >/dev/null 2>&1 & ;;
    peer_*) "$bin_dir/rpc-server" -H 127.0.0.1 -p "$port" -t "$threads" >/dev/null 2>&1 & ;;
  esac
  workers+=($!)
  for _ in $(seq 100); do
    (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
    sleep 0.1
  done
  printf -v "$name" '127.0.0.1:%s' "$port"
}
start_worker ours_1
start_worker ours_2
start_worker peer_1
start_worker peer_2
echo "workers: ours $ours_1 $ours_2, llama.cpp's $peer_1 $peer_2; split: local $local_layers," \
  "$first_layers, $second_layers (+ output); threads $threads"

ours() {
  KESTRUNE_BENCH_MODEL=$model KESTRUNE_BENCH_THREADS=$threads KESTRUNE_BENCH_RPC="$1" \
    "$build/bench/engine_bench" --benchmark_filter='BM_PromptEval|BM_Decode' \
    --benchmark_format=json --benchmark_out="$2" --benchmark_out_format=json >/dev/null
}

# llama-bench counts the output layer among the offloaded ones and splits them by -ts.
peer() {
  "$bin_dir/llama-bench" -m "$model" -t "$threads" -p 512 -n 128 -r 1 \
    -ngl $((first_layers + second_layers + 1)) -ts "$first_layers/$((second_layers + 1))" \
    --rpc "$1" -o json >"$2" 2>"$2.err"
}

for round in $(seq "$rounds"); do
  ours "" "$work/local-$round.json"
  ours "$ours_1=$first_layers,$ours_2=$second_layers" "$work/ours-$round.json"
  peer "$peer_1,$peer_2" "$work/peer-$round.json"
  peer "$ours_1,$ours_2" "$work/peer_on_ours-$round.json"
done

python3 - "$work" "$rounds" <<'PY'
import json, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
def rate(side, kind, round_):
    runs = json.load(open(f"{work}/{side}-{round_}.json"))
    if side in ("local", "ours"):
        name = {"prompt": "BM_PromptEval", "decode": "BM_Decode"}[kind]
        return next(r["tokens_per_second"] for r in runs["benchmarks"] if r["name"].startswith(name))
    return next(t["avg_ts"] for t in runs if (t["n_prompt"] > 0) == (kind == "prompt"))
for kind in ("prompt", "decode"):
    runs = {side: [rate(side, kind, r) for r in range(1, rounds + 1)]
            for side in ("local", "ours", "peer", "peer_on_ours")}
    median = {side: statistics.median(values) for side, values in runs.items()}
    # Each round's runs were back to back: their ratio is steadier than the machine.
    paired = statistics.median(o / p for o, p in zip(runs["ours"], runs["peer"]))
    print(f"{kind}: local {median['local']:.1f}  split: kestrune {median['ours']:.1f}  "
          f"llama.cpp {median['peer']:.1f}  llama-bench on our workers "
          f"{median['peer_on_ours']:.1f} tok/s")
    print(f"  ours/llama.cpp {median['ours'] / median['peer']:.3f} (per round {paired:.3f})  "
          f"split/local {median['ours'] / median['local']:.3f}")
PY
