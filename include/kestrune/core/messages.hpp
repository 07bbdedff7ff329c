// Chat messages: maps from text to text (usually "role" and "content"), passed to runtimes
// unchanged. Keys keep their insertion order, and keys beyond the two survive. And the parts a
// reply is read into.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"

namespace kestrune {

class KESTRUNE_API Message {
  public:
    using Field = std::pair<std::string, std::string>;

    Message() = default;
    Message(std::string role, std::string content)
        : fields_{{"role", std::move(role)}, {"content", std::move(content)}} {}
    Message(std::initializer_list<Field> fields) : fields_(fields) {}

    // The value of `key`, or "" when the message has none.
    const std::string& operator[](std::string_view key) const {
        static const std::string empty;
        const Field* field = find(key);
        return field != nullptr ? field->second : empty;
    }
    std::optional<std::string> get(std::string_view key) const {
        const Field* field = find(key);
        return field != nullptr ? std::optional<std::string>(field->second) : std::nullopt;
    }
    // Sets `key`, keeping its place when it exists and appending it otherwise.
    void set(std::string key, std::string value) {
        for (auto& field : fields_) {
            if (field.first == key) {
                field.second = std::move(value);
                return;
            }
        }
        fields_.emplace_back(std::move(key), std::move(value));
    }

    const std::string& role() const { return (*this)["role"]; }
    const std::string& content() const { return (*this)["content"]; }
    const std::vector<Field>& fields() const { return fields_; }

    bool operator==(const Message&) const = default;

  private:
    const Field* find(std::string_view key) const {
        for (const auto& field : fields_) {
            if (field.first == key) {
                return &field;
            }
        }
        return nullptr;
    }

    std::vector<Field> fields_;
};

using Messages = std::vector<Message>;

// A tool offered to a model: `parameters` is the JSON schema of its arguments, as text.
struct KESTRUNE_API ToolSpec {
    std::string name;
    std::string description;
    std::string parameters = R"({"type":"object","properties":{}})";

    bool operator==(const ToolSpec&) const = default;
};

// A call of a tool the model asked for: `arguments` is a JSON object, as text.
struct KESTRUNE_API ToolCall {
    std::string name;
    std::string arguments;
    std::string id;

    bool operator==(const ToolCall&) const = default;
};

// Calls in OpenAI's JSON form, arguments as JSON text:
// [{"id": …, "type": "function", "function": {"name": …, "arguments": "…"}}].
// `indexed` opens each call with its "index" in the list, as stream chunks carry it.
KESTRUNE_API Json openai_tool_calls(const std::vector<ToolCall>& calls, bool indexed = false);

// A model's reply read in its parts: the answer, the reasoning that came before it (models
// that think first), and the tool calls it asked for.
struct KESTRUNE_API ChatReply {
    std::string content;
    std::string reasoning;
    std::vector<ToolCall> tool_calls;

    bool operator==(const ChatReply&) const = default;
};

}  // namespace kestrune
