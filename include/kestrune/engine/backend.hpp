// KestruneBackend: one GGUF model run in-process through llama.cpp from a load plan. Built
// from the model path, the plan, the hardware profile and the model description; the model is
// loaded on first use (printing four loading lines and "  Model loaded."), then answers
// single-prompt chat, whole or streamed, and plain text completion. It passes no KV cache
// types: the library's default cache applies.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "kestrune/core/export.hpp"
#include "kestrune/core/messages.hpp"
#include "kestrune/core/stream.hpp"
#include "kestrune/engine/hardware.hpp"
#include "kestrune/engine/planner.hpp"

namespace kestrune::inference {
class Model;
}

namespace kestrune::engine {

// The reply text, or a lazy stream of its pieces when streaming was asked.
using TextOrStream = std::variant<std::string, TextStream>;

class KESTRUNE_API KestruneBackend {
  public:
    KestruneBackend(std::string model_path_, InferencePlan plan_, HardwareProfile hw_,
                    ModelSpec spec_);
    KestruneBackend(KestruneBackend&&) noexcept;
    KestruneBackend& operator=(KestruneBackend&&) noexcept;
    ~KestruneBackend();

    // Loads (or reloads) the model. Without the binding: MissingComponentError with the
    // install hint, the binding's own failure nested inside, nothing printed.
    void load(bool verbose = true);
    // One user message, no history. Loads the model first when needed, so the loading lines
    // appear at the call even when streaming.
    TextOrStream chat(const std::string& prompt, int max_tokens = 512, double temperature = 0.7,
                      bool stream = false);
    // Lazy: nothing happens before the first pull; does not load the model. The stream keeps
    // the model it started on.
    KESTRUNE_LOCAL TextStream _chat_stream(Messages messages, int max_tokens, double temperature);
    std::string complete(const std::string& prompt, int max_tokens = 256, double temperature = 0.7);

    std::string model_path;
    InferencePlan plan;
    HardwareProfile hw;
    ModelSpec spec;
    // The loaded model (an opaque handle of the inference core), shared with the streams
    // reading it, which keep it alive across a load.
    std::shared_ptr<inference::Model> _llm;
};

}  // namespace kestrune::engine
