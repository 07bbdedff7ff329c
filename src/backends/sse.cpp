#include "backends/sse.hpp"

#include <cstdint>
#include <utility>

#include "core/text.hpp"
#include "kestrune/core/errors.hpp"

namespace kestrune::backends::sse {

namespace {

constexpr std::string_view data_prefix = "data: ";
constexpr std::string_view done_marker = "data: [DONE]";

// What a value on the path to the piece turned out to be.
enum class Kind { missing, null, string, object, array, other };

// The facts about one event that decide its piece: the event, its `choices`, the first
// choice, that choice's `delta`, and the delta's `content`.
struct EventFacts {
    Kind event = Kind::missing;
    Kind choices = Kind::missing;
    std::size_t choices_count = 0;
    Kind choice = Kind::missing;
    Kind delta = Kind::missing;
    Kind content = Kind::missing;
    std::string content_text;
};

// Where a value sits relative to the piece; everything else is only checked for validity.
enum class Role { event, choices, choice, delta, content, other };

// Reads an event's JSON text in one pass, checking the whole text and keeping only the facts
// on the path to the piece. Events arrive once per generated token, so no document is built.
class EventReader {
  public:
    explicit EventReader(std::string_view text) : text_(text) {}

    // False when the text is not one valid JSON value.
    bool read(EventFacts& facts) {
        facts_ = &facts;
        if (!value(Role::event, 0)) {
            return false;
        }
        skip_whitespace();
        return pos_ == text_.size();
    }

  private:
    // Deeper nesting is refused rather than risking the stack on hostile input.
    static constexpr int max_depth = 256;

    void skip_whitespace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }

    bool consume(char expected) {
        skip_whitespace();
        if (pos_ < text_.size() && text_[pos_] == expected) {
            ++pos_;
            return true;
        }
        return false;
    }

    void record(Role role, Kind kind) {
        switch (role) {
            case Role::event:
                facts_->event = kind;
                break;
            case Role::choices:
                // A repeated key replaces what an earlier one said.
                facts_->choices = kind;
                facts_->choices_count = 0;
                facts_->choice = facts_->delta = facts_->content = Kind::missing;
                break;
            case Role::choice:
                facts_->choice = kind;
                facts_->delta = facts_->content = Kind::missing;
                break;
            case Role::delta:
                facts_->delta = kind;
                facts_->content = Kind::missing;
                break;
            case Role::content:
                facts_->content = kind;
                break;
            case Role::other:
                break;
        }
    }

    bool value(Role role, int depth) {
        if (depth > max_depth) {
            return false;
        }
        skip_whitespace();
        if (pos_ == text_.size()) {
            return false;
        }
        switch (text_[pos_]) {
            case '{':
                record(role, Kind::object);
                return object(role, depth);
            case '[':
                record(role, Kind::array);
                return array(role, depth);
            case '"': {
                record(role, Kind::string);
                std::string* out = role == Role::content ? &facts_->content_text : nullptr;
                if (out != nullptr) {
                    out->clear();
                }
                return string(out);
            }
            case 'n':
                record(role, Kind::null);
                return literal("null");
            case 't':
                record(role, Kind::other);
                return literal("true");
            case 'f':
                record(role, Kind::other);
                return literal("false");
            default:
                record(role, Kind::other);
                return number();
        }
    }

    static Role member_role(Role parent, std::string_view key) {
        if (parent == Role::event && key == "choices") {
            return Role::choices;
        }
        if (parent == Role::choice && key == "delta") {
            return Role::delta;
        }
        if (parent == Role::delta && key == "content") {
            return Role::content;
        }
        return Role::other;
    }

    bool object(Role role, int depth) {
        ++pos_;
        if (consume('}')) {
            return true;
        }
        const bool keys_matter = role == Role::event || role == Role::choice || role == Role::delta;
        std::string key;
        do {
            skip_whitespace();
            if (pos_ == text_.size() || text_[pos_] != '"') {
                return false;
            }
            key.clear();
            if (!string(keys_matter ? &key : nullptr) || !consume(':')) {
                return false;
            }
            const Role child = keys_matter ? member_role(role, key) : Role::other;
            if (!value(child, depth + 1)) {
                return false;
            }
        } while (consume(','));
        return consume('}');
    }

