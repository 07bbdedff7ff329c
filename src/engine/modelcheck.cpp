#include "kestrune/engine/modelcheck.hpp"

#include <array>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "kestrune/core/errors.hpp"

namespace kestrune::engine::modelcheck {

namespace {

// The architecture's numeric keys of one header, and the failure that names one of them.
class Header {
  public:
    Header(const ggufmeta::GgufMetadata& meta, std::string arch, const std::string& path)
        : meta_(meta), arch_(std::move(arch)), path_(path) {}

    // The integer at "<arch>.<name>"; absent when missing or of another type. A negative
    // count fails here, since llama.cpp would read it as a huge unsigned one.
    std::optional<std::uint64_t> count(std::string_view name) const {
        const ggufmeta::GgufValue* value = meta_.find(key(name));
        if (value == nullptr) {
            return std::nullopt;
        }
        if (const auto* unsigned_value = std::get_if<std::uint64_t>(value)) {
            return *unsigned_value;
        }
        if (const auto* signed_value = std::get_if<std::int64_t>(value)) {
            if (*signed_value < 0) {
                fail(name, std::to_string(*signed_value), "a count of 0 or more");
            }
            return static_cast<std::uint64_t>(*signed_value);
        }
        return std::nullopt;
    }

    void require(bool holds, std::string_view name, std::uint64_t value,
                 const std::string& expected) const {
        if (!holds) {
            fail(name, std::to_string(value), expected);
        }
    }

  private:
    std::string key(std::string_view name) const { return arch_ + "." + std::string(name); }

    [[noreturn]] void fail(std::string_view name, const std::string& value,
                           const std::string& expected) const {
        throw InvalidValueError("Invalid model file " + path_ + ": " + key(name) + " is " + value +
                                ", expected " + expected);
    }

    const ggufmeta::GgufMetadata& meta_;
    std::string arch_;
    const std::string& path_;
};

void check_layers(const Header& header) {
    const auto layers = header.count("block_count");
    if (!layers) {
        return;
    }
    header.require(*layers >= 1 && *layers <= kMaxLayers, "block_count", *layers,
                   "1 to " + std::to_string(kMaxLayers));
    if (const auto nextn = header.count("nextn_predict_layers")) {
        header.require(*nextn <= *layers, "nextn_predict_layers", *nextn,
                       "at most block_count " + std::to_string(*layers));
    }
}

void check_positive(const Header& header, std::string_view name) {
    if (const auto value = header.count(name)) {
        header.require(*value > 0, name, *value, "more than 0");
    }
}

void check_heads(const Header& header) {
    const auto heads = header.count("attention.head_count");
    const auto kv_heads = header.count("attention.head_count_kv");
    if (heads && kv_heads) {
        header.require(*kv_heads <= *heads, "attention.head_count_kv", *kv_heads,
                       "at most attention.head_count " + std::to_string(*heads));
    }
}

// llama.cpp's rules for mixtures of experts. A per-layer expert_used_count is an array, which
// the reader skips, so only a single count is checked.
void check_experts(const Header& header) {
    const std::uint64_t experts = header.count("expert_count").value_or(0);
    const auto used = header.count("expert_used_count");
    const std::uint64_t groups = header.count("expert_group_count").value_or(0);
    header.require(experts <= kMaxExperts, "expert_count", experts,
                   "at most " + std::to_string(kMaxExperts));
    if (experts == 0) {
        header.require(!used || *used == 0, "expert_used_count", used.value_or(0),
                       "0 without experts");
        header.require(groups == 0, "expert_group_count", groups, "0 without experts");
        return;
    }
    const std::string of_experts = "expert_count " + std::to_string(experts);
    header.require(!used || (*used >= 1 && *used <= experts), "expert_used_count", used.value_or(0),
                   "1 to " + of_experts);
    header.require(groups < experts, "expert_group_count", groups, "less than " + of_experts);
    if (groups > 1) {
        header.require(experts % groups == 0, "expert_count", experts,
                       "a multiple of expert_group_count " + std::to_string(groups));
        const std::uint64_t groups_used = header.count("expert_group_used_count").value_or(0);
        header.require(groups_used >= 1 && groups_used < groups, "expert_group_used_count",
                       groups_used, "1 to " + std::to_string(groups - 1));
    }
}

// The key count of a GGUF header (magic, version, tensor count, key count; little-endian);
// 0 for a file too short to hold one, which the reader then refuses.
std::uint64_t declared_key_count(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::array<unsigned char, 24> head{};
    file.read(reinterpret_cast<char*>(head.data()), head.size());
    if (file.gcount() != static_cast<std::streamsize>(head.size())) {
        return 0;
    }
    std::uint64_t count = 0;
    for (int byte = 7; byte >= 0; --byte) {
        count = (count << 8) | head[16 + static_cast<std::size_t>(byte)];
    }
    return count;
}

}  // namespace

void check_model_file(const std::string& path) {
    // The reader first: it refuses what is no regular file without blocking on it.
    const ggufmeta::GgufMetadata meta = ggufmeta::read_gguf_metadata(path);
    if (const std::uint64_t keys = declared_key_count(path); keys > kMaxKeys) {
        throw InvalidValueError("Invalid model file " + path + ": its header has " +
                                std::to_string(keys) + " keys, expected at most " +
                                std::to_string(kMaxKeys));
    }
    check_header(meta, path);
}

void check_header(const ggufmeta::GgufMetadata& meta, const std::string& path) {
    const ggufmeta::GgufValue* arch = meta.find("general.architecture");
    if (arch == nullptr || !std::holds_alternative<std::string>(*arch)) {
        return;  // llama.cpp refuses a file without an architecture by itself
    }
    const Header header(meta, std::get<std::string>(*arch), path);
    check_layers(header);
    check_positive(header, "context_length");
    check_positive(header, "vocab_size");
    check_heads(header);
    check_experts(header);
}

}  // namespace kestrune::engine::modelcheck
