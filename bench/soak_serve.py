#!/usr/bin/env python3
"""A soak of `kestrune serve`: 2,000 requests from 16 concurrent clients, mixed across both
APIs (streamed and whole), 10 % hung up mid-stream, 5 % malformed. Counts lost requests
(no answer, or a stream without its end), server errors (5xx) on well-formed requests,
malformed ones not answered 400, and the server's resident memory after warm-up and at the
end (VmRSS).

Usage: bench/soak_serve.py [--build build/default] [--model M] [--requests 2000]
       [--clients 16] [--parallel 8] [--threads 0]"""
import argparse
import http.client
import json
import pathlib
import random
import socket
import subprocess
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


def request(port, path, body, read_limit=None):
    """(status, body) — or (status, None) when we hung up after read_limit bytes — or None
    when the connection failed."""
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
        conn.request("POST", path, body, {"Content-Type": "application/json"})
        response = conn.getresponse()
        if read_limit is not None:
            response.read(read_limit)
            conn.sock.close()  # hang up mid-stream
            return response.status, None
        data = response.read()
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
    if kind < 0.05:
        outcome = request(port, path, '{"model": "' + model + '", "messages": [')
        key = "malformed answered 400" if outcome and outcome[0] == 400 else "malformed mishandled"
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--model")
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--parallel", type=int, default=8)
    parser.add_argument("--threads", type=int, default=0,
                        help="the server's CPU threads (0: all); 1 on a loaded machine")
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    model = str(pathlib.Path(args.model or build / "models/kestrune-tiny-chat.gguf").resolve())
    port = free_port()
    server = subprocess.Popen(
        [build / "apps/kestrune/kestrune", "serve", model, "--port", str(port), "--parallel",
         str(args.parallel), "--ctx", "1024", "--threads", str(args.threads), "--quiet"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        server.stdout.readline()  # the ready line
        warm = {}
        run(port, model, 200, args.clients, 1, warm)
        rss_start = rss_kib(server.pid)
        tally = {}
        began = time.time()
        run(port, model, args.requests, args.clients, 2, tally)
        elapsed = time.time() - began
        rss_end = rss_kib(server.pid)
        server.terminate()
        code = server.wait(timeout=60)
        print(f"{args.requests} requests, {args.clients} clients, {args.parallel} slots, "
              f"{elapsed:.0f} s; model {model}")
        for key in sorted(tally):
            print(f"  {key}: {tally[key]}")
        print(f"  RSS after warm-up (200 requests): {rss_start / 1024:.1f} MiB; "
              f"at the end: {rss_end / 1024:.1f} MiB")
        print(f"  exit status after SIGTERM: {code}")
    finally:
        if server.poll() is None:
            server.kill()


if __name__ == "__main__":
    main()
