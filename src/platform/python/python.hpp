// The embedded CPython interpreter and the Python libraries reached through it: the DDGS client
// of duckduckgo_search, and transformers with torch.
//
// The interpreter is created on first use, never before, and lives until the process ends.
// Every function here takes the interpreter lock itself and gives it back before returning, so
// no caller ever deals with it, and no Python object crosses this header. A package that does
// not import — or any package at all in a build without Python (KESTRUNE_WITH_PYTHON off) —
// answers MissingComponentError.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/json.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/core/messages.hpp"

namespace kestrune::platform::python {

// Python raised an exception; the message is its text, str(exception).
class PythonError : public RuntimeFailure {
  public:
    using RuntimeFailure::RuntimeFailure;
};

// Whether this build embeds Python at all.
bool compiled_in();

// While one of these lives, every package answers missing, as in a build without Python. For
// tests that need the missing-library paths on a machine that has the libraries.
class SimulatedAbsence {
  public:
    SimulatedAbsence();
    ~SimulatedAbsence();
    SimulatedAbsence(const SimulatedAbsence&) = delete;
    SimulatedAbsence& operator=(const SimulatedAbsence&) = delete;
};

// Puts `directory` first on the interpreter's module search path.
void prepend_module_path(const std::string& directory);

// Imports the package: MissingComponentError when it is not installed (ImportError),
// PythonError when importing it fails in any other way.
void require(const std::string& package);

// --- duckduckgo_search ---------------------------------------------------------------------

// DDGS().text(query, max_results=max_results) inside the client's scope (closed again on every
// path): the results in the order received, each converted to JSON as the client gave it.
Json ddgs_text(const std::string& query, long long max_results);

// --- transformers and torch ----------------------------------------------------------------

// transformers.__version__ in its text form.
std::string transformers_version();

// torch.cuda.is_available().
bool cuda_available();

// torch.cuda.empty_cache().
void empty_cuda_cache();

// The torch element types a model is built with.
enum class Dtype { float16, float32 };

// Keyword arguments of one pipeline call.
struct PipelineCall {
    int max_new_tokens = 0;
    double temperature = 0.0;
    double top_p = 0.0;
    bool do_sample = false;
};

// Streamed generation running on a thread of its own. Dropping it before the end stops
// generation at the next token and waits for the thread.
class Generation {
  public:
    Generation(Generation&&) noexcept;
    Generation& operator=(Generation&&) noexcept;
    ~Generation();

    // The next decoded piece (possibly empty), or nullopt once generation has ended.
    std::optional<std::string> next_piece();
    // Waits for the generation thread; rethrows the failure it ended with, if any.
    void finish();

  private:
    struct State;
    friend class TextGenerationPipeline;
    explicit Generation(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// A transformers text-generation pipeline: the model with its tokenizer.
class TextGenerationPipeline {
  public:
    // pipeline("text-generation", model=model, torch_dtype=torch.<dtype>, device_map="auto",
    // model_kwargs={"use_safetensors": True}).
    static TextGenerationPipeline create(const std::string& model, Dtype dtype);

    TextGenerationPipeline(TextGenerationPipeline&&) noexcept;
    TextGenerationPipeline& operator=(TextGenerationPipeline&&) noexcept;
    ~TextGenerationPipeline();

    // pipeline(messages, max_new_tokens=…, temperature=…, top_p=…, do_sample=…), converted to
    // JSON.
    Json call(const Messages& messages, const PipelineCall& call) const;

    // Turns the messages into prompt ids with the tokenizer's chat template (generation prompt
    // added, moved to the pipeline's device) and starts model.generate(input_ids=…,
    // max_new_tokens=…, streamer=…, temperature=…) on a new thread, feeding a
    // TextIteratorStreamer that skips the prompt and special tokens.
    Generation generate_streamed(const Messages& messages, int max_new_tokens,
                                 double temperature) const;

  private:
    struct State;
    explicit TextGenerationPipeline(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace kestrune::platform::python
