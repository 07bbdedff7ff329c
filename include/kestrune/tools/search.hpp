// WebSearchTool: answers a model's query with a short numbered text of web results, through
// the duckduckgo_search library's DDGS client when it is installed, and otherwise through
// DuckDuckGo's instant-answer API, which needs nothing but HTTP.
#pragma once

#include <string>
#include <string_view>

#include "kestrune/core/export.hpp"
#include "kestrune/core/json_value.hpp"
#include "kestrune/tools/base.hpp"

namespace kestrune::tools {

class KESTRUNE_API WebSearchTool : public Tool {
  public:
    static constexpr std::string_view default_endpoint = "https://api.duckduckgo.com/";

    // `endpoint`: where the instant-answer API is asked (tests point it at a local server).
    explicit WebSearchTool(std::string endpoint = std::string(default_endpoint));

    std::string name() const override;
    std::string description() const override;
    // A new schema object on every call, keys in a fixed order.
    Json parameters() const override;
    // Arguments: "query" (text, default "") and "max_results" (integer, default 5).
    ToolResult execute(const Json& arguments) override;

    // The instant-answer search, used when the DDGS client is not installed.
    KESTRUNE_LOCAL ToolResult _fallback_search(const std::string& query,
                                               long long max_results) const;

  private:
    KESTRUNE_LOCAL ToolResult _ddgs_search(const std::string& query, long long max_results) const;

    std::string endpoint_;
};

}  // namespace kestrune::tools
