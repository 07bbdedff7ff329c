#include "kestrune/engine/modelcheck.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "support/deadline.hpp"
#include "support/gguf_header.hpp"
#include "support/temp_dir.hpp"

namespace kestrune::engine::modelcheck {
namespace {

using testing::GgufEntry;
using ::testing::HasSubstr;
using testing::llama_header;
using namespace std::chrono_literals;

// Headers llama.cpp asserts on: each row gives the keys added to a small llama header and the
// key the refusal must name ("" for a header that passes).
TEST(ModelCheck, HeadersLlamaCppAssertsOnAreRefusedNamingTheKey) {
    const struct {
        std::vector<GgufEntry> extra;
        std::string refused_key;
    } cases[] = {
        {{{"llama.block_count", std::uint32_t{2}}}, ""},
        {{{"llama.block_count", std::uint32_t{1000}}}, "llama.block_count"},
        {{{"llama.block_count", std::uint32_t{0}}}, "llama.block_count"},
        {{{"llama.block_count", std::int32_t{-1}}}, "llama.block_count"},
        {{{"llama.block_count", std::uint32_t{kMaxLayers}}}, ""},
        {{{"llama.block_count", std::uint32_t{2}},
          {"llama.nextn_predict_layers", std::uint32_t{3}}},
         "llama.nextn_predict_layers"},
        {{{"llama.context_length", std::uint32_t{0}}}, "llama.context_length"},
        {{{"llama.vocab_size", std::uint32_t{0}}}, "llama.vocab_size"},
        {{{"llama.attention.head_count", std::uint32_t{4}},
          {"llama.attention.head_count_kv", std::uint32_t{8}}},
         "llama.attention.head_count_kv"},
        {{{"llama.attention.head_count", std::uint32_t{8}},
          {"llama.attention.head_count_kv", std::uint32_t{2}}},
         ""},
        {{{"llama.expert_count", std::uint32_t{2000}}}, "llama.expert_count"},
        {{{"llama.expert_count", std::uint32_t{8}}, {"llama.expert_used_count", std::uint32_t{9}}},
         "llama.expert_used_count"},
        {{{"llama.expert_count", std::uint32_t{8}}, {"llama.expert_used_count", std::uint32_t{0}}},
         "llama.expert_used_count"},
        {{{"llama.expert_used_count", std::uint32_t{2}}}, "llama.expert_used_count"},
        {{{"llama.expert_group_count", std::uint32_t{2}}}, "llama.expert_group_count"},
        {{{"llama.expert_count", std::uint32_t{8}},
          {"llama.expert_used_count", std::uint32_t{2}},
          {"llama.expert_group_count", std::uint32_t{3}}},
         "llama.expert_count"},
        {{{"llama.expert_count", std::uint32_t{8}},
          {"llama.expert_used_count", std::uint32_t{2}},
          {"llama.expert_group_count", std::uint32_t{4}},
          {"llama.expert_group_used_count", std::uint32_t{4}}},
         "llama.expert_group_used_count"},
        {{{"llama.expert_count", std::uint32_t{8}},
          {"llama.expert_used_count", std::uint32_t{2}},
          {"llama.expert_group_count", std::uint32_t{4}},
          {"llama.expert_group_used_count", std::uint32_t{2}}},
         ""},
        {{{"llama.block_count", std::string("1000")}},
         ""},  // a wrong type is llama.cpp's to refuse
    };
    testing::TempDir dir;
    const std::string path = (dir.path() / "m.gguf").string();
    for (const auto& test : cases) {
        testing::write_gguf_header(path, llama_header(test.extra));
        const std::string row = test.refused_key.empty() ? "a good header" : test.refused_key;
        if (test.refused_key.empty()) {
            EXPECT_NO_THROW(check_model_file(path)) << row;
            continue;
        }
        try {
            check_model_file(path);
            ADD_FAILURE() << row << ": accepted";
        } catch (const InvalidValueError& error) {
            EXPECT_THAT(error.what(), HasSubstr(" " + test.refused_key + " is ")) << row;
            EXPECT_THAT(error.what(), HasSubstr(path)) << row;
        }
    }
}

// A FIFO once blocked the reader forever, waiting for a writer; a device file is no model
// either. Both fail at once, naming the file.
TEST(ModelCheck, FilesThatAreNoRegularFilesAreRefusedWithoutBlocking) {
    testing::TempDir dir;
    const std::string fifo = (dir.path() / "fifo.gguf").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        const auto answer = testing::run_before_deadline(
            [&]() -> std::string {
                try {
                    check_model_file(path);
                    return "accepted";
                } catch (const InvalidValueError& error) {
                    return error.what();
                }
            },
            60s);
        ASSERT_TRUE(answer.has_value()) << path << ": the check blocked";
        EXPECT_EQ(*answer, "Not a regular file: " + path);
    }
}

}  // namespace
}  // namespace kestrune::engine::modelcheck
