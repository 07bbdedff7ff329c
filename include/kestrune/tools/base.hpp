// The tool contract: something a chat front end offers to a model, which the model calls by
// name with JSON arguments and which answers with text for the model.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune::tools {

// What a tool call produced. A tool reports its own failures here rather than throwing.
struct KESTRUNE_API ToolResult {
    bool success = true;
    std::string content{};               // text for the model
    std::optional<std::string> error{};  // set with failures only
    std::optional<JsonValue> data{};     // structured results, where a tool has them

    bool operator==(const ToolResult&) const = default;
};

// The record as JSON, keys named and ordered as the fields; error and data are null when
// absent.
KESTRUNE_API void to_json(Json& json, const ToolResult& result);

class KESTRUNE_API Tool {
  public:
    virtual ~Tool() = default;

    virtual std::string name() const = 0;
    virtual std::string description() const = 0;
    // The JSON schema of the arguments execute takes.
    virtual Json parameters() const = 0;
    // Runs the tool with the model's arguments, a JSON object; keys the tool does not know are
    // ignored. An argument of the wrong type is an InvalidValueError.
    virtual ToolResult execute(const Json& arguments) = 0;

  protected:
    Tool() = default;
    Tool(const Tool&) = default;
    Tool& operator=(const Tool&) = default;
};

// Reading the arguments a model passed: the value of `key`, or `fallback` when the key is
// absent. A value of another type (null included) is an InvalidValueError naming the key.
KESTRUNE_API std::string text_argument(const Json& arguments, std::string_view key,
                                       std::string fallback);
// Whole numbers as they are; other finite numbers truncated toward zero, as int() does.
KESTRUNE_API long long integer_argument(const Json& arguments, std::string_view key,
                                        long long fallback);

}  // namespace kestrune::tools
