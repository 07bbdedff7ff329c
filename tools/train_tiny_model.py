#!/usr/bin/python3
"""Trains the bundled chat model, Kestrune's default for `kestrune run`, and writes it as GGUF.

    /usr/bin/python3 tools/train_tiny_model.py

reads data/kestrune-chat/corpus.txt and writes data/models/kestrune-tiny-chat.gguf together
with data/kestrune-chat/reference-logits.json, the logits PyTorch gives for a few prompts
(tests/models compares llama.cpp's logits with them). Needs Debian's python3-torch (CPU),
libopenblas0-pthread for speed, and the pinned llama.cpp built by scripts/setup: its
tokenizer (libllama through ctypes) splits the training text, so training and inference see
the same tokens, and its gguf-py writes the file. Deterministic for a given machine: fixed
seed, fixed data order. 15 to 45 minutes on two cores, as busy as the machine is.

The model is a llama: RMS norms, rotary positions (adjacent pairs, as llama.cpp rotates
them), causal multi-head attention, a SwiGLU feed-forward, output tied to the embeddings.
Its vocabulary is built from the corpus: every word with and without SentencePiece's
word-boundary mark, every prefix of those (the SPM merges need them), printable ASCII, the
256 byte tokens and the ChatML markers; <|im_end|> ends a turn.
"""

import argparse
import ctypes
import json
import math
import os
import random
import re
import sys
import time
from pathlib import Path

import numpy as np
import torch
import torch.nn.functional as F

from chat_corpus import normalised, question_variants, read_corpus, read_heldout

ROOT = Path(__file__).resolve().parent.parent
LLAMA_ROOT = Path.home() / ".cache/kestrune/llama-current"
# The pinned source (gguf-py) sits apart from the libraries when they are the prebuilt ones.
LLAMA_SOURCE = Path.home() / ".cache/kestrune/llama-source"
SPACE = "\u2581"
CHATML = ("{% for message in messages %}"
          "{{'<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>' + '\\n'}}"
          "{% endfor %}"
          "{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}")
CONTROL = ["<unk>", "<s>", "</s>", "<|im_start|>", "<|im_end|>"]
UNK, BOS, EOS, IM_START, IM_END = range(5)
TOKEN_NORMAL, TOKEN_UNKNOWN, TOKEN_CONTROL, TOKEN_BYTE = 1, 2, 3, 6
SHAPE = dict(n_embd=192, n_head=3, n_layer=4, n_ff=512, n_ctx=2048)
RMS_EPS = 1e-5
ROPE_BASE = 10000.0
SEED = 1234
# Prompts whose logits are kept for the comparison with llama.cpp.
REFERENCE_CHATS = [
    [{"role": "user", "content": "How do I pull a model?"}],
    [{"role": "user", "content": "What is GGUF?"}],
    [{"role": "user", "content": "How do I pull a model?"},
     {"role": "assistant", "content": "Run kestrune pull NAME."},
     {"role": "user", "content": "And how do I remove it?"}],
]


# --- the vocabulary ---

def words_of(text):
    return re.findall(r"[A-Za-z0-9_'-]+", text)


def build_vocabulary(texts):
    tokens = list(CONTROL) + [f"<0x{b:02X}>" for b in range(256)]
    types = [TOKEN_UNKNOWN] + [TOKEN_CONTROL] * 4 + [TOKEN_BYTE] * 256
    seen = set(tokens)

    def add(text):
        if text not in seen:
            seen.add(text)
            tokens.append(text)
            types.append(TOKEN_NORMAL)

    for code in range(0x21, 0x7F):
        add(chr(code))
    add(SPACE)
    words = sorted({word for text in texts for word in words_of(text)})
    for word in words:
        add(SPACE + word)
        add(word)
    for word in words:
        for form in (SPACE + word, word):
            for length in range(1, len(form)):
                add(form[:length])
    # SPM merges the pair whose result scores highest: whole words first.
    scores = [0.0] * len(tokens)
    for i, (text, kind) in enumerate(zip(tokens, types)):
        if kind == TOKEN_NORMAL:
            scores[i] = len(text) - i * 1e-6
    return tokens, scores, types


# --- GGUF ---

def gguf_module():
    sys.path.insert(0, str(LLAMA_SOURCE / "src/gguf-py"))
    import gguf
    return gguf


