#include "kestrune/engine/ggufmeta.hpp"

#include <gguf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "kestrune/engine/model_info.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace gm = kestrune::ggufmeta;
using gm::GgufValue;
using kestrune::InvalidValueError;
using kestrune::engine::ModelSpec;
using Entries = std::vector<gm::GgufMetadata::Entry>;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

// Bytes of a GGUF file, little-endian, written field by field so that files no writer would
// produce (unknown types, bad lengths, cut-off numbers) can be made too.
class GgufBytes {
  public:
    GgufBytes& u8(std::uint8_t value) { return little_endian(value, 1); }
    GgufBytes& u32(std::uint32_t value) { return little_endian(value, 4); }
    GgufBytes& u64(std::uint64_t value) { return little_endian(value, 8); }
    GgufBytes& raw(std::string_view bytes) {
        bytes_ += bytes;
        return *this;
    }
    GgufBytes& str(std::string_view text) { return u64(text.size()).raw(text); }
    GgufBytes& header(std::uint64_t n_kv, std::uint32_t version = 3, std::uint64_t n_tensors = 0) {
        return raw("GGUF").u32(version).u64(n_tensors).u64(n_kv);
    }
    GgufBytes& key(std::string_view name, std::uint32_t vtype) { return str(name).u32(vtype); }

    const std::string& bytes() const { return bytes_; }

  private:
    GgufBytes& little_endian(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            bytes_ += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        return *this;
    }

    std::string bytes_;
};

Entries entries_of(const gm::GgufMetadata& meta) {
    return Entries(meta.begin(), meta.end());
}

class GgufMetaTest : public ::testing::Test {
  protected:
    std::string write(std::string_view name, const GgufBytes& file) const {
        return dir.write(name, file.bytes()).string();
    }

    kestrune::testing::TempDir dir;
};

// One entry of every value type, a key stored twice and a file key that replaces the header
// value, then a last entry that is only read right when everything before it was consumed
// exactly.
GgufBytes every_kind_of_entry() {
    GgufBytes file;
    file.header(18, 3, 7);
    file.key("u8", gm::GGUF_TYPE_UINT8).u8(200);
    file.key("i8", gm::GGUF_TYPE_INT8).u8(0xFF);
    file.key("u16", gm::GGUF_TYPE_UINT16).u8(1).u8(2);
    file.key("i16", gm::GGUF_TYPE_INT16).u8(3).u8(4);
    file.key("u32", gm::GGUF_TYPE_UINT32).u32(4000000000U);
    file.key("i32", gm::GGUF_TYPE_INT32).u32(0xFFFFFFFEU);
    file.key("f32", gm::GGUF_TYPE_FLOAT32).u32(std::bit_cast<std::uint32_t>(0.1F));
    file.key("flag", gm::GGUF_TYPE_BOOL).u8(2);
    file.key("off", gm::GGUF_TYPE_BOOL).u8(0);
    file.key("text", gm::GGUF_TYPE_STRING).str("llama");
    file.key("tokens", gm::GGUF_TYPE_ARRAY).u32(gm::GGUF_TYPE_STRING).u64(3);
    file.str("a").str("").str("ccc");
    file.key("scores", gm::GGUF_TYPE_ARRAY).u32(gm::GGUF_TYPE_FLOAT32).u64(3).u32(1).u32(2).u32(3);
    file.key("u64", gm::GGUF_TYPE_UINT64).u64((std::uint64_t{1} << 63) + 5);
    file.key("i64", gm::GGUF_TYPE_INT64).u64(static_cast<std::uint64_t>(-5));
    file.key("f64", gm::GGUF_TYPE_FLOAT64).u64(std::bit_cast<std::uint64_t>(2.5));
    file.key("_version", gm::GGUF_TYPE_UINT32).u32(99);
    file.key("text", gm::GGUF_TYPE_STRING).str("replaced");
    file.key("tail", gm::GGUF_TYPE_UINT32).u32(7);
    return file;
}

