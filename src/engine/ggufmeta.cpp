#include "kestrune/engine/ggufmeta.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iostream>
#include <limits>
#include <system_error>
#include <type_traits>

#include "core/text.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/files.hpp"

namespace kestrune::ggufmeta {

namespace {

// Large enough that a vocabulary of ~150k tokens takes a few dozen reads.
constexpr std::size_t kBufferCapacity = 64 * 1024;

// Width in bytes of each fixed-size value type; 0 for STRING, ARRAY and unknown ids.
constexpr std::uint64_t fixed_width(std::uint32_t vtype) {
    switch (vtype) {
        case GGUF_TYPE_UINT8:
        case GGUF_TYPE_INT8:
        case GGUF_TYPE_BOOL:
            return 1;
        case GGUF_TYPE_UINT16:
        case GGUF_TYPE_INT16:
            return 2;
        case GGUF_TYPE_UINT32:
        case GGUF_TYPE_INT32:
        case GGUF_TYPE_FLOAT32:
            return 4;
        case GGUF_TYPE_UINT64:
        case GGUF_TYPE_INT64:
        case GGUF_TYPE_FLOAT64:
            return 8;
        default:
            return 0;
    }
}

// The little-endian number in `bytes`.
template <typename T>
T from_little_endian(const unsigned char (&bytes)[sizeof(T)]) {
    T value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&value, bytes, sizeof value);
    } else {
        for (std::size_t i = sizeof value; i-- > 0;) {
            value = static_cast<T>((value << 8) | bytes[i]);
        }
    }
    return value;
}

// Lowest and highest allowed second byte after a lead byte, and the count of continuation
// bytes (0 for a byte that cannot start a sequence), after the Unicode well-formed table.
struct LeadByte {
    int continuations;
    unsigned char low;
    unsigned char high;
};

constexpr LeadByte classify_lead(unsigned char byte) {
    if (byte >= 0xC2 && byte <= 0xDF) {
        return {1, 0x80, 0xBF};
    }
    if (byte == 0xE0) {
        return {2, 0xA0, 0xBF};
    }
    if (byte == 0xED) {
        return {2, 0x80, 0x9F};  // no UTF-16 surrogates
    }
    if (byte >= 0xE1 && byte <= 0xEF) {
        return {2, 0x80, 0xBF};
    }
    if (byte == 0xF0) {
        return {3, 0x90, 0xBF};
    }
    if (byte >= 0xF1 && byte <= 0xF3) {
        return {3, 0x80, 0xBF};
    }
    if (byte == 0xF4) {
        return {3, 0x80, 0x8F};  // nothing beyond U+10FFFF
    }
    return {0, 0, 0};
}

// Length of the well-formed sequence at `at`, or the negated length of its maximal invalid
// prefix (at least 1), so that each such prefix becomes one U+FFFD as Python's "replace" does.
std::ptrdiff_t sequence_length(std::string_view bytes, std::size_t at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
        return 1;
    }
    const LeadByte kind = classify_lead(lead);
    std::size_t end = at + 1;
    unsigned char low = kind.low;
    unsigned char high = kind.high;
    for (int i = 0; i < kind.continuations; ++i) {
        if (end >= bytes.size()) {
            break;
        }
        const auto next = static_cast<unsigned char>(bytes[end]);
        if (next < low || next > high) {
            break;
        }
        ++end;
        low = 0x80;
        high = 0xBF;
    }
    const auto length = static_cast<std::ptrdiff_t>(end - at);
    return kind.continuations > 0 && length == kind.continuations + 1 ? length : -length;
}

std::string replace_invalid_utf8(std::string bytes) {
    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::ptrdiff_t length = sequence_length(bytes, at);
        if (length < 0) {
            break;
        }
        at += static_cast<std::size_t>(length);
    }
    if (at == bytes.size()) {
        return bytes;  // the common case: already valid, no copy
    }
    std::string text(bytes, 0, at);
    while (at < bytes.size()) {
        const std::ptrdiff_t length = sequence_length(bytes, at);
        if (length > 0) {
            text.append(bytes, at, static_cast<std::size_t>(length));
        } else {
            text += kReplacement;
        }
        at += static_cast<std::size_t>(length > 0 ? length : -length);
    }
    return text;
}

[[noreturn]] void fail_open(int error, const std::string& path) {
    // Python's wording, which callers of a file reader expect.
    const std::string message = "[Errno " + std::to_string(error) + "] " +
                                std::generic_category().message(error) + ": '" + path + "'";
    if (error == ENOENT || error == ENOTDIR) {
        throw NotFoundError(message);
    }
    throw RuntimeFailure(message);
}

}  // namespace

void GgufMetadata::set(std::string key, GgufValue value) {
    if (const auto found = index_.find(key); found != index_.end()) {
        entries_[found->second].second = std::move(value);
        return;
    }
    index_.emplace(key, entries_.size());
    entries_.emplace_back(std::move(key), std::move(value));
}

