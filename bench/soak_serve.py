#!/usr/bin/env python3
"""A soak of `kestrune serve`: rounds of 2,000 requests from 16 concurrent clients, mixed across
both APIs (streamed and whole), 10 % hung up mid-stream, 3 % read slowly, 5 % malformed, with
busy loops beside the server for CPU contention. Per round: lost requests (no answer, or a
stream without its end), server errors (5xx) on well-formed requests, malformed ones not
answered 400, latency medians and 99th percentiles, and the server's resident memory (VmRSS). A
watchdog fails a round as a stall when no request completes for 30 s, with the server's threads
dumped (gdb). Then a switch phase: a server holding one model at a time is asked for two models
in turn, and its memory is read after every switch.

Usage: bench/soak_serve.py [--build build/default] [--model M] [--rounds 10] [--requests 2000]
       [--clients 16] [--parallel 8] [--threads 0] [--busy 2] [--switches 50]"""
import argparse
import http.client
import json
import pathlib
import random
import shutil
import statistics
import socket
import subprocess
import sys
import threading
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def request(port, path, body, read_limit=None, slow=False):
    """(status, body) — or (status, None) when we hung up after read_limit bytes — or None
    when the connection failed. A slow reader takes 16 bytes every 0.2 s for 2 s first."""
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
        conn.request("POST", path, body, {"Content-Type": "application/json"})
        response = conn.getresponse()
        if read_limit is not None:
            response.read(read_limit)
            conn.sock.close()  # hang up mid-stream
            return response.status, None
        data = b""
        for _ in range(10 if slow else 0):
            data += response.read(16)
            time.sleep(0.2)
        data += response.read()
        conn.close()
        return response.status, data
    except OSError:
        return None


def one_request(port, model, rng, number, tally, lock):
    kind = rng.random()
    stream = rng.random() < 0.5
    ollama = rng.random() < 0.5
    messages = [{"role": "user", "content": f"{number}: tell me about the cat"}]
    if ollama:
        path = "/api/chat"
        body = {"model": model, "messages": messages, "stream": stream,
                "options": {"num_predict": 24, "temperature": 0.7}}
    else:
        path = "/v1/chat/completions"
        body = {"model": model, "messages": messages, "stream": stream, "max_tokens": 24}
    began = time.time()
    if kind < 0.05:
        outcome = request(port, path, '{"model": "' + model + '", "messages": [')
        key = "malformed answered 400" if outcome and outcome[0] == 400 else "malformed mishandled"
    elif kind < 0.08:
        body["stream"] = True
        outcome = request(port, path, json.dumps(body), slow=True)
        ended = outcome and outcome[1] is not None and (
            outcome[1].rstrip().endswith(b"data: [DONE]") or b'"done":true' in outcome[1])
        key = "slow reader ok" if ended else "lost"
    elif kind < 0.15:
        body["stream"] = True
        body.get("options", body)["num_predict" if ollama else "max_tokens"] = 400
        outcome = request(port, path, json.dumps(body), read_limit=64)
        key = "cancelled" if outcome and outcome[0] == 200 else "lost"
    else:
        outcome = request(port, path, json.dumps(body))
        if outcome is None:
            key = "lost"
        elif outcome[0] >= 500:
            key = "server errors"
        elif outcome[0] != 200:
            key = f"status {outcome[0]}"
        elif stream and not ollama and not outcome[1].rstrip().endswith(b"data: [DONE]"):
            key = "lost"
        elif ollama and b'"done":true' not in outcome[1]:
            key = "lost"
        else:
            key = "ok"
    with lock:
        tally[key] = tally.get(key, 0) + 1
        tally.setdefault("latencies", []).append(time.time() - began)
        tally["last completion"] = time.time()