TEST_F(GgufMetaTest, HeaderOnlyFileHoldsVersionAndTensorCount) {
    const auto path = write("empty.gguf", GgufBytes().header(0, 3, 0));
    EXPECT_EQ(entries_of(gm::read_gguf_metadata(path)),
              (Entries{{"_version", std::uint64_t{3}}, {"_n_tensors", std::uint64_t{0}}}));
}

TEST_F(GgufMetaTest, KeepsReadTypesInOrderAndSkipsTheOthers) {
    const auto path = write("all.gguf", every_kind_of_entry());
    const Entries expected{
        {"_version", std::uint64_t{99}},
        {"_n_tensors", std::uint64_t{7}},
        {"u32", std::uint64_t{4000000000U}},
        {"i32", std::int64_t{-2}},
        {"f32", double{0.1F}},
        {"flag", true},
        {"off", false},
        {"text", std::string("replaced")},
        {"u64", (std::uint64_t{1} << 63) + 5},
        {"i64", std::int64_t{-5}},
        {"tail", std::uint64_t{7}},
    };
    EXPECT_EQ(entries_of(gm::read_gguf_metadata(path)), expected);

    // Asked for every width, the 8- and 16-bit integers take their places too.
    Entries every_width = expected;
    every_width.insert(every_width.begin() + 2, {{"u8", std::uint64_t{200}},
                                                 {"i8", std::int64_t{-1}},
                                                 {"u16", std::uint64_t{0x0201}},
                                                 {"i16", std::int64_t{0x0403}}});
    EXPECT_EQ(entries_of(gm::read_gguf_metadata(path, gm::Integers::every_width)), every_width);
}

TEST_F(GgufMetaTest, MetadataAsJsonKeepsTheMapsOrderAndTypes) {
    const auto meta = gm::read_gguf_metadata(write("all.gguf", every_kind_of_entry()));
    const kestrune::Json json = meta;
    ASSERT_EQ(json.size(), meta.size());
    auto member = json.begin();
    for (const auto& [key, value] : meta) {
        EXPECT_EQ(member.key(), key);
        std::visit([&](const auto& held) { EXPECT_EQ(member.value(), kestrune::Json(held)); },
                   value);
        ++member;
    }
    EXPECT_TRUE(json["u64"].is_number_unsigned());
    EXPECT_EQ(json["i64"].get<std::int64_t>(), -5);
    EXPECT_THAT(json.dump(), ::testing::StartsWith(
                                 R"({"_version":99,"_n_tensors":7,"u32":4000000000,"i32":-2,)"));
}

TEST_F(GgufMetaTest, InvalidUtf8BecomesReplacementCharacters) {
    const std::string bytes =
        "a\xff"
        "b|\xe2\x82|\xe2\x82x|\xed\xa0\x80|\xc0\xaf|\xf4\x90\x80\x80|\xf0\x9f\x98|\xe2\x82\xac";
    GgufBytes file;
    file.header(1).key("k\xff", gm::GGUF_TYPE_STRING).str(bytes);
    const auto meta = gm::read_gguf_metadata(write("utf8.gguf", file));
    // One U+FFFD per maximal ill-formed subsequence, as Python's "replace" decoding gives.
    const std::string r = "\uFFFD";
    const std::string expected = "a" + r + "b|" + r + "|" + r + "x|" + r + r + r + "|" + r + r +
                                 "|" + r + r + r + r + "|" + r + "|\u20AC";
    const GgufValue* value = meta.find("k" + r);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::get<std::string>(*value), expected);
}

