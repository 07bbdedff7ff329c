#include "core/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

namespace utf8 = kestrune::utf8;

struct DecodeCase {
    const char* bytes;
    char32_t code;
    std::size_t length;
    bool valid;
};

TEST(Utf8, DecodesWellFormedCharactersAndMeasuresIllFormedSubparts) {
    const DecodeCase cases[] = {
        {"A", U'A', 1, true},
        {"\xC3\xA9", U'\u00E9', 2, true},
        {"\xE2\x82\xAC", U'\u20AC', 3, true},
        {"\xED\x9F\xBF", U'\uD7FF', 3, true},  // just below the surrogates
        {"\xEE\x80\x80", U'\uE000', 3, true},  // just above them
        {"\xF0\x9F\x98\x80", U'\U0001F600', 4, true},
        {"\xF4\x8F\xBF\xBF", U'\U0010FFFF', 4, true},
        // A byte that cannot start a character, or whose next byte the table forbids, is a
        // subpart of its own; a run cut short by a byte that cannot continue it is one subpart.
        {"\x80", utf8::replacement, 1, false},
        {"\xFF", utf8::replacement, 1, false},
        {"\xC0\xAF", utf8::replacement, 1, false},          // overlong
        {"\xE0\x80\x80", utf8::replacement, 1, false},      // overlong
        {"\xED\xA0\x80", utf8::replacement, 1, false},      // surrogate
        {"\xF4\x90\x80\x80", utf8::replacement, 1, false},  // beyond U+10FFFF
        {"\xF5\x80", utf8::replacement, 1, false},
        {"\xE2\x82", utf8::replacement, 2, false},
        {"\xE2\x82x", utf8::replacement, 2, false},
        {"\xF0\x9F\x98", utf8::replacement, 3, false},
    };
    for (const auto& c : cases) {
        const utf8::Decoded d = utf8::decode(c.bytes, 0);
        EXPECT_EQ(d.code, c.code) << c.bytes;
        EXPECT_EQ(d.length, c.length) << c.bytes;
        EXPECT_EQ(d.valid, c.valid) << c.bytes;
    }
    EXPECT_EQ(utf8::decode("x\xC3\xA9", 1).code, U'\u00E9');
}

TEST(Utf8, EveryScalarValueSurvivesEncodingAndEverySurrogateIsRefused) {
    char bytes[4];
    for (char32_t code = 0; code <= 0x10FFFF; ++code) {
        if (code == 0xD800) {
            code = 0xE000;
        }
        const std::size_t length = utf8::encode(code, bytes);
        const utf8::Decoded d = utf8::decode(std::string_view(bytes, length), 0);
        ASSERT_TRUE(d.valid && d.code == code && d.length == length)
            << std::hex << static_cast<std::uint32_t>(code);
    }
    EXPECT_EQ(std::string(bytes, utf8::encode(U'\u00E9', bytes)), "\xC3\xA9");
    EXPECT_EQ(std::string(bytes, utf8::encode(U'\U0001F600', bytes)), "\xF0\x9F\x98\x80");
    for (unsigned second = 0xA0; second <= 0xBF; ++second) {
        const std::string surrogate = {'\xED', static_cast<char>(second), '\x80'};
        EXPECT_FALSE(utf8::decode(surrogate, 0).valid) << second;
    }
}

TEST(Utf8, ValidPrefixStopsAtTheFirstIllFormedByte) {
    EXPECT_EQ(utf8::valid_prefix(""), 0U);
    EXPECT_EQ(utf8::valid_prefix("ab\xE2\x82\xAC"), 5U);
    EXPECT_EQ(utf8::valid_prefix("ab\xFF\xE2\x82\xAC"), 2U);
    EXPECT_EQ(utf8::valid_prefix("ab\xE2\x82"), 2U);
}

TEST(Utf8, ReplacesEachMaximalIllFormedSubpartOnce) {
    const std::string r = "\uFFFD";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"a\xFF"
         "b",
         "a" + r + "b"},
        {"\xE2\x82|\xE2\x82x|\xE2\x82\xAC", r + "|" + r + "x|\u20AC"},
        {"\xED\xA0\x80", r + r + r},
        {"\xC0\xAF", r + r},
        {"\xF4\x90\x80\x80", r + r + r + r},
        {"\xF0\x9F\x98", r},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(utf8::replace_invalid(bytes), text) << bytes;
    }
}

TEST(Utf8, CompletePrefixHoldsBackOnlyACharacterThatMayStillComplete) {
    const std::pair<const char*, std::size_t> cases[] = {
        {"", 0},
        {"abc", 3},
        {"a\xC3", 1},
        {"a\xC3\xA9", 3},
        {"\xE2\x82", 0},
        {"x\xF0\x9F\x98", 1},
        {"x\xF0\x9F\x98\x80", 5},
        // Bytes no continuation can mend are passed on at once.
        {"a\xFF", 2},
        {"\x80\x80\x80", 3},
        {"a\xE0\x80", 3},
        {"a\xF4\x90", 3},
        {"\xE2\x82x", 3},
    };
    for (const auto& [bytes, whole] : cases) {
        EXPECT_EQ(utf8::complete_prefix(bytes), whole) << bytes;
    }
}

// A model's tokens cut characters anywhere: what is passed on must be what the whole reply,
// read at once, would give.
TEST(Utf8, WholeCharactersPassOnWellFormedTextAsTheWholeWouldRead) {
    const std::vector<std::string> pieces = {"a\xE2\x82",
                                             "\xAC",
                                             "\xA7"
                                             "b\xF0",
                                             "\x9F",
                                             "\x98\x80",
                                             "\xFF",
                                             "c\xE2\x82"};
    utf8::WholeCharacters characters;
    std::vector<std::string> passed;
    std::string whole;
    for (const std::string& piece : pieces) {
        passed.push_back(characters.add(piece));
        whole += piece;
    }
    passed.push_back(characters.finish());
    EXPECT_EQ(passed, (std::vector<std::string>{"a", "\u20AC", "\uFFFDb", "", "\U0001F600",
                                                "\uFFFD", "c", "\uFFFD"}));
    std::string joined;
    for (const std::string& piece : passed) {
        joined += piece;
    }
    EXPECT_EQ(joined, utf8::replace_invalid(whole));
    EXPECT_EQ(characters.finish(), "");
}

}  // namespace