def write_gguf(path, vocabulary, tensors=()):
    gguf = gguf_module()
    tokens, scores, types = vocabulary
    writer = gguf.GGUFWriter(str(path), "llama")
    writer.add_type("model")
    writer.add_name("Kestrune Tiny Chat")
    writer.add_author("Kestrune")
    writer.add_description("A small llama trained on questions and answers about Kestrune")
    writer.add_license("MIT")
    writer.add_file_type(1)  # mostly F16
    writer.add_context_length(SHAPE["n_ctx"])
    writer.add_embedding_length(SHAPE["n_embd"])
    writer.add_block_count(SHAPE["n_layer"])
    writer.add_feed_forward_length(SHAPE["n_ff"])
    writer.add_head_count(SHAPE["n_head"])
    writer.add_head_count_kv(SHAPE["n_head"])
    writer.add_rope_dimension_count(SHAPE["n_embd"] // SHAPE["n_head"])
    writer.add_rope_freq_base(ROPE_BASE)
    writer.add_layer_norm_rms_eps(RMS_EPS)
    writer.add_vocab_size(len(tokens))
    writer.add_tokenizer_model("llama")
    writer.add_token_list(tokens)
    writer.add_token_scores(scores)
    writer.add_token_types(types)
    writer.add_bos_token_id(BOS)
    writer.add_eos_token_id(IM_END)
    writer.add_unk_token_id(UNK)
    writer.add_pad_token_id(EOS)
    writer.add_add_bos_token(False)
    writer.add_add_eos_token(False)
    writer.add_chat_template(CHATML)
    for name, array in tensors:
        writer.add_tensor(name, array)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


# --- llama.cpp's tokenizer, through ctypes ---

class ModelParams(ctypes.Structure):
    _fields_ = [("devices", ctypes.c_void_p), ("tensor_buft_overrides", ctypes.c_void_p),
                ("n_gpu_layers", ctypes.c_int32), ("split_mode", ctypes.c_int),
                ("load_mode", ctypes.c_int), ("lazy_mode", ctypes.c_int),
                ("main_gpu", ctypes.c_int32), ("tensor_split", ctypes.c_void_p),
                ("progress_callback", ctypes.c_void_p),
                ("progress_callback_user_data", ctypes.c_void_p),
                ("kv_overrides", ctypes.c_void_p), ("vocab_only", ctypes.c_bool),
                ("check_tensors", ctypes.c_bool), ("use_extra_bufts", ctypes.c_bool),
                ("no_host", ctypes.c_bool), ("no_alloc", ctypes.c_bool),
                ("load_mtp", ctypes.c_bool)]


class Tokenizer:
    """llama.cpp's tokenizer of a vocabulary-only GGUF file."""

    def __init__(self, library, gguf_path, n_vocab):
        lib = ctypes.CDLL(str(library))
        lib.llama_model_default_params.restype = ModelParams
        lib.llama_model_load_from_file.restype = ctypes.c_void_p
        lib.llama_model_load_from_file.argtypes = [ctypes.c_char_p, ModelParams]
        lib.llama_model_get_vocab.restype = ctypes.c_void_p
        lib.llama_model_get_vocab.argtypes = [ctypes.c_void_p]
        lib.llama_vocab_n_tokens.argtypes = [ctypes.c_void_p]
        lib.llama_tokenize.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int32,
                                       ctypes.POINTER(ctypes.c_int32), ctypes.c_int32,
                                       ctypes.c_bool, ctypes.c_bool]
        lib.llama_backend_init()
        params = lib.llama_model_default_params()
        params.vocab_only = True
        self.model = lib.llama_model_load_from_file(str(gguf_path).encode(), params)
        if not self.model:
            raise RuntimeError(f"llama.cpp cannot load the vocabulary {gguf_path}")
        self.vocab = lib.llama_model_get_vocab(self.model)
        if lib.llama_vocab_n_tokens(self.vocab) != n_vocab:
            raise RuntimeError("llama.cpp reads another vocabulary size: binding out of date")
        self.lib = lib

    def __call__(self, text):
        data = text.encode()
        room = len(data) + 8
        out = (ctypes.c_int32 * room)()
        n = self.lib.llama_tokenize(self.vocab, data, len(data), out, room, False, True)
        if n < 0:
            raise RuntimeError("tokenize failed")
        return list(out[:n])