TEST_F(GgufMetaTest, UnknownTypesAndForeignFilesFailWithTheirMessages) {
    const auto expect_invalid = [&](const GgufBytes& file, const std::string& message) {
        const auto path = write("bad.gguf", file);
        EXPECT_THAT([&] { gm::read_gguf_metadata(path); },
                    ThrowsMessage<InvalidValueError>(message));
    };
    expect_invalid(GgufBytes().header(1).key("k", 13).u32(0), "Unknown value type 13");
    expect_invalid(GgufBytes().header(1).key("k", gm::GGUF_TYPE_ARRAY).u32(9).u64(0),
                   "Unknown array type 9");
    expect_invalid(GgufBytes().header(1).key("k", gm::GGUF_TYPE_ARRAY).u32(13).u64(0),
                   "Unknown array type 13");
    const auto ggml = write("old.bin", GgufBytes().raw("GGML").u32(3).u64(0).u64(0));
    EXPECT_THAT([&] { gm::read_gguf_metadata(ggml); },
                ThrowsMessage<InvalidValueError>("Not a GGUF file: " + ggml));
    const auto short_file = write("short.gguf", GgufBytes().raw("GGU"));
    EXPECT_THAT([&] { gm::read_gguf_metadata(short_file); },
                ThrowsMessage<InvalidValueError>("Not a GGUF file: " + short_file));
    EXPECT_THROW(gm::read_gguf_metadata(dir.str() + "/missing.gguf"), kestrune::NotFoundError);
    EXPECT_THROW(gm::read_gguf_metadata(dir.str()), kestrune::RuntimeFailure);
}

TEST_F(GgufMetaTest, EveryTruncationFailsNamingTheFile) {
    const auto path = write("cut.gguf", every_kind_of_entry());
    for (auto length = std::filesystem::file_size(path); length-- > 0;) {
        SCOPED_TRACE(length);
        std::filesystem::resize_file(path, length);
        EXPECT_THAT([&] { gm::read_gguf_metadata(path); },
                    ThrowsMessage<InvalidValueError>(HasSubstr(path)));
    }
}

TEST_F(GgufMetaTest, CorruptLengthsFailBeforeAnyAllocationOrSeek) {
    constexpr std::uint64_t kHuge = ~std::uint64_t{0};
    const std::vector<GgufBytes> files{
        GgufBytes().header(1).u64(kHuge).raw("key"),
        GgufBytes().header(1).key("k", gm::GGUF_TYPE_STRING).u64(10).raw("123456789"),
        GgufBytes()
            .header(1)
            .key("k", gm::GGUF_TYPE_ARRAY)
            .u32(gm::GGUF_TYPE_STRING)
            .u64(kHuge / 4),
        GgufBytes().header(1).key("k", gm::GGUF_TYPE_ARRAY).u32(gm::GGUF_TYPE_UINT32).u64(3).u64(0),
        // 2^61 elements of 8 bytes: a size computed without care wraps to 0 and the reader
        // would go on to the next entry.
        GgufBytes()
            .header(2)
            .key("k", gm::GGUF_TYPE_ARRAY)
            .u32(gm::GGUF_TYPE_UINT64)
            .u64(std::uint64_t{1} << 61)
            .key("tail", gm::GGUF_TYPE_UINT32)
            .u32(1),
        GgufBytes().header(kHuge).key("k", gm::GGUF_TYPE_BOOL).u8(1),
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(i);
        const auto path = write("corrupt.gguf", files[i]);
        EXPECT_THAT([&] { gm::read_gguf_metadata(path); },
                    ThrowsMessage<InvalidValueError>(HasSubstr(path)));
    }
}

