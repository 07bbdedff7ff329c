// GGUF metadata reader — extract model specs without loading the full model.
//
// Only the header and the key/value section at the start of a GGUF file are read; the tensor
// descriptions and data that follow are never touched, so the cost does not grow with the
// size of the weights ("Fast (< 1 second for any file size)"). Values of the types that are
// not kept (8- and 16-bit integers, 64-bit floats, arrays) are jumped over by seeking.
//
// Every length and element count is checked against the bytes left in the file before it is
// used, so a corrupt file fails with InvalidValueError instead of allocating or seeking past
// its end; a failure never returns part of the map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::engine::ggufmeta {

// Value-type identifiers of the GGUF format.
inline constexpr std::uint32_t GGUF_TYPE_UINT8 = 0;
inline constexpr std::uint32_t GGUF_TYPE_INT8 = 1;
inline constexpr std::uint32_t GGUF_TYPE_UINT16 = 2;
inline constexpr std::uint32_t GGUF_TYPE_INT16 = 3;
inline constexpr std::uint32_t GGUF_TYPE_UINT32 = 4;
inline constexpr std::uint32_t GGUF_TYPE_INT32 = 5;
inline constexpr std::uint32_t GGUF_TYPE_FLOAT32 = 6;
inline constexpr std::uint32_t GGUF_TYPE_BOOL = 7;
inline constexpr std::uint32_t GGUF_TYPE_STRING = 8;
inline constexpr std::uint32_t GGUF_TYPE_ARRAY = 9;
inline constexpr std::uint32_t GGUF_TYPE_UINT64 = 10;
inline constexpr std::uint32_t GGUF_TYPE_INT64 = 11;
inline constexpr std::uint32_t GGUF_TYPE_FLOAT64 = 12;

// One metadata value: UINT32/UINT64 as unsigned, INT32/INT64 as signed, FLOAT32 as double,
// BOOL as a flag, STRING as UTF-8 text.
using GgufValue = std::variant<std::uint64_t, std::int64_t, double, bool, std::string>;

// The metadata map: keys in the order they were first stored; storing an existing key
// replaces its value in place.
class KESTRUNE_API GgufMetadata {
  public:
    using Entry = std::pair<std::string, GgufValue>;

    void set(std::string key, GgufValue value);
    // The value under `key`, or null.
    const GgufValue* find(std::string_view key) const;

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() const { return entries_.cbegin(); }
    auto end() const { return entries_.cend(); }

  private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const {
            return std::hash<std::string_view>{}(key);
        }
    };

    std::deque<Entry> entries_;
    std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index_;
};

// The map as one JSON object, keys in the map's order. Linear in the number of keys: they are
// unique in the map, so each is appended without a search.
KESTRUNE_API void to_json(Json& json, const GgufMetadata& meta);

// A GGUF file opened for binary reading through a buffer. Knows the file's size, so every
// read and skip is checked against the bytes left. Closes the file when destroyed.
class KESTRUNE_API GgufStream {
  public:
    // Fails with NotFoundError when the file does not exist, RuntimeFailure when it cannot be
    // opened or is a directory.
    explicit GgufStream(std::string path);

    const std::string& path() const { return path_; }
    // Bytes between the current position and the end of the file.
    std::uint64_t remaining() const { return size_ - position(); }

    // Each read fails with InvalidValueError when the file ends before the value does.
    void read(void* destination, std::size_t count) {
        if (count <= buffered()) {  // the common case, kept inline: one copy from the buffer
            std::memcpy(destination, buffer_.get() + buffer_pos_, count);
            buffer_pos_ += count;
            return;
        }
        read_beyond_buffer(destination, count);
    }
    std::uint8_t read_u8();
    std::uint16_t read_u16();
    std::uint32_t read_u32();
    std::uint64_t read_u64();
    // Moves `count` bytes forward without reading them.
    void skip(std::uint64_t count);
    // Fails with InvalidValueError unless `count` items of at least `item_size` bytes each
    // fit in the rest of the file; `what` names the item in the message.
    void require(std::uint64_t count, std::uint64_t item_size, std::string_view what) const {
        std::uint64_t total = 0;
        if (__builtin_mul_overflow(count, item_size, &total) || total > remaining()) {
            fail_corrupt(count, what);
        }
    }

  private:
    std::uint64_t position() const { return buffer_start_ + buffer_pos_; }
    std::size_t buffered() const { return buffer_len_ - buffer_pos_; }
    void refill();
    void read_beyond_buffer(void* destination, std::size_t count);
    void read_at(std::uint64_t offset, char* destination, std::size_t count);
    [[noreturn]] void fail_end_of_file() const;
    [[noreturn]] void fail_corrupt(std::uint64_t count, std::string_view what) const;

    // Owns the descriptor, so it is closed on every path, the constructor's failures included.
    struct File {
        int fd = -1;
        File() = default;
        File(const File&) = delete;
        File& operator=(const File&) = delete;
        ~File();
    };

    std::string path_;
    File file_;
    std::uint64_t size_ = 0;
    std::unique_ptr<char[]> buffer_;
    std::uint64_t buffer_start_ = 0;  // file offset of buffer_[0]
    std::size_t buffer_len_ = 0;
    std::size_t buffer_pos_ = 0;
};

// Which integers a read keeps. The metadata map leaves 8- and 16-bit integers out; a model
// description takes a count in whatever width the file stores it.
enum class Integers { listed_widths, every_width };

// Read all metadata key-value pairs from a GGUF file. With Integers::every_width, 8- and
// 16-bit integers are kept too, as unsigned or signed 64-bit values.
KESTRUNE_API GgufMetadata read_gguf_metadata(const std::string& path,
                                             Integers integers = Integers::listed_widths);

}  // namespace kestrune::engine::ggufmeta

// The module by its own name, as callers have always written it.
namespace kestrune {
namespace ggufmeta = engine::ggufmeta;
}  // namespace kestrune