def run(port, model, requests, clients, seed, tally):
    lock = threading.Lock()
    numbers = iter(range(requests))

    def client(index):
        rng = random.Random(seed * 1000 + index)
        while True:
            with lock:
                number = next(numbers, None)
            if number is None:
                return
            one_request(port, model, rng, number, tally, lock)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def start_server(build, model, args, extra=()):
    port = free_port()
    server = subprocess.Popen(
        [build / "apps/kestrune/kestrune", "serve", model, "--port", str(port), "--parallel",
         str(args.parallel), "--ctx", "1024", "--threads", str(args.threads), "--quiet", *extra],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    server.stdout.readline()  # the ready line
    return server, port


def watch(server, tally, stalls, done):
    """Records a stall (and the server's threads) when no request completes for 30 s."""
    while not done.wait(1):
        quiet = time.time() - tally.get("last completion", time.time())
        if quiet > 30 and not stalls:
            dump = "(gdb missing)"
            if shutil.which("gdb"):
                dump = subprocess.run(["gdb", "-batch", "-ex", "thread apply all bt", "-p",
                                       str(server.pid)], capture_output=True, text=True).stdout
            stalls.append(dump)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else 0


def soak(build, model, args):
    server, port = start_server(build, model, args)
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
            for _ in range(args.busy)]
    failed = False
    try:
        run(port, model, 200, args.clients, 1, {})
        rss = [rss_kib(server.pid)]
        print(f"soak: {args.rounds} rounds x {args.requests} requests, {args.clients} clients, "
              f"{args.parallel} slots, {args.busy} busy loops beside; model {model}")
        print(f"  RSS after warm-up (200 requests): {rss[0] / 1024:.1f} MiB")
        for number in range(args.rounds):
            tally, stalls, done = {"last completion": time.time()}, [], threading.Event()
            watchdog = threading.Thread(target=watch, args=(server, tally, stalls, done))
            watchdog.start()
            began = time.time()
            run(port, model, args.requests, args.clients, number + 2, tally)
            done.set()
            watchdog.join()
            rss.append(rss_kib(server.pid))
            latencies = tally.pop("latencies", [])
            tally.pop("last completion", None)
            bad = sum(tally.get(k, 0) for k in ("lost", "server errors", "malformed mishandled"))
            failed |= bad > 0 or bool(stalls)
            print(f"  round {number + 1}: {time.time() - began:.0f} s, "
                  + ", ".join(f"{k} {tally[k]}" for k in sorted(tally))
                  + f", stalls {len(stalls)}, p50 {statistics.median(latencies):.2f} s, "
                  f"p99 {percentile(latencies, 0.99):.2f} s, RSS {rss[-1] / 1024:.1f} MiB")
            for dump in stalls:
                print(dump)
        print(f"  RSS drift, first to last round: {(rss[-1] - rss[1]) / 1024:+.1f} MiB")
        server.terminate()
        print(f"  exit status after SIGTERM: {server.wait(timeout=60)}")
    finally:
        for loop in busy:
            loop.kill()
        if server.poll() is None:
            server.kill()
    return failed


def switches(build, args):
    """RSS of a server holding one model at a time, asked for two in turn."""
    models = [str((build / "models" / name).resolve())
              for name in ("kestrune-tiny-chat.gguf", "kestrune-tiny-chat-deeper.gguf")]
    server, port = start_server(build, models[0], args,
                                ("--max-models", "1", "--models-dir", str(build / "models")))
    try:
        rss = []
        for number in range(args.switches + 2):
            body = {"model": models[number % 2], "stream": False, "max_tokens": 4,
                    "messages": [{"role": "user", "content": "the cat"}]}
            outcome = request(port, "/v1/chat/completions", json.dumps(body))
            if not outcome or outcome[0] != 200:
                print(f"  switch {number}: {outcome and outcome[0]}")
                return True
            rss.append(rss_kib(server.pid))
        # The first two loads warm the allocator up; growth is counted from there.
        growth = (rss[-1] - rss[1]) / 1024
        print(f"switches: {args.switches} between two models, one loaded at a time: RSS "
              f"{rss[1] / 1024:.1f} MiB after the first two, {rss[-1] / 1024:.1f} MiB at the end "
              f"({growth:+.1f} MiB; most {max(rss) / 1024:.1f} MiB)")
        print("  RSS after each switch (MiB): " + " ".join(f"{kib / 1024:.0f}" for kib in rss))
        return growth > 20
    finally:
        server.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--model")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--parallel", type=int, default=8)
    parser.add_argument("--threads", type=int, default=0,
                        help="the server's CPU threads (0: all); 1 on a loaded machine")
    parser.add_argument("--busy", type=int, default=2, help="busy loops beside the server")
    parser.add_argument("--switches", type=int, default=50, help="0: no switch phase")
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # each round's line as it ends, even into a pipe
    build = pathlib.Path(args.build)
    model = str(pathlib.Path(args.model or build / "models/kestrune-tiny-chat.gguf").resolve())
    failed = soak(build, model, args) if args.rounds > 0 else False
    if args.switches > 0:
        failed |= switches(build, args)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