// The values llama.cpp's own reader finds, for the types we keep, in file order.
Entries reference_entries(const std::string& path) {
    const std::unique_ptr<gguf_context, decltype(&gguf_free)> ctx(
        gguf_init_from_file(path.c_str(), {.no_alloc = true, .ctx = nullptr}), &gguf_free);
    if (ctx == nullptr) {
        ADD_FAILURE() << "llama.cpp cannot read " << path;
        return {};
    }
    const gguf_context* c = ctx.get();
    Entries entries{{"_version", std::uint64_t{gguf_get_version(c)}},
                    {"_n_tensors", static_cast<std::uint64_t>(gguf_get_n_tensors(c))}};
    for (std::int64_t id = 0; id < gguf_get_n_kv(c); ++id) {
        const std::string key = gguf_get_key(c, id);
        switch (gguf_get_kv_type(c, id)) {
            case GGUF_TYPE_UINT32:
                entries.emplace_back(key, std::uint64_t{gguf_get_val_u32(c, id)});
                break;
            case GGUF_TYPE_INT32:
                entries.emplace_back(key, std::int64_t{gguf_get_val_i32(c, id)});
                break;
            case GGUF_TYPE_FLOAT32:
                entries.emplace_back(key, double{gguf_get_val_f32(c, id)});
                break;
            case GGUF_TYPE_BOOL:
                entries.emplace_back(key, gguf_get_val_bool(c, id));
                break;
            case GGUF_TYPE_STRING:
                entries.emplace_back(key, std::string(gguf_get_val_str(c, id)));
                break;
            case GGUF_TYPE_UINT64:
                entries.emplace_back(key, gguf_get_val_u64(c, id));
                break;
            case GGUF_TYPE_INT64:
                entries.emplace_back(key, std::int64_t{gguf_get_val_i64(c, id)});
                break;
            default:
                break;
        }
    }
    return entries;
}

TEST(GgufMetaVocabTest, EveryVocabularyFileReadsAsLlamaCppReadsIt) {
    std::vector<std::string> paths;
    for (const auto& entry :
         std::filesystem::directory_iterator(KESTRUNE_LLAMA_SOURCE_DIR "/models")) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("ggml-vocab-") && name.ends_with(".gguf")) {
            paths.push_back(entry.path().string());
        }
    }
    ASSERT_GE(paths.size(), 10U);
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        const Entries expected = reference_entries(path);
        EXPECT_GT(expected.size(), 2U);
        EXPECT_EQ(entries_of(gm::read_gguf_metadata(path)), expected);
    }
}

// A llama header like an 8B model's, padded with a hole to `size_mb` MiB.
std::string write_llama_file(const kestrune::testing::TempDir& dir, std::int64_t size_mb,
                             std::optional<std::uint32_t> file_type) {
    GgufBytes file;
    file.header(file_type ? 7 : 6);
    file.key("general.architecture", gm::GGUF_TYPE_STRING).str("llama");
    file.key("llama.block_count", gm::GGUF_TYPE_UINT32).u32(32);
    file.key("llama.embedding_length", gm::GGUF_TYPE_UINT32).u32(4096);
    file.key("llama.attention.head_count", gm::GGUF_TYPE_UINT32).u32(32);
    file.key("llama.attention.head_count_kv", gm::GGUF_TYPE_UINT32).u32(8);
    file.key("llama.context_length", gm::GGUF_TYPE_UINT32).u32(8192);
    if (file_type) {
        file.key("general.file_type", gm::GGUF_TYPE_UINT32).u32(*file_type);
    }
    const auto path = dir.write("model.gguf", file.bytes());
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size_mb) * 1048576);
    return path.string();
}

TEST_F(GgufMetaTest, ModelSpecComesFromTheHeaderAndTheFileSize) {
    const auto path = write_llama_file(dir, 4683, 15);
    EXPECT_EQ(gm::gguf_to_model_spec(path), (ModelSpec{.name = "model.gguf",
                                                       .file_size_mb = 4683,
                                                       .n_params_b = 8.3,
                                                       .n_layers = 32,
                                                       .n_heads = 32,
                                                       .n_kv_heads = 8,
                                                       .head_dim = 128,
                                                       .context_length = 8192,
                                                       .is_moe = false}));
}