const GgufValue* GgufMetadata::find(std::string_view key) const {
    const auto found = index_.find(key);
    return found == index_.end() ? nullptr : &entries_[found->second].second;
}

GgufStream::File::~File() {
    if (fd >= 0) {
        ::close(fd);
    }
}

GgufStream::GgufStream(std::string path) : path_(std::move(path)) {
    // Non-blocking, so a FIFO or a device is refused here instead of waiting for a writer.
    file_.fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file_.fd < 0) {
        fail_open(errno, path_);
    }
    struct stat info {};
    if (::fstat(file_.fd, &info) != 0) {
        fail_open(errno, path_);
    }
    if (S_ISDIR(info.st_mode)) {
        fail_open(EISDIR, path_);
    }
    if (!S_ISREG(info.st_mode)) {
        throw InvalidValueError("Not a regular file: " + path_);
    }
    if (::fcntl(file_.fd, F_SETFL, ::fcntl(file_.fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        fail_open(errno, path_);
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
    buffer_ = std::make_unique_for_overwrite<char[]>(kBufferCapacity);
}

void GgufStream::fail_end_of_file() const {
    throw InvalidValueError("Unexpected end of GGUF file: " + path_);
}

void GgufStream::fail_corrupt(std::uint64_t count, std::string_view what) const {
    throw InvalidValueError("Corrupt GGUF file: " + path_ + ": " + std::string(what) + " " +
                            std::to_string(count) + " exceeds the " + std::to_string(remaining()) +
                            " bytes left");
}

void GgufStream::read_at(std::uint64_t offset, char* destination, std::size_t count) {
    while (count > 0) {
        const ssize_t got = ::pread(file_.fd, destination, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            fail_end_of_file();  // the file shrank or cannot be read any further
        }
        destination += got;
        offset += static_cast<std::uint64_t>(got);
        count -= static_cast<std::size_t>(got);
    }
}

void GgufStream::refill() {
    buffer_start_ = position();
    buffer_pos_ = 0;
    buffer_len_ = 0;
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBufferCapacity, remaining()));
    read_at(buffer_start_, buffer_.get(), wanted);
    buffer_len_ = wanted;
}

void GgufStream::read_beyond_buffer(void* destination, std::size_t count) {
    if (count > remaining()) {
        fail_end_of_file();
    }
    auto* out = static_cast<char*>(destination);
    while (count > 0) {
        if (buffered() == 0) {
            if (count >= kBufferCapacity) {
                // Too large to gain from the buffer: straight into the destination.
                read_at(position(), out, count);
                buffer_start_ = position() + count;
                buffer_pos_ = buffer_len_ = 0;
                return;
            }
            refill();
        }
        const std::size_t part = std::min(count, buffered());
        std::memcpy(out, buffer_.get() + buffer_pos_, part);
        buffer_pos_ += part;
        out += part;
        count -= part;
    }
}

std::uint8_t GgufStream::read_u8() {
    unsigned char byte = 0;
    read(&byte, 1);
    return byte;
}

std::uint32_t GgufStream::read_u32() {
    unsigned char bytes[4];
    read(bytes, sizeof bytes);
    return from_little_endian<std::uint32_t>(bytes);
}

std::uint64_t GgufStream::read_u64() {
    unsigned char bytes[8];
    read(bytes, sizeof bytes);
    return from_little_endian<std::uint64_t>(bytes);
}

void GgufStream::skip(std::uint64_t count) {
    if (count > remaining()) {
        fail_end_of_file();
    }
    if (count <= buffered()) {
        buffer_pos_ += static_cast<std::size_t>(count);
        return;
    }
    buffer_start_ = position() + count;
    buffer_pos_ = buffer_len_ = 0;
}

std::string _read_string(GgufStream& stream) {
    const std::uint64_t length = stream.read_u64();
    stream.require(length, 1, "string length");
    std::string bytes(static_cast<std::size_t>(length), '\0');
    stream.read(bytes.data(), bytes.size());
    return replace_invalid_utf8(std::move(bytes));
}

std::optional<GgufValue> _read_value(GgufStream& stream, std::uint32_t vtype) {
    switch (vtype) {
        case GGUF_TYPE_UINT32:
            return GgufValue{std::uint64_t{stream.read_u32()}};
        case GGUF_TYPE_INT32:
            return GgufValue{std::int64_t{static_cast<std::int32_t>(stream.read_u32())}};
        case GGUF_TYPE_FLOAT32:
            return GgufValue{double{std::bit_cast<float>(stream.read_u32())}};
        case GGUF_TYPE_UINT64:
            return GgufValue{stream.read_u64()};
        case GGUF_TYPE_INT64:
            return GgufValue{static_cast<std::int64_t>(stream.read_u64())};
        case GGUF_TYPE_BOOL:
            return GgufValue{stream.read_u8() != 0};
        case GGUF_TYPE_STRING:
            return GgufValue{_read_string(stream)};
        default:
            _skip_value(stream, vtype);
            return std::nullopt;
    }
}

