#include "kestrune/tools/search.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrune/core/errors.hpp"
#include "platform/python/python.hpp"
#include "support/loopback_server.hpp"
#include "support/python_packages.hpp"

namespace python = kestrune::platform::python;
using kestrune::InvalidValueError;
using kestrune::Json;
using kestrune::testing::LoopbackServer;
using kestrune::testing::PythonPackages;
using kestrune::tools::ToolResult;
using kestrune::tools::WebSearchTool;

namespace {

// A local instant-answer API: answers every request with the status and body set last, and
// keeps each request's target and User-Agent.
class InstantAnswerServer {
  public:
    std::string endpoint() const { return server_.url("/"); }
    void answer(int status, std::string body) {
        std::lock_guard lock(mutex_);
        status_ = status;
        body_ = std::move(body);
    }
    std::vector<std::string> targets() const {
        std::lock_guard lock(mutex_);
        return targets_;
    }
    std::vector<std::string> user_agents() const {
        std::lock_guard lock(mutex_);
        return user_agents_;
    }

  private:
    void serve(const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex_);
        targets_.push_back(request.target);
        user_agents_.push_back(request.get_header_value("User-Agent"));
        response.status = status_;
        response.set_content(body_, "application/json");
    }

    mutable std::mutex mutex_;
    int status_ = 200;
    std::string body_ = "{}";
    std::vector<std::string> targets_;
    std::vector<std::string> user_agents_;
    LoopbackServer server_{[this](httplib::Server& server) {
        server.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
            serve(request, response);
        });
    }};
};

const char* const python_answer = R"({
  "Heading": "Python",
  "Abstract": "Python is a programming language.",
  "AbstractURL": "https://en.wikipedia.org/wiki/Python",
  "RelatedTopics": [
    {"Text": "Python docs", "FirstURL": "https://docs.python.org/"},
    {"Name": "Implementations", "Topics": [{"Text": "CPython", "FirstURL": "https://c.example/"}]},
    {"Text": "PyPI"}
  ]
})";

const std::string abstract_entry =
    "1. Python\n   Python is a programming language.\n   URL: https://en.wikipedia.org/wiki/Python";

// The instant-answer path, whatever the machine has installed: the DDGS client is made to
// look missing for the test's duration.
class FallbackSearch : public ::testing::Test {
  protected:
    ToolResult search(const std::string& query, long long max_results = 5) {
        return tool.execute(Json{{"query", query}, {"max_results", max_results}});
    }

    python::SimulatedAbsence no_ddgs;
    InstantAnswerServer server;
    WebSearchTool tool{server.endpoint()};
};

TEST_F(FallbackSearch, NumbersAbstractAndTopicsLeavingGapsForGroups) {
    server.answer(200, python_answer);
    const ToolResult result = search("python");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.content, abstract_entry +
                                  "\n\n2. Python docs\n   URL: https://docs.python.org/"
                                  "\n\n4. PyPI\n   URL: ");
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.data, std::nullopt);
    EXPECT_EQ(server.targets(), std::vector<std::string>{"/?q=python&format=json&no_redirect=1"});
    EXPECT_EQ(server.user_agents(), std::vector<std::string>{"Kestrune/0.9"});

    // Without an abstract the topics are numbered from 1.
    server.answer(200, R"({"Abstract": "", "RelatedTopics": [{"Text": "A", "FirstURL": "u"}]})");
    EXPECT_EQ(search("a").content, "1. A\n   URL: u");
}

TEST_F(FallbackSearch, MaxResultsBoundsTheTopicsExamined) {
    server.answer(200, python_answer);
    EXPECT_EQ(search("python", 0).content, abstract_entry);
    // The group takes number 3 and is skipped; PyPI is not examined.
    EXPECT_EQ(search("python", 2).content,
              abstract_entry + "\n\n2. Python docs\n   URL: https://docs.python.org/");
    // Negative: all but that many at the end.
    EXPECT_EQ(search("python", -2).content,
              abstract_entry + "\n\n2. Python docs\n   URL: https://docs.python.org/");
    EXPECT_EQ(search("python", -3).content, abstract_entry);
}

