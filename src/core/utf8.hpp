// UTF-8: the one decoder, encoder and validity rule of the project.
//
// Well-formed means Unicode's table of well-formed byte sequences: no overlong forms, no
// UTF-16 surrogates, nothing beyond U+10FFFF. Where bad bytes are replaced, each maximal
// subpart of an ill-formed sequence becomes one U+FFFD: the practice Unicode recommends and
// the one Python's "replace" error handler follows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune::utf8 {

inline constexpr char32_t replacement = 0xFFFD;

struct Decoded {
    char32_t code;       // `replacement` when the bytes are ill-formed
    std::size_t length;  // bytes taken: the character, or the maximal ill-formed subpart (>= 1)
    bool valid;
};

// The character that starts at text[pos]; `pos` must be inside `text`.
Decoded decode(std::string_view text, std::size_t pos);

// How many leading bytes of `text` are well-formed.
std::size_t valid_prefix(std::string_view text);

// `bytes` with every maximal ill-formed subpart replaced by U+FFFD; well-formed text comes
// back as it is, without a copy.
std::string replace_invalid(std::string bytes);

// Writes the scalar value `code` to out[0..3] and returns how many bytes it took.
std::size_t encode(char32_t code, char* out);

// How many leading bytes of `text` can be passed on now: all of them, less a last character
// that is cut short but could still be completed by the bytes that follow. Bytes that can
// never become a character are not held back.
std::size_t complete_prefix(std::string_view text);

// Text that arrives in pieces which may cut characters short (a model's tokens), passed on as
// well-formed text: a cut-short character waits for the bytes that complete it, and bytes that
// can never become one are passed on as U+FFFD, as a whole reply read at once would have them.
class WholeCharacters {
  public:
    // What `bytes`, after those still waiting, completes; empty while a character is cut short.
    std::string add(std::string_view bytes);
    // The bytes still waiting, at the end of the text.
    std::string finish();

  private:
    std::string pending_;
};

}  // namespace kestrune::utf8