TEST_F(GgufMetaTest, ParameterEstimateFollowsTheFileTypeAndRoundsHalfToEven) {
    const auto estimate = [&](std::int64_t size_mb, std::optional<std::uint32_t> file_type) {
        return gm::gguf_to_model_spec(write_llama_file(dir, size_mb, file_type)).n_params_b;
    };
    EXPECT_EQ(estimate(4683, 1), 2.3);
    EXPECT_EQ(estimate(4683, 0), 1.2);
    EXPECT_EQ(estimate(4683, 7), 4.7);
    EXPECT_EQ(estimate(4683, 30), 9.4);
    EXPECT_EQ(estimate(4683, std::nullopt), 1.2);
    // 1000 MiB at 32 bits is exactly 0.25 and 3000 MiB exactly 0.75: ties go to the even digit.
    EXPECT_EQ(estimate(1000, 0), 0.2);
    EXPECT_EQ(estimate(3000, 0), 0.8);
}

TEST_F(GgufMetaTest, MissingOrUnusableKeysFallBackToDefaults) {
    GgufBytes file;
    file.header(5);
    file.key("general.architecture", gm::GGUF_TYPE_STRING).str("qwen2");
    file.key("general.name", gm::GGUF_TYPE_STRING).str("Tiny");
    // A head count held in an array is skipped by the reader, so it counts as absent.
    file.key("qwen2.attention.head_count", gm::GGUF_TYPE_ARRAY).u32(gm::GGUF_TYPE_UINT32).u64(1);
    file.u32(16);
    file.key("qwen2.expert_count", gm::GGUF_TYPE_INT32).u32(8);
    file.key("llama.block_count", gm::GGUF_TYPE_UINT32).u32(32);
    EXPECT_EQ(gm::gguf_to_model_spec(write("tiny.gguf", file)), (ModelSpec{.name = "Tiny",
                                                                           .file_size_mb = 0,
                                                                           .n_params_b = 0.0,
                                                                           .n_layers = 0,
                                                                           .n_heads = 0,
                                                                           .n_kv_heads = 0,
                                                                           .head_dim = 128,
                                                                           .context_length = 4096,
                                                                           .is_moe = true}));
}

