#include "support/gguf_header.hpp"

#include <gguf.h>

#include <memory>
#include <stdexcept>

namespace kestrune::testing {

void write_gguf_header(const std::string& path, const std::vector<GgufEntry>& entries) {
    const std::unique_ptr<gguf_context, decltype(&gguf_free)> gguf(gguf_init_empty(), gguf_free);
    for (const auto& [key, value] : entries) {
        if (const auto* u32 = std::get_if<std::uint32_t>(&value)) {
            gguf_set_val_u32(gguf.get(), key.c_str(), *u32);
        } else if (const auto* i32 = std::get_if<std::int32_t>(&value)) {
            gguf_set_val_i32(gguf.get(), key.c_str(), *i32);
        } else {
            gguf_set_val_str(gguf.get(), key.c_str(), std::get<std::string>(value).c_str());
        }
    }
    if (!gguf_write_to_file(gguf.get(), path.c_str(), true)) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<GgufEntry> llama_header(std::vector<GgufEntry> extra) {
    std::vector<GgufEntry> entries{{"general.architecture", std::string("llama")},
                                   {"llama.context_length", std::uint32_t{256}},
                                   {"llama.embedding_length", std::uint32_t{64}}};
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

}  // namespace kestrune::testing