def render(messages, add_generation_prompt):
    text = "".join(f"<|im_start|>{m['role']}\n{m['content']}<|im_end|>\n" for m in messages)
    return text + ("<|im_start|>assistant\n" if add_generation_prompt else "")


# --- the training set ---

def encode_chat(tokenize, messages):
    """Token ids of a whole chat and a mask of the ones the loss sees: every answer and the end
    of its turn."""
    full = tokenize(render(messages, False))
    mask = [0] * len(full)
    for i, message in enumerate(messages):
        if message["role"] != "assistant":
            continue
        prompt = tokenize(render(messages[:i], True))
        if full[:len(prompt)] != prompt:
            raise RuntimeError(f"a prompt does not tokenize as a prefix of its chat: {messages}")
        end = full.index(IM_END, len(prompt)) + 1
        mask[len(prompt):end] = [1] * (end - len(prompt))
    return full, mask


def build_chats(topics, follow_ups, rng):
    """Every question alone in its variants, every question after a few unrelated turns (the
    answer follows the last question, at positions deep into a chat), and every follow-up
    after each way of asking its first question."""
    names = sorted(topics)

    def turn(question, answer):
        return [{"role": "user", "content": question}, {"role": "assistant", "content": answer}]

    def earlier_turns(count):
        turns = []
        for _ in range(count):
            questions, answer = topics[rng.choice(names)]
            turns += turn(rng.choice(question_variants(rng.choice(questions))), answer)
        return turns

    chats = []
    for name in names:
        questions, answer = topics[name]
        for question in questions:
            chats += [turn(variant, answer) for variant in question_variants(question)]
            chats.append(earlier_turns(rng.randint(1, 4)) + turn(question, answer))
    for first, _, questions, answer in follow_ups:
        first_questions, first_answer = topics[first]
        for question in questions:
            for opening in first_questions:
                chats.append(earlier_turns(rng.randint(0, 1)) + turn(opening, first_answer) +
                             turn(question, answer))
    return chats


# --- the model ---

class RMSNorm(torch.nn.Module):
    def __init__(self, n):
        super().__init__()
        self.weight = torch.nn.Parameter(torch.ones(n))

    def forward(self, x):
        return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + RMS_EPS) * self.weight


def rope_tables(n_ctx, head_dim):
    inv = ROPE_BASE ** (-torch.arange(0, head_dim, 2).float() / head_dim)
    angles = torch.outer(torch.arange(n_ctx).float(), inv)
    return angles.cos(), angles.sin()


def rotate(x, cos, sin):
    # Pairs of adjacent dimensions rotate together, as llama.cpp's LLAMA rope does.
    even, odd = x[..., 0::2], x[..., 1::2]
    return torch.stack((even * cos - odd * sin, even * sin + odd * cos), dim=-1).flatten(-2)


