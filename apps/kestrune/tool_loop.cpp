#include "tool_loop.hpp"

#include <nlohmann/json.hpp>
#include <utility>

#include "kestrune/core/errors.hpp"
#include "kestrune/tools/search.hpp"

namespace kestrune::cli {

void ToolBox::add(std::unique_ptr<tools::Tool> tool) {
    std::string name = tool->name();
    tools_[std::move(name)] = std::move(tool);
}

std::vector<ToolSpec> ToolBox::specs() const {
    std::vector<ToolSpec> specs;
    for (const auto& [name, tool] : tools_) {
        specs.push_back({name, tool->description(), tool->parameters().dump()});
    }
    return specs;
}

std::string ToolBox::run(const ToolCall& call) {
    const auto found = tools_.find(call.name);
    if (found == tools_.end()) {
        std::string known;
        for (const auto& [name, tool] : tools_) {
            known += (known.empty() ? "" : ", ") + name;
        }
        return "Error: there is no tool named '" + call.name + "' (the tools: " + known + ")";
    }
    const auto arguments = Json::parse(call.arguments, nullptr, false);
    if (!arguments.is_object()) {
        return "Error: the arguments of " + call.name + " must be a JSON object, not " +
               call.arguments;
    }
    try {
        const tools::ToolResult result = found->second->execute(arguments);
        if (!result.success) {
            return "Error: " + result.error.value_or(call.name + " failed");
        }
        return result.content;
    } catch (const std::exception& failure) {
        return "Error: " + std::string(failure.what());
    }
}

ToolBox make_toolbox(const std::vector<std::string>& names) {
    ToolBox box;
    for (const std::string& name : names) {
        if (name != "web_search") {
            throw InvalidValueError("unknown tool '" + name + "' (web_search)");
        }
        box.add(std::make_unique<tools::WebSearchTool>());
    }
    return box;
}

Message assistant_message(const ChatReply& reply) {
    Message message("assistant", reply.content);
    if (reply.tool_calls.empty()) {
        return message;
    }
    message.set("tool_calls", openai_tool_calls(reply.tool_calls).dump());
    return message;
}

ChatReply answer_with_tools(Messages& messages, const ReplyFunction& reply, ToolBox& tools,
                            std::ostream& log, int max_rounds) {
    for (int round = 1;; ++round) {
        ChatReply answer = reply(messages);
        if (answer.tool_calls.empty()) {
            return answer;
        }
        if (round > max_rounds) {
            log << "  (the model kept calling tools; stopped after " << max_rounds << " rounds)"
                << std::endl;
            return answer;
        }
        // Formats without call identifiers get ours, so each result names its call.
        for (std::size_t i = 0; i < answer.tool_calls.size(); ++i) {
            ToolCall& call = answer.tool_calls[i];
            if (call.id.empty()) {
                call.id = "call_" + std::to_string(round) + "_" + std::to_string(i + 1);
            }
        }
        messages.push_back(assistant_message(answer));
        for (const ToolCall& call : answer.tool_calls) {
            log << "  [" << call.name << "] " << call.arguments << std::endl;
            messages.push_back({{"role", "tool"},
                                {"content", tools.run(call)},
                                {"tool_call_id", call.id},
                                {"name", call.name}});
        }
    }
}

}  // namespace kestrune::cli
