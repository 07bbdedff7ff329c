#include "kestrune/engine/model_info.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

#include "core/output.hpp"
#include "core/text.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/ggufmeta.hpp"
#include "platform/os/files.hpp"

namespace kestrune::engine::ggufmeta {

namespace {

// The integer under `key` as a count: absent when missing or not an integer, whatever its
// width in the file. A negative count fails, naming the key.
std::optional<std::uint64_t> count_at(const GgufMetadata& meta, const std::string& key,
                                      const std::string& path) {
    const GgufValue* value = meta.find(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const auto* u = std::get_if<std::uint64_t>(value)) {
        return *u;
    }
    if (const auto* i = std::get_if<std::int64_t>(value)) {
        if (*i < 0) {
            throw InvalidValueError("Invalid model file " + path + ": " + key + " is " +
                                    std::to_string(*i) + ", expected a count of 0 or more");
        }
        return static_cast<std::uint64_t>(*i);
    }
    return std::nullopt;
}

// A count that a ModelSpec field holds: count_at's, failing above the field's range.
std::optional<std::int64_t> field_at(const GgufMetadata& meta, const std::string& key,
                                     const std::string& path) {
    const auto count = count_at(meta, key, path);
    if (!count) {
        return std::nullopt;
    }
    if (!std::in_range<std::int64_t>(*count)) {
        throw InvalidValueError("Invalid model file " + path + ": " + key + " is " +
                                std::to_string(*count) + ", expected at most " +
                                std::to_string(std::numeric_limits<std::int64_t>::max()));
    }
    return static_cast<std::int64_t>(*count);
}

// "general.file_type", absent or not an integer counting as 0. A negative type wraps to a
// number no row of the table holds, which is what it is.
std::uint64_t file_type_at(const GgufMetadata& meta) {
    const GgufValue* value = meta.find("general.file_type");
    if (value == nullptr) {
        return 0;
    }
    if (const auto* u = std::get_if<std::uint64_t>(value)) {
        return *u;
    }
    if (const auto* i = std::get_if<std::int64_t>(value)) {
        return static_cast<std::uint64_t>(*i);
    }
    return 0;
}

std::optional<std::string> text_at(const GgufMetadata& meta, const std::string& key) {
    const GgufValue* value = meta.find(key);
    if (value == nullptr || !std::holds_alternative<std::string>(*value)) {
        return std::nullopt;
    }
    return std::get<std::string>(*value);
}

double bits_per_weight(std::uint64_t file_type) {
    switch (file_type) {
        case 0:
            return 32;
        case 1:
            return 16;
        case 7:
            return 8;
        case 15:
            return 4.5;
        default:
            return 4;  // file type 2 and everything unknown
    }
}

// `value` with exactly one decimal, rounded from its exact binary value with ties to even,
// as printf's "%.1f" does.
std::string one_decimal(double value) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    return std::string(text, result.ptr);
}

double round_one_decimal(double value) {
    const std::string text = one_decimal(value);
    double rounded = 0;
    std::from_chars(text.data(), text.data() + text.size(), rounded);
    return rounded;
}

// The shortest decimal that reads back as `value`, never in exponent form and always with a
// fractional part ("8.3", "70.0").
std::string shortest_decimal(double value) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    std::string decimal(text, result.ptr);
    if (decimal.find('.') == std::string::npos) {
        decimal += ".0";
    }
    return decimal;
}

std::string value_text(const GgufValue& value) {
    return std::visit(
        [](const auto& held) -> std::string {
            using Held = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, std::string>) {
                return held;
            } else if constexpr (std::is_same_v<Held, bool>) {
                return held ? "true" : "false";
            } else if constexpr (std::is_same_v<Held, double>) {
                char text[400];
                return std::string(text, std::to_chars(text, text + sizeof text, held).ptr);
            } else {
                return std::to_string(held);
            }
        },
        value);
}

std::string file_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

engine::ModelSpec gguf_to_model_spec(const std::string& path) {
    const GgufMetadata meta = read_gguf_metadata(path, Integers::every_width);
    engine::ModelSpec spec;
    spec.file_size_mb = platform::files::file_size_mb(path);

    const std::string arch = text_at(meta, "general.architecture").value_or("unknown");
    const auto field = [&](const std::string& name) { return field_at(meta, arch + name, path); };
    spec.n_layers = field(".block_count").value_or(0);
    const std::int64_t embedding_length = field(".embedding_length").value_or(0);
    spec.n_heads = field(".attention.head_count").value_or(0);
    spec.n_kv_heads = field(".attention.head_count_kv").value_or(spec.n_heads);
    spec.context_length = field(".context_length").value_or(4096);
    const std::uint64_t expert_count = count_at(meta, arch + ".expert_count", path).value_or(0);
    const std::uint64_t file_type = file_type_at(meta);
    spec.name = text_at(meta, "general.name").value_or(file_name(path));

    spec.head_dim = spec.n_heads > 0 ? embedding_length / spec.n_heads : 128;
    spec.is_moe = expert_count > 0;
    const double params_b =
        static_cast<double>(spec.file_size_mb * 8) / (bits_per_weight(file_type) * 1000);
    spec.n_params_b = round_one_decimal(params_b);
    return spec;
}

void print_model_info(const engine::ModelSpec& spec, const GgufMetadata* meta) {
    // Names and values come from the file: control characters in them are written out, so a
    // hostile header cannot drive the terminal.
    std::ostringstream out;
    out << "\n  Model: " << text::escape_controls(spec.name) << '\n'
        << "  " << std::string(40, '-') << '\n'
        << "  Parameters:  ~" << shortest_decimal(spec.n_params_b) << 'B'
        << (spec.is_moe ? " (MoE)" : "") << '\n'
        << "  Layers:      " << spec.n_layers << '\n'
        << "  Heads:       " << spec.n_heads << " Q / " << spec.n_kv_heads << " KV\n"
        << "  Head dim:    " << spec.head_dim << '\n'
        << "  Context:     " << text::with_thousands_separator(spec.context_length) << '\n'
        << "  File size:   " << one_decimal(static_cast<double>(spec.file_size_mb) / 1024)
        << " GB\n";
    if (meta != nullptr && !meta->empty()) {
        const GgufValue* arch = meta->find("general.architecture");
        out << "  Architecture: "
            << (arch != nullptr ? text::escape_controls(value_text(*arch)) : "?") << '\n';
    }
    out << '\n';
    output::print(out.str());
}

}  // namespace kestrune::engine::ggufmeta
