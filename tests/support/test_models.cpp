#include "support/test_models.hpp"

namespace kestrune::testing {

std::string tiny_chat_model() {
    return KESTRUNE_TEST_MODELS_DIR "/tiny-chat.gguf";
}

std::string throughput_model() {
    return KESTRUNE_TEST_MODELS_DIR "/throughput.gguf";
}

}  // namespace kestrune::testing
