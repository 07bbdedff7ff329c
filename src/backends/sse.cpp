#include "backends/sse.hpp"

#include <cstdint>
#include <utility>

#include "core/json.hpp"
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

// The step of the path a value starting at each depth can be, the kind of container that
// step must be for the path to go on through it, and the key that leads to it.
constexpr Role path_roles[] = {Role::event, Role::choices, Role::choice, Role::delta,
                               Role::content};
constexpr Kind path_kinds[] = {Kind::object, Kind::array, Kind::object, Kind::object,
                               Kind::missing};
constexpr std::string_view path_keys[] = {"", "choices", "", "delta", "content"};
constexpr std::size_t choices_depth = 2;

// Takes nlohmann's SAX events for one event text, keeping only the facts on the path to the
// piece. Events arrive once per generated token, so no document is built.
class EventReader {
  public:
    explicit EventReader(EventFacts& facts) : facts_(facts) {}

    bool null() { return scalar(Kind::null); }
    bool boolean(bool /*value*/) { return scalar(Kind::other); }
    bool number_integer(std::int64_t /*value*/) { return scalar(Kind::other); }
    bool number_unsigned(std::uint64_t /*value*/) { return scalar(Kind::other); }
    bool number_float(double /*value*/, const std::string& /*text*/) { return scalar(Kind::other); }
    bool binary(Json::binary_t& /*value*/) { return scalar(Kind::other); }

    bool string(std::string& text) {
        if (start_value(Kind::string) == Role::content) {
            facts_.content_text = std::move(text);
        }
        return true;
    }

    bool start_object(std::size_t /*size*/) { return open(Kind::object); }
    bool start_array(std::size_t /*size*/) { return open(Kind::array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& name) {
        key_on_path_ = on_path_ == depth_ && name == path_keys[depth_];
        return true;
    }

    bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                     const Json::exception& /*error*/) {
        return false;
    }

  private:
    // Events nest a few levels; deeper nesting is refused as a broken payload.
    static constexpr std::size_t max_depth = 256;

    // The role of the value starting now: a step of the path only when its container is on
    // the path and the key (or, in `choices`, the position) leads on.
    Role role_of_next_value() {
        if (on_path_ != depth_) {
            return Role::other;
        }
        if (depth_ == choices_depth) {
            return facts_.choices_count++ == 0 ? Role::choice : Role::other;
        }
        return depth_ == 0 || key_on_path_ ? path_roles[depth_] : Role::other;
    }

    Role start_value(Kind kind) {
        const Role role = role_of_next_value();
        record(role, kind);
        return role;
    }

    bool scalar(Kind kind) {
        start_value(kind);
        return true;
    }

    bool open(Kind kind) {
        if (depth_ == max_depth) {
            return false;
        }
        const Role role = start_value(kind);
        ++depth_;
        if (role != Role::other && path_kinds[depth_ - 1] == kind) {
            on_path_ = depth_;
        }
        return true;
    }

    bool close() {
        if (on_path_ == depth_) {
            --on_path_;
        }
        --depth_;
        return true;
    }

    void record(Role role, Kind kind) {
        switch (role) {
            case Role::event:
                facts_.event = kind;
                break;
            case Role::choices:
                // A repeated key replaces what an earlier one said.
                facts_.choices = kind;
                facts_.choices_count = 0;
                facts_.choice = facts_.delta = facts_.content = Kind::missing;
                break;
            case Role::choice:
                facts_.choice = kind;
                facts_.delta = facts_.content = Kind::missing;
                break;
            case Role::delta:
                facts_.delta = kind;
                facts_.content = Kind::missing;
                break;
            case Role::content:
                facts_.content = kind;
                break;
            case Role::other:
                break;
        }
    }

    EventFacts& facts_;
    std::size_t depth_ = 0;    // containers open
    std::size_t on_path_ = 0;  // of those, how many (from the outside) are steps of the path
    bool key_on_path_ = false;
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
    const std::string_view payload = trimmed.substr(data_prefix.size());
    EventFacts facts;
    EventReader reader(facts);
    // The parser also refuses bytes that are not UTF-8, so such a payload is broken too.
    if (!Json::sax_parse(payload.begin(), payload.end(), &reader)) {
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