// Counts may come in any integer width, and a 32-bit context or a 64-bit expert count beyond
// int's range is taken as it is, neither wrapped nor dropped.
TEST_F(GgufMetaTest, ModelSpecTakesCountsOfEveryIntegerWidth) {
    GgufBytes file;
    file.header(7);
    file.key("general.architecture", gm::GGUF_TYPE_STRING).str("llama");
    file.key("llama.block_count", gm::GGUF_TYPE_UINT8).u8(24);
    file.key("llama.embedding_length", gm::GGUF_TYPE_UINT16).u8(0x00).u8(0x08);  // 2048
    file.key("llama.attention.head_count", gm::GGUF_TYPE_INT8).u8(16);
    file.key("llama.attention.head_count_kv", gm::GGUF_TYPE_INT16).u8(4).u8(0);
    file.key("llama.context_length", gm::GGUF_TYPE_UINT32).u32(3'000'000'000U);
    file.key("llama.expert_count", gm::GGUF_TYPE_UINT64).u64((std::uint64_t{1} << 63) + 5);
    const ModelSpec spec = gm::gguf_to_model_spec(write("wide.gguf", file));
    EXPECT_EQ(spec.n_layers, 24);
    EXPECT_EQ(spec.n_heads, 16);
    EXPECT_EQ(spec.n_kv_heads, 4);
    EXPECT_EQ(spec.head_dim, 128);
    EXPECT_EQ(spec.context_length, 3'000'000'000);
    EXPECT_TRUE(spec.is_moe);
}

TEST_F(GgufMetaTest, ModelSpecRefusesCountsOutOfRangeNamingTheKey) {
    const auto spec_with = [&](std::string_view key, std::uint32_t vtype, std::uint64_t raw) {
        GgufBytes file;
        file.header(2);
        file.key("general.architecture", gm::GGUF_TYPE_STRING).str("llama");
        file.key(key, vtype);
        vtype == gm::GGUF_TYPE_INT32 ? file.u32(static_cast<std::uint32_t>(raw)) : file.u64(raw);
        const std::string path = write("range.gguf", file);
        return [path] { gm::gguf_to_model_spec(path); };
    };
    EXPECT_THAT(
        spec_with("llama.block_count", gm::GGUF_TYPE_UINT64, std::uint64_t{1} << 63),
        ThrowsMessage<InvalidValueError>(
            AllOf(HasSubstr("range.gguf"), HasSubstr("llama.block_count is 9223372036854775808"))));
    EXPECT_THAT(spec_with("llama.context_length", gm::GGUF_TYPE_INT32, 0xFFFFFFFFU),
                ThrowsMessage<InvalidValueError>(HasSubstr("llama.context_length is -1")));
    EXPECT_THAT(
        spec_with("llama.expert_count", gm::GGUF_TYPE_INT64, static_cast<std::uint64_t>(-8)),
        ThrowsMessage<InvalidValueError>(HasSubstr("llama.expert_count is -8")));
}

// Everything print_model_info writes to std::cout.
std::string printed(const ModelSpec& spec, const gm::GgufMetadata* meta) {
    std::ostringstream out;
    std::streambuf* const previous = std::cout.rdbuf(out.rdbuf());
    gm::print_model_info(spec, meta);
    std::cout.rdbuf(previous);
    return out.str();
}

TEST(GgufMetaPrintTest, PrintsEveryLineWithItsLabel) {
    const ModelSpec spec{.name = "Llama 3",
                         .file_size_mb = 4683,
                         .n_params_b = 8.3,
                         .n_layers = 32,
                         .n_heads = 32,
                         .n_kv_heads = 8,
                         .head_dim = 128,
                         .context_length = 131072,
                         .is_moe = true};
    const std::string body =
        "\n"
        "  Model: Llama 3\n"
        "  ----------------------------------------\n"
        "  Parameters:  ~8.3B (MoE)\n"
        "  Layers:      32\n"
        "  Heads:       32 Q / 8 KV\n"
        "  Head dim:    128\n"
        "  Context:     131,072\n"
        "  File size:   4.6 GB\n";
    gm::GgufMetadata meta;
    EXPECT_EQ(printed(spec, nullptr), body + "\n");
    EXPECT_EQ(printed(spec, &meta), body + "\n");
    meta.set("_version", std::uint64_t{3});
    EXPECT_EQ(printed(spec, &meta), body + "  Architecture: ?\n\n");
    meta.set("general.architecture", std::string("llama"));
    EXPECT_EQ(printed(spec, &meta), body + "  Architecture: llama\n\n");
}

TEST(GgufMetaPrintTest, FormatsNumbers) {
    const auto line = [](const ModelSpec& spec, std::string_view label) {
        const std::string text = printed(spec, nullptr);
        const std::size_t start = text.find(label);
        return text.substr(start, text.find('\n', start) - start);
    };
    EXPECT_EQ(line({.name = "m", .n_params_b = 70.0}, "  Parameters:"), "  Parameters:  ~70.0B");
    EXPECT_EQ(line({.name = "m", .n_params_b = 0.1 + 0.2}, "  Parameters:"),
              "  Parameters:  ~0.30000000000000004B");
    EXPECT_EQ(line({.name = "m", .context_length = 999}, "  Context:"), "  Context:     999");
    EXPECT_EQ(line({.name = "m", .context_length = 4096}, "  Context:"), "  Context:     4,096");
    EXPECT_EQ(line({.name = "m", .context_length = 1000000}, "  Context:"),
              "  Context:     1,000,000");
    EXPECT_EQ(line({.name = "m", .file_size_mb = 0}, "  File size:"), "  File size:   0.0 GB");
    // 256 and 768 MiB are exactly 0.25 and 0.75 GB: ties to the even digit.
    EXPECT_EQ(line({.name = "m", .file_size_mb = 256}, "  File size:"), "  File size:   0.2 GB");
    EXPECT_EQ(line({.name = "m", .file_size_mb = 768}, "  File size:"), "  File size:   0.8 GB");
    EXPECT_EQ(line({.name = "m", .file_size_mb = 71680}, "  File size:"), "  File size:   70.0 GB");
}

}  // namespace
