#include "kestrune/core/messages.hpp"

#include <nlohmann/json.hpp>

namespace kestrune {

Json openai_tool_calls(const std::vector<ToolCall>& calls, bool indexed) {
    Json list = Json::array();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const ToolCall& call = calls[i];
        Json entry = Json::object();
        if (indexed) {
            entry["index"] = i;
        }
        entry["id"] = call.id;
        entry["type"] = "function";
        entry["function"] = {{"name", call.name}, {"arguments", call.arguments}};
        list.push_back(std::move(entry));
    }
    return list;
}

}  // namespace kestrune
