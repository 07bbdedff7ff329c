#include "kestrune/tools/search.hpp"

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/net/http.hpp"
#include "platform/python/python.hpp"

namespace kestrune::tools {

namespace {

namespace http = platform::http;

constexpr std::chrono::milliseconds instant_answer_timeout{10'000};

ToolResult failure(std::string message) {
    return ToolResult{.success = false, .content = "", .error = std::move(message)};
}

// "<number>. " followed by the lines, each further line on its own line indented by three
// spaces.
std::string numbered_entry(long long number, std::initializer_list<std::string_view> lines) {
    std::string entry = std::to_string(number) + ".";
    std::string_view separator = " ";
    for (const auto line : lines) {
        entry += separator;
        entry += line;
        separator = "\n   ";
    }
    return entry;
}

std::string join_entries(const std::vector<std::string>& entries) {
    std::string joined;
    for (const auto& entry : entries) {
        if (!joined.empty()) {
            joined += "\n\n";
        }
        joined += entry;
    }
    return joined;
}

// The text form of a value: text as it is, anything else as JSON writes it; "" when absent.
std::string text_field(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return "";
    }
    auto found = object.find(key);
    if (found == object.end()) {
        return "";
    }
    return found->is_string() ? found->get<std::string>() : found->dump();
}

// Whether a value counts as given: not null, false, zero or empty.
bool given(const Json& value) {
    if (value.is_null()) {
        return false;
    }
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    if (value.is_number()) {
        return value.get<double>() != 0.0;
    }
    if (value.is_string()) {
        return !value.get_ref<const std::string&>().empty();
    }
    return !value.empty();  // a list or an object
}

// The first `count` elements, counted from the end when negative, as a slice [:count] is.
std::size_t leading_count(std::size_t size, long long count) {
    const auto length = static_cast<long long>(size);
    return static_cast<std::size_t>(count >= 0 ? std::min(count, length)
                                               : std::max(0LL, length + count));
}

Json fetch_instant_answer(const std::string& url) {
    http::Request request;
    request.url = url;
    request.headers = {{"User-Agent", "Kestrune/0.9"}};
    request.connect_timeout = instant_answer_timeout;
    request.idle_timeout = instant_answer_timeout;
    const http::Response response = http::fetch(request);
    Json answer = parse_answer(response.body);
    if (!answer.is_object()) {
        throw InvalidValueError("the instant answer is not a JSON object");
    }
    return answer;
}

std::vector<std::string> instant_answer_entries(const Json& answer, long long max_results) {
    std::vector<std::string> entries;
    if (given(answer.value("Abstract", Json()))) {
        if (!answer.contains("Heading")) {
            throw InvalidValueError("the instant answer has an Abstract but no Heading");
        }
        entries.push_back(
            numbered_entry(1, {text_field(answer, "Heading"), text_field(answer, "Abstract"),
                               "URL: " + text_field(answer, "AbstractURL")}));
    }
    const Json topics = answer.value("RelatedTopics", Json::array());
    if (!topics.is_array()) {
        throw InvalidValueError("the instant answer's RelatedTopics is not a list");
    }
    // Every topic examined takes a number, also one skipped for lack of "Text" (a group of
    // topics), so the numbers shown can have gaps.
    const auto first_number = static_cast<long long>(entries.size()) + 1;
    const std::size_t examined = leading_count(topics.size(), max_results);
    for (std::size_t index = 0; index < examined; ++index) {
        const Json& topic = topics[index];
        if (topic.is_object() && topic.contains("Text")) {
            entries.push_back(numbered_entry(
                first_number + static_cast<long long>(index),
                {text_field(topic, "Text"), "URL: " + text_field(topic, "FirstURL")}));
        }
    }
    return entries;
}

}  // namespace

WebSearchTool::WebSearchTool(std::string endpoint) : endpoint_(std::move(endpoint)) {}

std::string WebSearchTool::name() const {
    return "web_search";
}

std::string WebSearchTool::description() const {
    return "Search the internet for current information. Use when the user asks about recent "
           "events, facts you're not sure about, or anything that needs up-to-date information.";
}

Json WebSearchTool::parameters() const {
    Json query = {{"type", "string"}, {"description", "The search query"}};
    Json max_results = {{"type", "integer"},
                        {"description", "Maximum number of results (default 5)"},
                        {"default", 5}};
    Json properties = Json::object();
    properties["query"] = std::move(query);
    properties["max_results"] = std::move(max_results);
    Json schema = Json::object();
    schema["type"] = "object";
    schema["properties"] = std::move(properties);
    schema["required"] = Json::array({"query"});
    return schema;
}

ToolResult WebSearchTool::execute(const Json& arguments) {
    const std::string query = text_argument(arguments, "query", "");
    const long long max_results = integer_argument(arguments, "max_results", 5);
    if (query.empty()) {
        return failure("No query provided");
    }
    // Only a missing library leads to the fallback; a library that fails to load otherwise
    // is the caller's to see.
    try {
        platform::python::require("duckduckgo_search");
    } catch (const MissingComponentError&) {
        return _fallback_search(query, max_results);
    }
    return _ddgs_search(query, max_results);
}

ToolResult WebSearchTool::_ddgs_search(const std::string& query, long long max_results) const {
    try {
        Json results = platform::python::ddgs_text(query, max_results);
        if (results.empty()) {
            return ToolResult{.content = "No results found.",
                              .data = Json{{"results", Json::array()}}};
        }
        std::vector<std::string> entries;
        long long number = 0;
        for (const Json& result : results) {
            entries.push_back(
                numbered_entry(++number, {text_field(result, "title"), text_field(result, "body"),
                                          "URL: " + text_field(result, "href")}));
        }
        Json data = Json::object();
        data["results"] = std::move(results);
        return ToolResult{.content = join_entries(entries), .data = std::move(data)};
    } catch (const std::exception& error) {
        return failure(error.what());
    }
}

ToolResult WebSearchTool::_fallback_search(const std::string& query, long long max_results) const {
    try {
        const std::string url = endpoint_ + "?q=" + platform::http::percent_encode(query, true) +
                                "&format=json&no_redirect=1";
        const auto entries = instant_answer_entries(fetch_instant_answer(url), max_results);
        if (entries.empty()) {
            return ToolResult{.content = "Search results for: " + query +
                                         " (install duckduckgo-search for better results)"};
        }
        return ToolResult{.content = join_entries(entries)};
    } catch (const std::exception& error) {
        return failure(error.what());
    }
}

}  // namespace kestrune::tools