void _skip_value(GgufStream& stream, std::uint32_t vtype) {
    if (vtype == GGUF_TYPE_STRING) {
        const std::uint64_t length = stream.read_u64();
        stream.require(length, 1, "string length");
        stream.skip(length);
        return;
    }
    if (vtype == GGUF_TYPE_ARRAY) {
        const std::uint32_t element_type = stream.read_u32();
        const std::uint64_t count = stream.read_u64();
        if (element_type == GGUF_TYPE_STRING) {
            // Every string carries at least its 8-byte length.
            stream.require(count, 8, "array size");
            for (std::uint64_t i = 0; i < count; ++i) {
                _skip_value(stream, GGUF_TYPE_STRING);
            }
            return;
        }
        const std::uint64_t width = fixed_width(element_type);
        if (width == 0) {
            throw InvalidValueError("Unknown array type " + std::to_string(element_type));
        }
        stream.require(count, width, "array size");
        stream.skip(count * width);
        return;
    }
    const std::uint64_t width = fixed_width(vtype);
    if (width == 0) {
        throw InvalidValueError("Unknown value type " + std::to_string(vtype));
    }
    stream.skip(width);
}

GgufMetadata read_gguf_metadata(const std::string& path) {
    GgufStream stream(path);
    char magic[4] = {};
    if (stream.remaining() < sizeof magic) {
        throw InvalidValueError("Not a GGUF file: " + path);
    }
    stream.read(magic, sizeof magic);
    if (std::string_view(magic, sizeof magic) != "GGUF") {
        throw InvalidValueError("Not a GGUF file: " + path);
    }
    GgufMetadata meta;
    meta.set("_version", std::uint64_t{stream.read_u32()});
    meta.set("_n_tensors", stream.read_u64());
    const std::uint64_t n_kv = stream.read_u64();
    for (std::uint64_t i = 0; i < n_kv; ++i) {
        std::string key = _read_string(stream);
        const std::uint32_t vtype = stream.read_u32();
        if (auto value = _read_value(stream, vtype)) {
            meta.set(std::move(key), std::move(*value));
        }
    }
    return meta;
}

namespace {

// The integer under `key` when it fits in T; any other value counts as absent, since a model
// field cannot hold it.
template <typename T>
std::optional<T> integer_at(const GgufMetadata& meta, const std::string& key) {
    const GgufValue* value = meta.find(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const auto* u = std::get_if<std::uint64_t>(value);
        u != nullptr && *u <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
        return static_cast<T>(*u);
    }
    if (const auto* i = std::get_if<std::int64_t>(value); i != nullptr && std::in_range<T>(*i)) {
        return static_cast<T>(*i);
    }
    return std::nullopt;
}

std::optional<std::string> text_at(const GgufMetadata& meta, const std::string& key) {
    const GgufValue* value = meta.find(key);
    if (value == nullptr || !std::holds_alternative<std::string>(*value)) {
        return std::nullopt;
    }
    return std::get<std::string>(*value);
}

double bits_per_weight(std::int64_t file_type) {
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
    const GgufMetadata meta = read_gguf_metadata(path);
    engine::ModelSpec spec;
    spec.file_size_mb = platform::files::file_size_mb(path);

    const std::string arch = text_at(meta, "general.architecture").value_or("unknown");
    spec.n_layers = integer_at<int>(meta, arch + ".block_count").value_or(0);
    const int embedding_length = integer_at<int>(meta, arch + ".embedding_length").value_or(0);
    spec.n_heads = integer_at<int>(meta, arch + ".attention.head_count").value_or(0);
    spec.n_kv_heads =
        integer_at<int>(meta, arch + ".attention.head_count_kv").value_or(spec.n_heads);
    spec.context_length = integer_at<int>(meta, arch + ".context_length").value_or(4096);
    const auto expert_count = integer_at<std::int64_t>(meta, arch + ".expert_count").value_or(0);
    const auto file_type = integer_at<std::int64_t>(meta, "general.file_type").value_or(0);
    spec.name = text_at(meta, "general.name").value_or(file_name(path));

    spec.head_dim = spec.n_heads > 0 ? embedding_length / spec.n_heads : 128;
    spec.is_moe = expert_count > 0;
    const double params_b =
        static_cast<double>(spec.file_size_mb * 8) / (bits_per_weight(file_type) * 1000);
    spec.n_params_b = round_one_decimal(params_b);
    return spec;
}

void print_model_info(const engine::ModelSpec& spec, const GgufMetadata* meta) {
    std::cout << "\n  Model: " << spec.name << '\n'
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
        std::cout << "  Architecture: " << (arch != nullptr ? value_text(*arch) : "?") << '\n';
    }
    std::cout << std::endl;
}

}  // namespace kestrune::ggufmeta
