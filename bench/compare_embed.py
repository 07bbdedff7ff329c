#!/usr/bin/env python3
"""Embedding throughput of `kestrune serve` against llama.cpp's own llama-server, side by side
in one run: the same model and threads, the same inputs (texts of about 30 tokens, each
beginning with its own number) sent to /v1/embeddings in requests of --batch texts by one
client. Rounds interleave the two servers (the order alternates); medians over rounds count.
Prints texts per second for each and our ratio, and the lowest cosine between the two servers'
vectors (llama-server's own vectors for a text in a batch can differ from its answer for the
text alone).

Usage: bench/compare_embed.py [--build build/default] [--model M] [--pooling mean]
                              [--rounds 5] [--texts 64] [--batch 8]
Environment: THREADS (default 2), KESTRUNE_LLAMA_BIN_DIR (default: llama-server built from
the pinned source by scripts/setup --tools)."""
import argparse
import http.client
import json
import math
import os
import pathlib
import statistics
import subprocess
import time

from compare_serve import free_port, wait_ready

SENTENCE = "the cat sat on the mat and the dog ran after the bird. "


def embed(port, model, texts):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    conn.request("POST", "/v1/embeddings", json.dumps({"model": model, "input": texts}),
                 {"Content-Type": "application/json"})
    response = conn.getresponse()
    body = response.read()
    if response.status != 200:
        raise SystemExit(f"/v1/embeddings answered {response.status}: {body[:200]!r}")
    return [item["embedding"] for item in json.loads(body)["data"]]


def one_round(port, model, texts, batch):
    began = time.perf_counter()
    vectors = []
    for at in range(0, len(texts), batch):
        vectors += embed(port, model, texts[at:at + batch])
    return len(texts) / (time.perf_counter() - began), vectors


def cosine(a, b):
    dot = sum(x * y for x, y in zip(a, b))
    return dot / (math.sqrt(sum(x * x for x in a)) * math.sqrt(sum(y * y for y in b)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--model")
    parser.add_argument("--pooling", default="mean", help="llama-server's --pooling")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--texts", type=int, default=64)
    parser.add_argument("--batch", type=int, default=8)
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    model = str(pathlib.Path(args.model or build / "models/throughput.gguf").resolve())
    threads = os.environ.get("THREADS", "2")
    bin_dir = pathlib.Path(os.environ.get(
        "KESTRUNE_LLAMA_BIN_DIR", pathlib.Path.home() / ".cache/kestrune/llama-source/build/bin"))
    texts = [f"{number}: " + SENTENCE * 2 for number in range(args.texts)]
    ours_port, theirs_port = free_port(), free_port()
    ours = subprocess.Popen(
        [build / "apps/kestrune/kestrune", "serve", model, "--port", str(ours_port),
         "--threads", threads, "--ctx", "512", "--quiet"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    theirs = subprocess.Popen(
        [bin_dir / "llama-server", "-m", model, "--port", str(theirs_port), "-t", threads,
         "--embeddings", "--pooling", args.pooling, "-c", "4096", "-ub", "512", "-b", "512",
         "--parallel", "8",
         # Each text evaluated whole, as ours are: a slot's cached prefix would spare it work.
         "--no-cache-prompt"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_ready(ours_port, "/health", ours)
        wait_ready(theirs_port, "/health", theirs)
        servers = {"kestrune": ours_port, "llama-server": theirs_port}
        rates = {name: [] for name in servers}
        vectors = {}
        one_round(ours_port, model, texts[:args.batch], args.batch)  # warm-up
        one_round(theirs_port, model, texts[:args.batch], args.batch)
        for number in range(args.rounds):
            order = list(servers) if number % 2 == 0 else list(reversed(servers))
            for name in order:
                rate, vectors[name] = one_round(servers[name], model, texts, args.batch)
                rates[name].append(rate)
        agreement = min(cosine(a, b) for a, b in zip(vectors["kestrune"], vectors["llama-server"]))
        medians = {name: statistics.median(values) for name, values in rates.items()}
        print(f"embeddings: {args.texts} texts of ~30 tokens in requests of {args.batch}, "
              f"{args.rounds} rounds interleaved, {threads} threads; model {model}")
        for name, median in medians.items():
            print(f"  {name:12s} {median:8.1f} texts/s (rounds: "
                  + ", ".join(f"{rate:.1f}" for rate in rates[name]) + ")")
        print(f"  ratio kestrune / llama-server: {medians['kestrune'] / medians['llama-server']:.2f}")
        print(f"  lowest cosine between the two servers' vectors: {agreement:.6f}")
    finally:
        for process in (ours, theirs):
            process.kill()


if __name__ == "__main__":
    main()
