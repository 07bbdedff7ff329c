#!/usr/bin/env python3
"""`kestrune serve` against llama.cpp's own llama-server, side by side in one run: the same
model (the generated throughput model unless given), the same slots (8), threads and batch
size. Concurrent streaming clients (1, 4, 8) send short prompts (~15 tokens, 128 generated)
and long ones (~130 tokens, 64 generated) to /v1/completions; each prompt begins with its
own number so no server reuses another's cache. Rounds interleave the two servers (the
order alternates) and the medians over rounds count. Prints aggregate generated tokens per
second, time to first token p50/p99, lost requests, and our ratio.

Usage: bench/compare_serve.py [--build build/default] [--model M] [--rounds 3]
                              [--clients 1,4,8] [--prompts short,long]
Environment: THREADS (default 2), KESTRUNE_LLAMA_BIN_DIR (default: llama-server built from
the pinned source by scripts/setup --tools)."""
import argparse
import http.client
import json
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import threading
import time

SLOTS = 8
CONCURRENCY = (1, 4, 8)
SCENARIOS = {"short": (2, 128), "long": (26, 64)}  # sentence repeats, tokens generated
SENTENCE = "the cat sat on the mat. "


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_ready(port, path, process, seconds=120):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if process.poll() is not None:
            raise SystemExit(f"server exited with {process.returncode}")
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            conn.request("GET", path)
            if conn.getresponse().status == 200:
                return
        except OSError:
            pass
        time.sleep(0.2)
    raise SystemExit("server never became ready")


def cpu_seconds(pid):
    """User and system CPU time a process has used so far, its threads together."""
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cpu_percent(processes, seconds=5):
    """Each server's CPU use while no request is open: a busy-waiting worker shows here."""
    before = {name: cpu_seconds(process.pid) for name, process in processes.items()}
    time.sleep(seconds)
    return {name: 100 * (cpu_seconds(process.pid) - before[name]) / seconds
            for name, process in processes.items()}


def stream_completion(port, model, prompt, max_tokens):
    """(time to first token, generated tokens), or None when the request failed."""
    body = {"model": model, "prompt": prompt, "max_tokens": max_tokens, "temperature": 0,
            "stream": True, "stream_options": {"include_usage": True}}
    start = time.perf_counter()
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
        conn.request("POST", "/v1/completions", json.dumps(body),
                     {"Content-Type": "application/json"})
        response = conn.getresponse()
        if response.status != 200:
            return None
        first, pieces, usage, done = None, 0, None, False
        for line in response:
            if not line.startswith(b"data: "):
                continue
            data = line[6:].strip()
            if data == b"[DONE]":
                done = True
                break
            event = json.loads(data)
            usage = event.get("usage") or usage
            for choice in event.get("choices", []):
                if choice.get("text"):
                    first = first or time.perf_counter() - start
                    pieces += 1
        conn.close()
        if not done or first is None:
            return None
        return first, (usage or {}).get("completion_tokens", pieces)
    except (OSError, ValueError):
        return None


