"""The bundled chat model's corpus (data/kestrune-chat/corpus.txt) and its held-out questions
(heldout.txt), as read by the training and the evaluation scripts."""

import re
from pathlib import Path


def read_corpus(path):
    """Topics {name: (questions, answer)} and follow-ups
    [(first topic, follow-up topic, questions, answer)]."""
    topics, follow_ups = {}, []
    header, questions = None, []
    for line in Path(path).read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        if line.startswith("["):
            header, questions = line.strip("[]"), []
        elif line.startswith("Q "):
            questions.append(line[2:].strip())
        elif line.startswith("A "):
            answer = line[2:].strip()
            if ">" in header:
                first, name = (part.strip() for part in header.split(">"))
                follow_ups.append((first, name, questions, answer))
            else:
                topics[header] = (questions, answer)
    return topics, follow_ups


def read_heldout(path):
    """Single questions [(topic, question)] and two-turn conversations
    [(first topic, follow-up topic, first question, follow-up question)]."""
    singles, conversations = [], []
    for line in Path(path).read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        fields = [part.strip() for part in line.split("|")]
        if ">" in fields[0]:
            first, second = (part.strip() for part in fields[0].split(">"))
            conversations.append((first, second, fields[1], fields[2]))
        else:
            singles.append((fields[0], fields[1]))
    return singles, conversations


def normalised(question):
    return re.sub(r"[^a-z0-9]+", " ", question.lower()).strip()


def question_variants(question):
    """The question as written and as people also type it: lower case, no question mark,
    with a short lead-in."""
    bare = question.rstrip("?.!")
    lower = question[0].lower() + question[1:]
    lead_in = "Please tell me: " if len(question) % 2 else "Quick question. "
    return [question, lower, bare, lead_in + lower]
