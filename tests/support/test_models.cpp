#include "support/test_models.hpp"

#include <gguf.h>

#include <fstream>
#include <memory>

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

std::string bert_model() {
    return KESTRUNE_TEST_MODELS_DIR "/bert-embed.gguf";
}

std::string vocab_model(const std::string& name) {
    return KESTRUNE_TEST_MODELS_DIR "/vocab-" + name + ".gguf";
}

// The new header, then the tensor data as it is.
std::string with_chat_template(const TempDir& dir, const std::string& chat_template) {
    const std::string source = vocab_model("phi-3");
    std::unique_ptr<gguf_context, decltype(&gguf_free)> gguf(
        gguf_init_from_file(source.c_str(), {true, nullptr}), &gguf_free);
    const auto data_offset = static_cast<std::streamoff>(gguf_get_data_offset(gguf.get()));
    if (chat_template.empty()) {
        gguf_remove_key(gguf.get(), "tokenizer.chat_template");
    } else {
        gguf_set_val_str(gguf.get(), "tokenizer.chat_template", chat_template.c_str());
    }
    const std::string path = (dir.path() / "model.gguf").string();
    gguf_write_to_file(gguf.get(), path.c_str(), true);
    std::ifstream in(source, std::ios::binary);
    in.seekg(data_offset);
    std::ofstream(path, std::ios::binary | std::ios::app) << in.rdbuf();
    return path;
}

DraftPair draft_pair(const std::string& name) {
    const std::string stem = KESTRUNE_TEST_MODELS_DIR "/" + name;
    return {stem + "-target.gguf", stem + "-draft.gguf"};
}

std::string bundled_chat_reference_logits() {
    return KESTRUNE_DATA_DIR "/kestrune-chat/reference-logits.json";
}

}  // namespace kestrune::testing
