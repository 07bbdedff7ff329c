#include "kestrune/engine/ggufmeta.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>

#include "core/utf8.hpp"
#include "engine/ggufmeta_internal.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::engine::ggufmeta {

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

[[noreturn]] void fail_open(int error, const std::string& path) {
    // Python's wording, which callers of a file reader expect.
    const std::string message = "[Errno " + std::to_string(error) + "] " +
                                std::generic_category().message(error) + ": '" + path + "'";
    if (error == ENOENT || error == ENOTDIR) {
        throw NotFoundError(message);
    }
    throw RuntimeFailure(message);
}

// An 8- or 16-bit integer widened to 64 bits; absent for every other type, which is left
// unread.
std::optional<GgufValue> read_narrow_integer(GgufStream& stream, std::uint32_t vtype) {
    switch (vtype) {
        case GGUF_TYPE_UINT8:
            return GgufValue{std::uint64_t{stream.read_u8()}};
        case GGUF_TYPE_INT8:
            return GgufValue{std::int64_t{static_cast<std::int8_t>(stream.read_u8())}};
        case GGUF_TYPE_UINT16:
            return GgufValue{std::uint64_t{stream.read_u16()}};
        case GGUF_TYPE_INT16:
            return GgufValue{std::int64_t{static_cast<std::int16_t>(stream.read_u16())}};
        default:
            return std::nullopt;
    }
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

std::uint16_t GgufStream::read_u16() {
    unsigned char bytes[2];
    read(bytes, sizeof bytes);
    return from_little_endian<std::uint16_t>(bytes);
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
    return utf8::replace_invalid(std::move(bytes));
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

GgufMetadata read_gguf_metadata(const std::string& path, Integers integers) {
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
        auto value =
            integers == Integers::every_width ? read_narrow_integer(stream, vtype) : std::nullopt;
        if (!value) {
            value = _read_value(stream, vtype);
        }
        if (value) {
            meta.set(std::move(key), std::move(*value));
        }
    }
    return meta;
}

void to_json(Json& json, const GgufMetadata& meta) {
    json = Json::object();
    auto& members = static_cast<Json::object_t::Container&>(json.get_ref<Json::object_t&>());
    members.reserve(meta.size());
    for (const auto& [key, value] : meta) {
        std::visit([&, &name = key](const auto& held) { members.emplace_back(name, held); }, value);
    }
}

}  // namespace kestrune::engine::ggufmeta
