#include "core/utf8.hpp"

#include <utility>

namespace kestrune::utf8 {

namespace {

// The count of continuation bytes a lead byte announces (0 for a byte that cannot start a
// sequence) and the range allowed for the byte after it, which is where the table rules out
// overlong forms, surrogates and values beyond U+10FFFF.
struct LeadByte {
    std::size_t continuations;
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
        return {2, 0x80, 0x9F};
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
        return {3, 0x80, 0x8F};
    }
    return {0, 0, 0};
}

constexpr std::string_view replacement_bytes = "\xEF\xBF\xBD";

}  // namespace

Decoded decode(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    const LeadByte kind = classify_lead(lead);
    char32_t code = lead & (0x3FU >> kind.continuations);
    std::size_t end = pos + 1;
    unsigned char low = kind.low;
    unsigned char high = kind.high;
    for (std::size_t i = 0; i < kind.continuations && end < text.size(); ++i) {
        const auto next = static_cast<unsigned char>(text[end]);
        if (next < low || next > high) {
            break;
        }
        code = (code << 6) | (next & 0x3FU);
        ++end;
        low = 0x80;
        high = 0xBF;
    }
    const std::size_t length = end - pos;
    if (kind.continuations == 0 || length != kind.continuations + 1) {
        return {replacement, length, false};
    }
    return {code, length, true};
}

std::size_t valid_prefix(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const Decoded c = decode(text, pos);
        if (!c.valid) {
            break;
        }
        pos += c.length;
    }
    return pos;
}

std::string replace_invalid(std::string bytes) {
    std::size_t pos = valid_prefix(bytes);
    if (pos == bytes.size()) {
        return bytes;
    }
    std::string text(bytes, 0, pos);
    while (pos < bytes.size()) {
        const Decoded c = decode(bytes, pos);
        if (c.valid) {
            text.append(bytes, pos, c.length);
        } else {
            text += replacement_bytes;
        }
        pos += c.length;
    }
    return text;
}

std::size_t encode(char32_t code, char* out) {
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    const std::size_t continuations = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    constexpr unsigned char lead_marks[] = {0, 0xC0, 0xE0, 0xF0};
    out[0] = static_cast<char>(lead_marks[continuations] | (code >> (6 * continuations)));
    for (std::size_t i = 1; i <= continuations; ++i) {
        out[i] = static_cast<char>(0x80 | ((code >> (6 * (continuations - i))) & 0x3F));
    }
    return continuations + 1;
}

std::size_t complete_prefix(std::string_view text) {
    // A cut-short character starts at most three bytes from the end; its maximal subpart is
    // ill-formed only for want of bytes when it runs to the end of the text.
    const std::size_t size = text.size();
    for (std::size_t pos = size > 3 ? size - 3 : 0; pos < size; ++pos) {
        if (classify_lead(static_cast<unsigned char>(text[pos])).continuations == 0) {
            continue;
        }
        const Decoded c = decode(text, pos);
        if (!c.valid && pos + c.length == size) {
            return pos;
        }
    }
    return size;
}

std::string WholeCharacters::add(std::string_view bytes) {
    pending_ += bytes;
    const std::size_t whole = complete_prefix(pending_);
    std::string text = replace_invalid(pending_.substr(0, whole));
    pending_.erase(0, whole);
    return text;
}

std::string WholeCharacters::finish() {
    return replace_invalid(std::exchange(pending_, {}));
}

}  // namespace kestrune::utf8
