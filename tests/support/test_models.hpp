// Paths of the models the build generates for tests (tools/make_test_models.cpp), and of the
// bundled chat model (trained by tools/train_tiny_model.py) with its deeper twin.
#pragma once

#include <array>
#include <string>

#include "support/temp_dir.hpp"

namespace kestrune::testing {

// The tiny bigram chat model: greedy answers are readable sentences of its corpus.
std::string tiny_chat_model();
// The random-weight Q8_0 model of about 150M parameters, sharing the tiny model's vocabulary.
std::string throughput_model();
// The trained chat model `kestrune run` uses by default: it answers questions about Kestrune.
std::string bundled_chat_model();
// The bundled model with two extra blocks of random weights (tools/make_deeper_model.cpp): a
// larger model of the same vocabulary whose answers mostly agree with the bundled one's.
std::string deeper_chat_model();
// A two-layer random BERT encoder around the BGE vocabulary, mean-pooled: an embedding model.
std::string bert_model();
// The real vocabularies of the pinned llama.cpp source that carry a chat template.
inline constexpr std::array<const char*, 5> kTemplateVocabularies{"command-r", "gemma-4", "phi-3",
                                                                  "qwen2", "qwen35"};
// A one-layer random-weight model around the vocabulary and chat template of
// models/ggml-vocab-`name`.gguf.
std::string vocab_model(const std::string& name);
// A template in the Hermes form, whose calls llama.cpp's engine gives a grammar for.
inline constexpr const char* kHermesToolTemplate = R"({%- if tools %}<|im_start|>system
<tools>{%- for tool in tools %}
{{ tool | tojson }}{%- endfor %}
</tools>
Call as <tool_call>
{"name": <function-name>, "arguments": <args-json-object>}
</tool_call><|im_end|>
{% endif %}
{%- for message in messages %}
{%- if message.role == "assistant" and message.tool_calls %}<|im_start|>assistant
{%- if message.content %}
{{ message.content }}{%- endif %}
{%- for tool_call in message.tool_calls %}{%- if tool_call.function is defined %}{%- set tool_call = tool_call.function %}{%- endif %}
<tool_call>
{"name": "{{ tool_call.name }}", "arguments": {{ tool_call.arguments | tojson }}}
</tool_call>{%- endfor %}<|im_end|>
{% elif message.role == "tool" %}<|im_start|>user
<tool_response>
{{ message.content }}
</tool_response><|im_end|>
{% else %}<|im_start|>{{ message.role }}
{{ message.content }}<|im_end|>
{% endif %}
{%- endfor %}
{%- if add_generation_prompt %}<|im_start|>assistant
{% endif %})";
// A copy of the phi-3 vocabulary model, in `dir`, with `chat_template` as its template (none
// when empty).
std::string with_chat_template(const TempDir& dir, const std::string& chat_template);
// A target/draft pair of random Q8_0 models (tools/make_draft_pairs.cpp) with the tiny model's
// vocabulary: "pair-50", "pair-80" and "pair-95", whose greedy tokens agree about that often,
// and "pair-small", a target of only two layers for tests that sample many answers.
struct DraftPair {
    std::string target;
    std::string draft;
};
DraftPair draft_pair(const std::string& name);
// PyTorch's logits of the bundled model for a few chats, written when it was trained.
std::string bundled_chat_reference_logits();

}  // namespace kestrune::testing