    bool array(Role role, int depth) {
        ++pos_;
        if (consume(']')) {
            return true;
        }
        std::size_t index = 0;
        do {
            const Role child = role == Role::choices && index == 0 ? Role::choice : Role::other;
            if (!value(child, depth + 1)) {
                return false;
            }
            ++index;
        } while (consume(','));
        if (role == Role::choices) {
            facts_->choices_count = index;
        }
        return consume(']');
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) {
            return false;
        }
        pos_ += word.size();
        return true;
    }

    bool digits() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            ++pos_;
        }
        return pos_ > start;
    }

    bool number() {
        if (pos_ < text_.size() && text_[pos_] == '-') {
            ++pos_;
        }
        if (pos_ < text_.size() && text_[pos_] == '0') {
            ++pos_;
        } else if (!digits()) {
            return false;
        }
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            if (!digits()) {
                return false;
            }
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
                ++pos_;
            }
            if (!digits()) {
                return false;
            }
        }
        return true;
    }

    bool hex4(std::uint32_t& code) {
        if (text_.size() - pos_ < 4) {
            return false;
        }
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            code <<= 4;
            if (c >= '0' && c <= '9') {
                code |= static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                code |= static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                code |= static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    static void append_utf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // A \u escape after its backslash and "u": one code unit, or a surrogate pair.
    bool unicode_escape(std::string* out) {
        std::uint32_t code = 0;
        if (!hex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) {
            return false;
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out != nullptr) {
            append_utf8(*out, code);
        }
        return true;
    }

    bool escape(std::string* out) {
        if (pos_ == text_.size()) {
            return false;
        }
        char decoded = 0;
        switch (text_[pos_++]) {
            case '"':
                decoded = '"';
                break;
            case '\\':
                decoded = '\\';
                break;
            case '/':
                decoded = '/';
                break;
            case 'b':
                decoded = '\b';
                break;
            case 'f':
                decoded = '\f';
                break;
            case 'n':
                decoded = '\n';
                break;
            case 'r':
                decoded = '\r';
                break;
            case 't':
                decoded = '\t';
                break;
            case 'u':
                return unicode_escape(out);
            default:
                return false;
        }
        if (out != nullptr) {
            *out += decoded;
        }
        return true;
    }

    // A string at its opening quote; its decoded text goes to `out` when one is given.
    bool string(std::string* out) {
        ++pos_;
        for (;;) {
            const std::size_t start = pos_;
            while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\\' &&
                   static_cast<unsigned char>(text_[pos_]) >= 0x20) {
                ++pos_;
            }
            if (out != nullptr) {
                out->append(text_.substr(start, pos_ - start));
            }
            if (pos_ == text_.size() || static_cast<unsigned char>(text_[pos_]) < 0x20) {
                return false;
            }
            if (text_[pos_++] == '"') {
                return true;
            }
            if (!escape(out)) {
                return false;
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    EventFacts* facts_ = nullptr;
};

std::string piece_of(EventFacts& facts) {
    if (facts.event != Kind::object) {
        throw RuntimeFailure("stream event is not a JSON object");
    }
    if (facts.choices != Kind::array || facts.choices_count == 0) {
        throw RuntimeFailure("stream event has no choices");
    }
    if (facts.choice != Kind::object) {
        throw RuntimeFailure("stream event choice is not a JSON object");
    }
    if (facts.delta == Kind::missing) {
        return "";
    }
    if (facts.delta != Kind::object) {
        throw RuntimeFailure("stream event delta is not a JSON object");
    }
    if (facts.content == Kind::missing || facts.content == Kind::null) {
        return "";
    }
    if (facts.content != Kind::string) {
        throw RuntimeFailure("stream event content is not text");
    }
    return std::move(facts.content_text);
}

}  // namespace

std::string content_piece(std::string_view line, OnMalformed on_malformed) {
    const std::string_view trimmed = text::trim_whitespace(line);
    if (!trimmed.starts_with(data_prefix) || trimmed == done_marker) {
        return "";
    }
    EventFacts facts;
    if (!EventReader(trimmed.substr(data_prefix.size())).read(facts)) {
        if (on_malformed == OnMalformed::skip) {
            return "";
        }
        throw InvalidValueError("stream event is not valid JSON");
    }
    return piece_of(facts);
}

TextStream content_stream(platform::http::Request request, OnMalformed on_malformed) {
    auto answer = platform::http::ResponseStream::open(request);
    while (auto line = answer.next_line()) {
        std::string piece = content_piece(*line, on_malformed);
        if (!piece.empty()) {
            co_yield std::move(piece);
        }
    }
}

}  // namespace kestrune::backends::sse