TEST_F(FallbackSearch, NoResultsRepeatTheQueryUnencoded) {
    server.answer(200, R"({"Abstract": "", "Heading": "", "RelatedTopics": []})");
    const ToolResult result = search("rust & go lang");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.content,
              "Search results for: rust & go lang (install duckduckgo-search for better results)");
    EXPECT_EQ(result.data, std::nullopt);

    EXPECT_TRUE(search("caf\xC3\xA9 a/b_c.d-e~f+g?").success);
    EXPECT_EQ(
        server.targets(),
        (std::vector<std::string>{"/?q=rust%20%26%20go%20lang&format=json&no_redirect=1",
                                  "/?q=caf%C3%A9%20a/b_c.d-e~f%2Bg%3F&format=json&no_redirect=1"}));
}

TEST_F(FallbackSearch, FailuresBecomeUnsuccessfulResults) {
    const auto expect_failure = [this](const std::string& why) {
        const ToolResult result = search("python");
        EXPECT_FALSE(result.success) << why;
        EXPECT_EQ(result.content, "") << why;
        ASSERT_TRUE(result.error.has_value()) << why;
        EXPECT_FALSE(result.error->empty()) << why;
        EXPECT_EQ(result.data, std::nullopt) << why;
    };
    server.answer(503, R"({"Abstract": "would be fine"})");
    expect_failure("error status");
    server.answer(200, "{\"Abstract\": \"cut off");
    expect_failure("malformed JSON");
    server.answer(200, R"({"Abstract": "no heading"})");
    expect_failure("abstract without heading");
    server.answer(200, R"(["not", "an", "object"])");
    expect_failure("not an object");

    WebSearchTool unreachable("http://127.0.0.1:1/");
    const ToolResult refused = unreachable._fallback_search("python", 5);
    EXPECT_FALSE(refused.success);
    EXPECT_TRUE(refused.error.has_value());
}

TEST_F(FallbackSearch, ArgumentsAsAModelPassesThem) {
    server.answer(200, R"({"Abstract": "", "RelatedTopics": [{"Text": "A"}, {"Text": "B"}]})");
    const ToolResult no_query = tool.execute(Json::object());
    EXPECT_EQ(no_query,
              (ToolResult{.success = false, .content = "", .error = "No query provided"}));
    EXPECT_EQ(tool.execute(Json{{"query", ""}}), no_query);
    EXPECT_TRUE(server.targets().empty()) << "no request without a query";

    // Unknown keys are ignored; a fractional count is cut to a whole one.
    EXPECT_EQ(tool.execute(Json{{"query", "x"}, {"maxresults", 9}, {"max_results", 1.9}}).content,
              "1. A\n   URL: ");
    EXPECT_EQ(tool.execute(Json{{"query", "x"}}).content, "1. A\n   URL: \n\n2. B\n   URL: ");

    EXPECT_THROW(tool.execute(Json{{"query", 42}}), InvalidValueError);
    EXPECT_THROW(tool.execute(Json{{"query", nullptr}}), InvalidValueError);
    EXPECT_THROW(tool.execute(Json{{"query", "x"}, {"max_results", "3"}}), InvalidValueError);
    EXPECT_THROW(tool.execute(Json::array()), InvalidValueError);
}

TEST(ToolResultRecord, AsJsonAbsentErrorAndDataAreNull) {
    EXPECT_EQ(kestrune::Json(ToolResult{.content = "1. x"}).dump(),
              R"({"success":true,"content":"1. x","error":null,"data":null})");
    const ToolResult failed{.success = false,
                            .error = "timed out",
                            .data = kestrune::Json{{"results", kestrune::Json::array()}}};
    EXPECT_EQ(kestrune::Json(failed).dump(),
              R"({"success":false,"content":"","error":"timed out","data":{"results":[]}})");
}

