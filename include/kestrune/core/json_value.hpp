// JSON in the public headers without the weight of the JSON library: `Json` is only declared
// here, and `JsonValue` carries one value inside a public record. Include
// <nlohmann/json.hpp> to look inside either.
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>

#include "kestrune/core/export.hpp"

namespace kestrune {

// Keys keep their insertion order.
using Json = nlohmann::ordered_json;

// A JSON value with value semantics, holding its Json out of line.
class KESTRUNE_API JsonValue {
  public:
    JsonValue();            // an empty object
    JsonValue(Json value);  // NOLINT(google-explicit-constructor): records take Json as-is
    JsonValue(const JsonValue& other);
    JsonValue(JsonValue&& other);
    JsonValue& operator=(const JsonValue& other);
    JsonValue& operator=(JsonValue&& other) noexcept;
    ~JsonValue();

    const Json& operator*() const { return *value_; }
    Json& operator*() { return *value_; }
    const Json* operator->() const { return value_.get(); }
    Json* operator->() { return value_.get(); }

    friend KESTRUNE_API bool operator==(const JsonValue& left, const JsonValue& right);

  private:
    std::unique_ptr<Json> value_;
};

}  // namespace kestrune