def run_scenario(port, model, clients, repeats, generated, counter):
    """Aggregate tokens/s, the times to first token, and the count of lost requests."""
    results, lock = [], threading.Lock()
    per_client = 2 if clients == 1 else 1

    def client():
        for _ in range(per_client):
            with lock:
                counter[0] += 1
                number = counter[0]
            result = stream_completion(port, model, f"{number} " + SENTENCE * repeats, generated)
            with lock:
                results.append(result)

    threads = [threading.Thread(target=client) for _ in range(clients)]
    began = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - began
    good = [r for r in results if r is not None]
    return (sum(tokens for _, tokens in good) / elapsed, [ttft for ttft, _ in good],
            len(results) - len(good))


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--model")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--clients", default=",".join(map(str, CONCURRENCY)),
                        help="concurrencies to measure, e.g. 1,8")
    parser.add_argument("--prompts", default=",".join(SCENARIOS), help="short,long")
    args = parser.parse_args()
    concurrency = [int(n) for n in args.clients.split(",")]
    scenarios = {name: SCENARIOS[name] for name in args.prompts.split(",")}
    build = pathlib.Path(args.build)
    model = str(pathlib.Path(args.model or build / "models/throughput.gguf").resolve())
    threads = os.environ.get("THREADS", "2")
    bin_dir = os.environ.get("KESTRUNE_LLAMA_BIN_DIR")
    if not bin_dir:
        subprocess.run([pathlib.Path(__file__).parent.parent / "scripts/setup", "--tools"],
                       check=True)
        bin_dir = pathlib.Path.home() / ".cache/kestrune/llama-source/build/bin"
    ours_port, peer_port = free_port(), free_port()
    servers = {
        "kestrune": (subprocess.Popen(
            [build / "apps/kestrune/kestrune", "serve", model, "--port", str(ours_port),
             "--parallel", str(SLOTS), "--ctx", "512", "--threads", threads, "--quiet"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), ours_port, "/api/version"),
        "llama-server": (subprocess.Popen(
            [pathlib.Path(bin_dir) / "llama-server", "-m", model, "--port", str(peer_port),
             "--host", "127.0.0.1", "-np", str(SLOTS), "-c", str(512 * SLOTS), "-t", threads,
             "-tb", threads, "-b", "512", "-ub", "512", "-kvu", "--no-webui", "--log-disable"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), peer_port, "/health"),
    }
    try:
        for process, port, path in servers.values():
            wait_ready(port, path, process)
        counter = [0]
        for name, (_, port, _) in servers.items():  # warm-up
            stream_completion(port, model, "warm up", 8)
        idle = idle_cpu_percent({name: process for name, (process, _, _) in servers.items()})
        figures = {}  # (server, scenario, clients) -> list of (rate, ttfts, lost)
        cpu = {}  # (server, scenario, clients) -> the server's CPU % while serving, per round
        for round_number in range(args.rounds):
            order = list(servers) if round_number % 2 == 0 else list(reversed(servers))
            for scenario, (repeats, generated) in scenarios.items():
                for clients in concurrency:
                    for name in order:
                        process, port, _ = servers[name]
                        cpu_before, began = cpu_seconds(process.pid), time.perf_counter()
                        figure = run_scenario(port, model, clients, repeats, generated, counter)
                        busy = 100 * (cpu_seconds(process.pid) - cpu_before) / (
                            time.perf_counter() - began)
                        figures.setdefault((name, scenario, clients), []).append(figure)
                        cpu.setdefault((name, scenario, clients), []).append(busy)
                        print(f"round {round_number + 1} {scenario} {clients} {name}: "
                              f"{figure[0]:.1f} tok/s", file=sys.stderr, flush=True)
        print(f"model {model}, {threads} threads, {SLOTS} slots, {args.rounds} rounds (medians)")
        print("idle CPU with no request open: " +
              ", ".join(f"{name} {percent:.1f} %" for name, percent in idle.items()))
        print(f"{'prompt':6} {'clients':>7} {'server':>12} {'tok/s':>8} {'TTFT p50':>9} "
              f"{'TTFT p99':>9} {'lost':>5} {'CPU %':>6} {'ratio':>6}")
        for scenario in scenarios:
            for clients in concurrency:
                rates = {name: statistics.median(rate for rate, _, _ in
                                                 figures[(name, scenario, clients)])
                         for name in servers}
                for name in servers:
                    runs = figures[(name, scenario, clients)]
                    ttfts = [t for _, times, _ in runs for t in times]
                    lost = sum(lost for _, _, lost in runs)
                    ratio = f"{rates[name] / rates['llama-server']:.2f}" if name == "kestrune" else ""
                    print(f"{scenario:6} {clients:>7} {name:>12} {rates[name]:8.1f} "
                          f"{percentile(ttfts, 0.5) * 1000:7.0f}ms "
                          f"{percentile(ttfts, 0.99) * 1000:7.0f}ms {lost:5d} "
                          f"{statistics.median(cpu[(name, scenario, clients)]):6.0f} {ratio:>6}")
    finally:
        for process, _, _ in servers.values():
            process.terminate()
            process.wait()


if __name__ == "__main__":
    main()