TEST(WebSearchTool, DescribesItselfWithAFreshSchema) {
    WebSearchTool tool;
    EXPECT_EQ(tool.name(), "web_search");
    EXPECT_EQ(tool.description(),
              "Search the internet for current information. Use when the user asks about recent "
              "events, facts you're not sure about, or anything that needs up-to-date "
              "information.");
    Json schema = tool.parameters();
    EXPECT_EQ(schema.dump(),
              R"js({"type":"object","properties":{"query":{"type":"string","description":)js"
              R"js("The search query"},"max_results":{"type":"integer","description":)js"
              R"js("Maximum number of results (default 5)","default":5}},)js"
              R"js("required":["query"]})js");
    schema["required"].push_back("max_results");
    EXPECT_EQ(tool.parameters()["required"], Json::array({"query"}));
}

TEST(WebSearchTool, WithoutPythonTakesTheFallback) {
    if (python::compiled_in()) {
        GTEST_SKIP() << "this build embeds Python; the fallback tests simulate its absence";
    }
    InstantAnswerServer server;
    server.answer(200, python_answer);
    WebSearchTool tool(server.endpoint());
    EXPECT_EQ(tool.execute(Json{{"query", "python"}, {"max_results", 0}}).content, abstract_entry);
    EXPECT_EQ(server.targets().size(), 1U);
}

// A duckduckgo_search stand-in: "nothing" finds nothing, "raise" fails, anything else finds
// up to two results.
const PythonPackages& ddgs_stub() {
    using Files = std::vector<std::pair<std::string, std::string>>;
    static const PythonPackages packages(Files{{"duckduckgo_search/__init__.py", R"PY(
from stub_log import record

RESULTS = [
    {"title": "First", "body": "One body", "href": "https://one.example/"},
    {"title": "Second", "href": "https://two.example/", "rank": 2},
]


class DDGS:
    def __enter__(self):
        record("enter")
        return self

    def __exit__(self, kind, value, trace):
        record("exit", failed=kind is not None)
        return False

    def text(self, query, max_results=None):
        record("text", query=query, max_results=max_results)
        if query == "raise":
            raise RuntimeError("rate limited")
        found = [] if query == "nothing" else RESULTS[:max_results]
        return iter(found)
)PY"}});
    return packages;
}

class DdgsSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!python::compiled_in()) {
            GTEST_SKIP() << "built without embedded Python";
        }
        ddgs_stub().clear_calls();
    }

    InstantAnswerServer server;
    WebSearchTool tool{server.endpoint()};
};

TEST_F(DdgsSearch, NumbersTheClientsResultsAndKeepsThemAsData) {
    const ToolResult result = tool.execute(Json{{"query", "two things"}, {"max_results", 2}});
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.content,
              "1. First\n   One body\n   URL: https://one.example/\n\n"
              "2. Second\n   \n   URL: https://two.example/");
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.data, Json::parse(R"({"results": [
        {"title": "First", "body": "One body", "href": "https://one.example/"},
        {"title": "Second", "href": "https://two.example/", "rank": 2}]})"));

    const auto calls = ddgs_stub().calls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[0]["call"], "enter");
    EXPECT_EQ(calls[1],
              Json::parse(R"({"call": "text", "query": "two things", "max_results": 2})"));
    EXPECT_EQ(calls[2], Json::parse(R"({"call": "exit", "failed": false})"));
    EXPECT_TRUE(server.targets().empty()) << "the instant-answer API is not asked";
}

TEST_F(DdgsSearch, NothingFoundAndFailingClient) {
    const ToolResult none = tool.execute(Json{{"query", "nothing"}});
    EXPECT_EQ(none, (ToolResult{.content = "No results found.",
                                .data = Json{{"results", Json::array()}}}));

    const ToolResult failed = tool.execute(Json{{"query", "raise"}, {"max_results", 0}});
    EXPECT_EQ(failed, (ToolResult{.success = false, .content = "", .error = "rate limited"}));
    const auto exits = ddgs_stub().calls_named("exit");
    ASSERT_EQ(exits.size(), 2U);
    EXPECT_EQ(exits[1]["failed"], true) << "the client is closed on failure too";
    EXPECT_EQ(ddgs_stub().calls_named("text")[1]["max_results"], 0);
    EXPECT_TRUE(server.targets().empty()) << "a failing client is no reason for the fallback";
}

}  // namespace
