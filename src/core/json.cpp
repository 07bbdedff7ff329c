#include "core/json.hpp"

#include <unordered_set>
#include <utility>
#include <vector>

#include "kestrune/core/errors.hpp"

namespace kestrune {

namespace {

// Builds the parsed value in place, like nlohmann's own DOM builder, but appends object
// members without a lookup. Pointers on the stack stay valid: only the innermost open
// container grows.
class AppendingBuilder {
  public:
    AppendingBuilder(Json& root, std::size_t max_depth) : root_(root), max_depth_(max_depth) {}

    bool null() { return place(nullptr) != nullptr; }
    bool boolean(bool value) { return place(value) != nullptr; }
    bool number_integer(Json::number_integer_t value) { return place(value) != nullptr; }
    bool number_unsigned(Json::number_unsigned_t value) { return place(value) != nullptr; }
    bool number_float(Json::number_float_t value, const std::string&) {
        return place(value) != nullptr;
    }
    bool string(std::string& value) { return place(std::move(value)) != nullptr; }
    bool binary(Json::binary_t& value) { return place(Json::binary(std::move(value))) != nullptr; }
    bool start_object(std::size_t) { return open(Json::object()); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& name) {
        Open& object = open_.back();
        auto& members = object.value->get_ref<Json::object_t&>();
        if (object.keys.insert(name).second) {
            static_cast<Json::object_t::Container&>(members).emplace_back(std::move(name), nullptr);
            member_ = &members.back().second;
        } else {
            member_ = &members[name];  // a repeated key: rare, found by search
        }
        return true;
    }

    [[noreturn]] bool parse_error(std::size_t, const std::string&,
                                  const nlohmann::detail::exception& error) {
        if (error.id >= 400) {
            throw static_cast<const Json::out_of_range&>(error);
        }
        throw static_cast<const Json::parse_error&>(error);
    }

  private:
    struct Open {
        Json* value;
        std::unordered_set<std::string> keys;  // of an object
    };

    Json* place(Json value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& parent = *open_.back().value;
        if (parent.is_array()) {
            auto& items = parent.get_ref<Json::array_t&>();
            items.push_back(std::move(value));
            return &items.back();
        }
        *member_ = std::move(value);
        return member_;
    }

    // Deeper than the limit, parsing stops: every use of a value (copying, printing, freeing
    // it) recurses into it, and a hostile nesting would overflow the stack.
    bool open(Json container) {
        if (open_.size() >= max_depth_) {
            return false;
        }
        open_.push_back({place(std::move(container)), {}});
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    Json& root_;
    std::size_t max_depth_;
    std::vector<Open> open_;
    Json* member_ = nullptr;
};

}  // namespace

Json parse_answer(std::string_view text, bool allow_exceptions, std::size_t max_depth) {
    Json value;
    AppendingBuilder builder(value, max_depth);
    try {
        if (!Json::sax_parse(text, &builder)) {
            if (allow_exceptions) {
                throw InvalidValueError("JSON nested deeper than " + std::to_string(max_depth) +
                                        " levels");
            }
            return Json(Json::value_t::discarded);
        }
    } catch (const Json::exception&) {
        if (allow_exceptions) {
            throw;
        }
        return Json(Json::value_t::discarded);
    }
    return value;
}

std::string dump_ascii(const Json& value) {
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

Json messages_to_json(const Messages& messages) {
    Json list = Json::array();
    for (const Message& message : messages) {
        Json object = Json::object();
        for (const auto& [key, value] : message.fields()) {
            object[key] = value;
        }
        list.push_back(std::move(object));
    }
    return list;
}

JsonValue::JsonValue() : value_(std::make_unique<Json>(Json::object())) {}
JsonValue::JsonValue(Json value) : value_(std::make_unique<Json>(std::move(value))) {}
JsonValue::JsonValue(const JsonValue& other) : value_(std::make_unique<Json>(*other)) {}
// A moved-from value is an empty object again, never a null pointer.
JsonValue::JsonValue(JsonValue&& other) : JsonValue() {
    value_.swap(other.value_);
}
JsonValue& JsonValue::operator=(const JsonValue& other) {
    *value_ = *other;
    return *this;
}
JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
    value_.swap(other.value_);
    return *this;
}
JsonValue::~JsonValue() = default;

bool operator==(const JsonValue& left, const JsonValue& right) {
    return *left == *right;
}

}  // namespace kestrune
