#include "support/test_models.hpp"

namespace kestrune::testing {

std::string tiny_chat_model() {
    return KESTRUNE_TEST_MODELS_DIR "/tiny-chat.gguf";
}

std::string throughput_model() {
    return KESTRUNE_TEST_MODELS_DIR "/throughput.gguf";
}

std::string bundled_chat_model() {
    return KESTRUNE_TEST_MODELS_DIR "/kestrune-tiny-chat.gguf";
}

std::string deeper_chat_model() {
    return KESTRUNE_TEST_MODELS_DIR "/kestrune-tiny-chat-deeper.gguf";
}

DraftPair draft_pair(const std::string& name) {
    const std::string stem = KESTRUNE_TEST_MODELS_DIR "/" + name;
    return {stem + "-target.gguf", stem + "-draft.gguf"};
}

std::string bundled_chat_reference_logits() {
    return KESTRUNE_DATA_DIR "/kestrune-chat/reference-logits.json";
}

}  // namespace kestrune::testing