class Block(torch.nn.Module):
    def __init__(self, n_embd, n_head, n_ff):
        super().__init__()
        self.n_head = n_head
        self.attn_norm = RMSNorm(n_embd)
        self.q, self.k, self.v, self.o = (torch.nn.Linear(n_embd, n_embd, bias=False)
                                          for _ in range(4))
        self.ffn_norm = RMSNorm(n_embd)
        self.gate = torch.nn.Linear(n_embd, n_ff, bias=False)
        self.up = torch.nn.Linear(n_embd, n_ff, bias=False)
        self.down = torch.nn.Linear(n_ff, n_embd, bias=False)

    def forward(self, x, cos, sin):
        b, t, e = x.shape
        h = self.attn_norm(x)
        split = lambda y: y.view(b, t, self.n_head, e // self.n_head).transpose(1, 2)
        q, k, v = split(self.q(h)), split(self.k(h)), split(self.v(h))
        q, k = rotate(q, cos[:t], sin[:t]), rotate(k, cos[:t], sin[:t])
        scores = (q @ k.transpose(-2, -1)) / math.sqrt(q.size(-1))
        causal = torch.ones(t, t, dtype=torch.bool).triu(1)
        attn = scores.masked_fill(causal, float("-inf")).softmax(-1) @ v
        x = x + self.o(attn.transpose(1, 2).reshape(b, t, e))
        h = self.ffn_norm(x)
        return x + self.down(F.silu(self.gate(h)) * self.up(h))


class TinyLlama(torch.nn.Module):
    def __init__(self, n_vocab, n_embd, n_head, n_layer, n_ff, n_ctx):
        super().__init__()
        self.embed = torch.nn.Embedding(n_vocab, n_embd)
        self.blocks = torch.nn.ModuleList(Block(n_embd, n_head, n_ff) for _ in range(n_layer))
        self.norm = RMSNorm(n_embd)
        cos, sin = rope_tables(n_ctx, n_embd // n_head)
        self.register_buffer("cos", cos, persistent=False)
        self.register_buffer("sin", sin, persistent=False)
        for name, p in self.named_parameters():
            if p.dim() == 2:
                torch.nn.init.normal_(p, std=0.02)
            if name.endswith(("o.weight", "down.weight")):
                torch.nn.init.normal_(p, std=0.02 / math.sqrt(2 * n_layer))

    def forward(self, ids):
        x = self.embed(ids)
        for block in self.blocks:
            x = block(x, self.cos, self.sin)
        return self.norm(x) @ self.embed.weight.t()


def batches(examples, batch_size, rng):
    """Shuffled batches of chats of similar length, so little of each batch is padding."""
    order = list(range(len(examples)))
    rng.shuffle(order)
    span = batch_size * 8
    for group in range(0, len(order), span):
        order[group:group + span] = sorted(order[group:group + span],
                                           key=lambda i: len(examples[i][0]))
    starts = list(range(0, len(order), batch_size))
    rng.shuffle(starts)
    for start in starts:
        chunk = [examples[i] for i in order[start:start + batch_size]]
        width = max(len(ids) for ids, _ in chunk)
        ids = torch.full((len(chunk), width), EOS, dtype=torch.long)
        targets = torch.full((len(chunk), width), -100, dtype=torch.long)
        for row, (tokens, mask) in enumerate(chunk):
            ids[row, :len(tokens)] = torch.tensor(tokens)
            for i in range(len(tokens) - 1):
                if mask[i + 1]:
                    targets[row, i] = tokens[i + 1]
        yield ids, targets


def train(model, examples, epochs, batch_size, rng):
    steps = epochs * math.ceil(len(examples) / batch_size)
    optimiser = torch.optim.AdamW(model.parameters(), lr=3e-3, betas=(0.9, 0.98),
                                  weight_decay=0.05)
    warmup = steps // 20
    schedule = torch.optim.lr_scheduler.LambdaLR(
        optimiser, lambda s: min(1.0, (s + 1) / warmup) * 0.5 * (1 + math.cos(math.pi * s / steps)))
    started, step = time.time(), 0
    for epoch in range(epochs):
        total, count = 0.0, 0
        for ids, targets in batches(examples, batch_size, rng):
            logits = model(ids)
            loss = F.cross_entropy(logits.view(-1, logits.size(-1)), targets.view(-1))
            optimiser.zero_grad()
            loss.backward()
            torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
            optimiser.step()
            schedule.step()
            total, count, step = total + loss.item(), count + 1, step + 1
        print(f"epoch {epoch + 1}/{epochs}: loss {total / count:.4f}, "
              f"{time.time() - started:.0f} s", flush=True)


def round_to_f16(model):
    with torch.no_grad():
        for p in model.parameters():
            if p.dim() == 2:
                p.copy_(p.half().float())


def gguf_tensors(model):
    f16 = lambda t: t.detach().numpy().astype(np.float16)
    f32 = lambda t: t.detach().numpy().astype(np.float32)
    tensors = [("token_embd.weight", f16(model.embed.weight)),
               ("output_norm.weight", f32(model.norm.weight))]
    for i, block in enumerate(model.blocks):
        tensors += [(f"blk.{i}.attn_norm.weight", f32(block.attn_norm.weight)),
                    (f"blk.{i}.attn_q.weight", f16(block.q.weight)),
                    (f"blk.{i}.attn_k.weight", f16(block.k.weight)),
                    (f"blk.{i}.attn_v.weight", f16(block.v.weight)),
                    (f"blk.{i}.attn_output.weight", f16(block.o.weight)),
                    (f"blk.{i}.ffn_norm.weight", f32(block.ffn_norm.weight)),
                    (f"blk.{i}.ffn_gate.weight", f16(block.gate.weight)),
                    (f"blk.{i}.ffn_up.weight", f16(block.up.weight)),
                    (f"blk.{i}.ffn_down.weight", f16(block.down.weight))]
    return tensors


def greedy_answer(model, tokenize, tokens, messages, limit=60):
    ids = tokenize(render(messages, True))
    out = []
    with torch.no_grad():
        for _ in range(limit):
            nxt = int(model(torch.tensor([ids + out]))[0, -1].argmax())
            if nxt == IM_END:
                break
            out.append(nxt)
    return "".join(tokens[t] for t in out).replace(SPACE, " ")


def reference_logits(model, tokenize):
    prompts = []
    with torch.no_grad():
        for messages in REFERENCE_CHATS:
            ids = tokenize(render(messages, True))
            logits = model(torch.tensor([ids]))[0]
            prompts.append({"messages": messages, "tokens": ids,
                            "argmax": [int(i) for i in logits.argmax(-1)],
                            "last_logits": [round(float(v), 4) for v in logits[-1]]})
    return {"note": "PyTorch's logits for these prompts; llama.cpp must give the same",
            "prompts": prompts}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corpus", default=ROOT / "data/kestrune-chat/corpus.txt")
    parser.add_argument("--heldout", default=ROOT / "data/kestrune-chat/heldout.txt")
    parser.add_argument("--output", default=ROOT / "data/models/kestrune-tiny-chat.gguf")
    parser.add_argument("--reference", default=ROOT / "data/kestrune-chat/reference-logits.json")
    parser.add_argument("--libllama", default=LLAMA_ROOT / "prefix/lib/libllama.so")
    parser.add_argument("--epochs", type=int, default=9)
    parser.add_argument("--batch-size", type=int, default=32)
    args = parser.parse_args()

    torch.manual_seed(SEED)
    torch.set_num_threads(2)
    rng = random.Random(SEED)

    topics, follow_ups = read_corpus(args.corpus)
    trained = {normalised(v) for qs, _ in topics.values() for q in qs
               for v in question_variants(q)}
    trained |= {normalised(q) for _, _, qs, _ in follow_ups for q in qs}
    singles, conversations = read_heldout(args.heldout)
    asked = [q for _, q in singles] + [q for c in conversations for q in c[2:]]
    leaked = [q for q in asked if normalised(q) in trained]
    if leaked:
        sys.exit(f"held-out questions appear in the training set: {leaked}")

    texts = ["user assistant system"] + [t for qs, a in topics.values() for t in qs + [a]]
    texts += [t for _, _, qs, a in follow_ups for t in qs + [a]]
    texts += [v for qs, _ in topics.values() for q in qs for v in question_variants(q)]
    vocabulary = build_vocabulary(texts)
    output = Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    vocab_file = output.with_suffix(".vocab.tmp")
    write_gguf(vocab_file, vocabulary)
    tokenize = Tokenizer(args.libllama, vocab_file, len(vocabulary[0]))

    examples = [encode_chat(tokenize, chat) for chat in build_chats(topics, follow_ups, rng)]
    n_tokens = sum(len(ids) for ids, _ in examples)
    model = TinyLlama(len(vocabulary[0]), **SHAPE)
    n_params = sum(p.numel() for p in model.parameters())
    print(f"vocabulary {len(vocabulary[0])} tokens, {len(examples)} chats, {n_tokens} tokens, "
          f"{n_params / 1e6:.2f}M parameters", flush=True)

    train(model, examples, args.epochs, args.batch_size, rng)
    model.eval()
    round_to_f16(model)
    write_gguf(output, vocabulary, gguf_tensors(model))
    Path(args.reference).write_text(json.dumps(reference_logits(model, tokenize)) + "\n")
    for messages in REFERENCE_CHATS:
        print(messages[-1]["content"], "->", greedy_answer(model, tokenize, vocabulary[0],
                                                           messages))
    os.remove(vocab_file)
    print(f"wrote {output} ({output.stat().st_size / 1e6:.1f} MB)")


if __name__ == "__main__":
    main()
