#include "core/json.hpp"

namespace kestrune {

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
