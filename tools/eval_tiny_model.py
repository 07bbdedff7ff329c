#!/usr/bin/python3
"""Measures the bundled chat model through the built program, as a user meets it.

    tools/eval_tiny_model.py [--kestrune build/default/apps/kestrune/kestrune]

Asks `kestrune run` (greedy, no model reference: the bundled model) every held-out question
of data/kestrune-chat/heldout.txt and reports the share answered with the trained answer of
its topic, the different topics that got the same answer, whether each held-out two-turn
conversation's second answer is the one its first turn calls for, and how long one
`kestrune run -p "How do I pull a model?"` takes from start to exit. Exits 1 when a
conversation's second answer is wrong or two topics share an answer.
"""

import argparse
import subprocess
import sys
import time
from pathlib import Path

from chat_corpus import read_corpus, read_heldout

ROOT = Path(__file__).resolve().parent.parent


def ask(kestrune, questions):
    """The answers of one conversation: the questions go in as the lines a user types."""
    run = subprocess.run([str(kestrune), "run", "--temperature", "0", "--max-tokens", "96"],
                         input="".join(q + "\n" for q in questions), capture_output=True,
                         text=True, check=True)
    return run.stdout.rstrip("\n").split("\n")[-len(questions):]


def timed_run(kestrune, question):
    started = time.monotonic()
    run = subprocess.run([str(kestrune), "run", "-p", question], capture_output=True, text=True,
                         check=True)
    return time.monotonic() - started, run.stdout.rstrip("\n").split("\n")[-1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--kestrune", default=ROOT / "build/default/apps/kestrune/kestrune")
    parser.add_argument("--corpus", default=ROOT / "data/kestrune-chat/corpus.txt")
    parser.add_argument("--heldout", default=ROOT / "data/kestrune-chat/heldout.txt")
    args = parser.parse_args()

    topics, follow_ups = read_corpus(args.corpus)
    answers = {name: answer for name, (_, answer) in topics.items()}
    follow_up_answers = {(first, name): answer for first, name, _, answer in follow_ups}
    singles, conversations = read_heldout(args.heldout)

    right, given = 0, {}
    for topic, question in singles:
        answer = ask(args.kestrune, [question])[0]
        ok = answer == answers[topic]
        right += ok
        given.setdefault(answer, set()).add(topic)
        print(f"{'ok ' if ok else 'BAD'} [{topic}] {question}\n      -> {answer}")
    shared = {answer: names for answer, names in given.items() if len(names) > 1}
    print(f"\nheld-out questions answered with their topic's answer: {right}/{len(singles)} "
          f"({100 * right / len(singles):.0f} %)")
    print(f"answers shared by different topics: {len(shared)}")
    for answer, names in shared.items():
        print(f"  {sorted(names)}: {answer}")

    failures = len(shared)
    for first, second, opening, question in conversations:
        replies = ask(args.kestrune, [opening, question])
        ok = replies[1] == follow_up_answers[(first, second)]
        failures += not ok
        print(f"{'ok ' if ok else 'BAD'} [{first} > {second}] {opening} / {question}\n"
              f"      -> {replies[0]}\n      -> {replies[1]}")

    seconds, answer = timed_run(args.kestrune, "How do I pull a model?")
    print(f"\nkestrune run -p \"How do I pull a model?\": {seconds:.2f} s\n      -> {answer}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
