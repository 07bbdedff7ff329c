// Answers kept to a shape: JSON schemas turned into grammars (and the parts of a schema that
// cannot be kept refused by name), grammars followed token by token on real vocabularies,
// a constrained and a free sequence decoded side by side, vocabularies that cannot carry a
// grammar refused, tool calls that are required, and the sampling controls reaching the
// sampler. That sampled answers validate against a schema is shown with a JSON-schema
// validator in the Node.js test of the server.
#include "inference/output_format.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "inference/scheduler.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/llama/binding.hpp"
#include "support/generation.hpp"
#include "support/temp_dir.hpp"
#include "support/test_models.hpp"

namespace kestrune::inference {
namespace {

namespace kt = kestrune::testing;

// A person: nested objects, arrays, enums, bounded integers and required fields, with strings
// short enough that random weights finish an answer.
const Json kPerson = Json::parse(R"({
  "type": "object",
  "properties": {
    "name": {"type": "string", "minLength": 1, "maxLength": 12},
    "age": {"type": "integer", "minimum": 0, "maximum": 120},
    "role": {"enum": ["admin", "user", "guest"]},
    "address": {"type": "object",
                "properties": {"city": {"type": "string", "maxLength": 10},
                               "zip": {"type": "integer", "minimum": 1000, "maximum": 99999}},
                "required": ["city", "zip"]},
    "tags": {"type": "array", "items": {"type": "string", "maxLength": 6}, "maxItems": 3}
  },
  "required": ["name", "age", "role", "address"]
})");

std::string refusal(const std::string& schema) {
    try {
        static_cast<void>(output_format::grammar_of(schema));
    } catch (const InvalidValueError& error) {
        return error.what();
    }
    return "";
}

TEST(OutputFormat, ASchemaWhosePartsTheGrammarWouldDropIsRefusedNamingThePart) {
    const struct {
        const char* schema;
        std::vector<std::string> named;
    } cases[] = {
        {R"({"type":"array","items":{"type":"string"},"uniqueItems":true})",
         {"at #", "'uniqueItems'"}},
        {R"({"type":"object","properties":{"score":{"type":"number","minimum":0}}})",
         {"#/properties/score", "'minimum'"}},
        {R"({"type":"object","properties":{"id":{"type":"string","pattern":"abc"}}})",
         {"#/properties/id", "pattern abc"}},
        {R"({"anyOf":[{"type":"string"},{"type":"integer","multipleOf":2}]})",
         {"#/anyOf/1", "'multipleOf'"}},
        {R"({"type":"object","$defs":{"x":{"type":"object","minProperties":1}}})",
         {"#/$defs/x", "'minProperties'"}},
        {R"({"type":"array","items":[{"type":"string"}],"additionalItems":false})",
         {"'additionalItems'"}},
        {R"({"type":"object","properties":{"a":{"not":{"type":"null"}}}})", {"'not'"}},
        {R"({"type":"object","properties":{"a":{"type":"string"}},"required":["b"]})",
         {"requires 'b'"}},
        // What the converter itself refuses, it names by its own path.
        {R"({"type":"object","properties":{"x":{"type":"wat"}}})",
         {"/properties/x", "unrecognized type wat"}},
        {R"({"$ref":"https://example.com/schema.json"})", {"$ref"}},
        {"{not json", {"not valid JSON"}},
        {"[1, 2]", {"must be an object"}},
    };
    for (const auto& [schema, named] : cases) {
        const std::string message = refusal(schema);
        ASSERT_FALSE(message.empty()) << schema << " was taken";
        for (const std::string& part : named) {
            EXPECT_NE(message.find(part), std::string::npos) << schema << ": " << message;
        }
    }
    // What the converter keeps passes, annotations included.
    for (const std::string& schema :
         {kPerson.dump(), std::string(R"({"type":["integer","null"],"minimum":1})"),
          std::string(R"({"type":"string","pattern":"^[a-z]{2,4}$","format":"email"})"),
          std::string(R"({"$schema":"x","title":"t","type":"object","additionalProperties":false,
                          "properties":{"a":{"type":"boolean","description":"d"}}})")}) {
        EXPECT_EQ(refusal(schema), "") << schema;
        EXPECT_NE(output_format::grammar_of(schema).find("root ::="), std::string::npos);
    }
    EXPECT_EQ(output_format::grammar_of(""), "");
    EXPECT_EQ(output_format::grammar_of("json"), output_format::json_object_grammar());
}

Sampling constrained(const std::string& grammar, std::uint32_t seed, int max_tokens = 200) {
    return {.max_tokens = max_tokens, .temperature = 1.0, .seed = seed, .grammar = grammar};
}

TEST(ConstrainedDecoding, AnswersUnderTheJsonGrammarParseAsObjectsOnEveryVocabulary) {
    // Greedy on the trained model, and sampled on made-up and real vocabularies: any JSON
    // object may run long on random weights, so those answers get a schema of short fields.
    const std::string person = output_format::schema_grammar(kPerson);
    const struct {
        std::string model;
        std::string grammar;
        Sampling sampling;
    } cases[] = {
        {kt::bundled_chat_model(),
         output_format::json_object_grammar(),
         {.max_tokens = 400, .temperature = 0.0, .grammar = output_format::json_object_grammar()}},
        {kt::tiny_chat_model(), person, constrained(person, 7)},
        {kt::vocab_model("phi-3"), person, constrained(person, 7)},
        {kt::vocab_model("qwen2"), person, constrained(person, 7)},
    };
    for (const auto& [path, grammar, sampling] : cases) {
        const auto model = kt::load_model(path, 1024);
        const auto answer =
            kt::chat(model, {.messages = {{"user", "Who are you?"}}, .sampling = sampling});
        EXPECT_EQ(answer.finish_reason, "stop") << path << ": " << answer.text;
        const Json parsed = Json::parse(answer.text, nullptr, false);
        EXPECT_TRUE(parsed.is_object()) << path << ": " << answer.text;
    }
}

TEST(ConstrainedDecoding, AConstrainedAndAFreeSequenceBatchedTogetherKeepTheirOwnRules) {
    const platform::llama::Llama weights(
        {.model_path = kt::tiny_chat_model(), .n_ctx = 64, .n_threads = 1, .verbose = false});
    const std::vector<Token> prompt = weights.tokenize("the cat sat on the mat");
    const Request free{.prompt = prompt, .sampling = kt::greedy(40)};
    const Request bounded{.prompt = prompt,
                          .sampling = constrained(output_format::schema_grammar(kPerson), 3)};
    const auto text_of = [](Generation& generation) {
        std::string text;
        while (auto piece = generation.next()) {
            text += *piece;
        }
        return text;
    };
    Scheduler alone(weights, {.parallel = 1, .n_ctx = 512});
    const std::string expected_free = text_of(*alone.submit(free));
    const std::string expected_bounded = text_of(*alone.submit(bounded));

    Scheduler batched(weights, {.parallel = 3, .n_ctx = 512});
    auto first = batched.submit(bounded);
    auto second = batched.submit(free);
    auto third = batched.submit(bounded);
    EXPECT_EQ(text_of(*second), expected_free);
    for (Generation* generation : {first.get(), third.get()}) {
        const std::string text = text_of(*generation);
        EXPECT_EQ(text, expected_bounded);
        EXPECT_TRUE(Json::parse(text, nullptr, false).is_object()) << text;
    }
    EXPECT_NE(expected_free.find_first_not_of("{ \n"), std::string::npos);
    EXPECT_FALSE(Json::parse(expected_free, nullptr, false).is_object()) << expected_free;
}

TEST(ConstrainedDecoding, AGrammarTheModelCannotFollowIsRefusedBeforeAnythingIsGenerated) {
    const auto model = kt::load_model(kt::tiny_chat_model(), 256);
    const auto answer = [&](Sampling sampling) {
        sampling.max_tokens = 8;
        return kt::complete(model, "the cat", sampling).text;
    };
    const std::string not_gbnf = "root ::= (";
    const struct {
        Sampling sampling;
        const char* named;
    } refused[] = {
        {{.grammar = not_gbnf}, "not one llama.cpp can parse"},
        {{.grammar = R"(root ::= "yes")", .grammar_prefill = "no"}, "does not begin as"},
        {{.logit_bias = {{829, 1.0F}}}, "beyond the vocabulary of 829"},
    };
    for (const auto& [sampling, named] : refused) {
        try {
            answer(sampling);
            ADD_FAILURE() << named << ": answered";
        } catch (const InvalidValueError& error) {
            EXPECT_NE(std::string(error.what()).find(named), std::string::npos) << error.what();
        }
    }
    // Every vocabulary the build makes can spell any byte: text beyond its words (here UTF-8
    // the corpus never holds) comes out in byte tokens, still as the grammar says.
    EXPECT_EQ(answer({.temperature = 1.0, .grammar = R"(root ::= "é" [0-9])"}).substr(0, 2), "é");
    EXPECT_EQ(answer({.grammar = R"(root ::= "yes" | "no")"}).find_first_of("yn"), 0U);
}

TEST(ConstrainedDecoding, ARequiredToolCallKeepsToTheCallGrammarOfTheTemplate) {
    const kt::TempDir dir;
    const platform::llama::Llama weights(
        {.model_path = kt::with_chat_template(dir, kt::kHermesToolTemplate),
         .n_ctx = 256,
         .n_threads = 1,
         .verbose = false});
    const std::vector<ToolSpec> tools = {
        {.name = "web_search",
         .description = "Search",
         .parameters =
             R"({"type":"object","properties":{"query":{"type":"string"}},"required":["query"]})"}};
    ChatRequest request{.messages = {{"user", "News?"}}, .tools = tools, .require_tool_call = true};
    const auto rendered = weights.render_chat(request.messages, template_options(request));
    ASSERT_NE(rendered.tool_call_grammar, "") << rendered.format_name;
    // The grammar picks up where the prompt ends, and holds the reply to calls of the
    // offered tool with arguments of its schema: the text fed after the prompt tells.
    const auto follows = [&](const std::string& reply) {
        try {
            static_cast<void>(
                weights.make_sampler({.grammar = rendered.tool_call_grammar,
                                      .grammar_prefill = rendered.tool_call_prefill + reply}));
            return true;
        } catch (const InvalidValueError&) {
            return false;
        }
    };
    EXPECT_TRUE(follows(""));
    EXPECT_TRUE(
        follows("Let me look.\n<tool_call>\n{\"name\": \"web_search\", \"arguments\": "
                "{\"query\": \"news\"}}\n</tool_call>"));
    EXPECT_FALSE(follows("<tool_call>\n{\"name\": \"get_weather\""));
    EXPECT_FALSE(follows("<tool_call>\n{\"name\": \"web_search\", \"arguments\": {\"q\""));
    // A model whose template gives no call grammar cannot be held to a call: refused.
    const auto plain = kt::load_model(kt::vocab_model("qwen2"), 256);
    EXPECT_THROW(Reply(plain, request), InvalidValueError);
    request.require_tool_call = false;
    request.tools.clear();
    request.sampling.grammar = output_format::json_object_grammar();
    request.require_tool_call = true;
    EXPECT_THROW(Reply(plain, request), InvalidValueError);
}

// The controls reach the sampler: at temperature 1, min_p 1 and top_k 1 each leave only the
// likeliest token (the greedy answer); a bias forces or bans a token; the penalties change a
// greedy answer that repeats words, and their window of 0 turns them off.
TEST(SamplingControls, EachControlShapesWhatIsSampled) {
    const auto model = kt::load_model(kt::tiny_chat_model(), 256);
    const auto complete = [&](const Sampling& sampling) {
        return kt::complete(model, "the cat", sampling).text;
    };
    const std::string greedy = complete(kt::greedy(24));
    ASSERT_NE(greedy.find('.'), std::string::npos);
    for (const std::uint32_t seed : {1U, 2U, 3U}) {
        EXPECT_EQ(
            complete(
                {.max_tokens = 24, .temperature = 1.0, .top_k = 0, .seed = seed, .min_p = 1.0}),
            greedy);
        EXPECT_EQ(complete({.max_tokens = 24, .temperature = 1.0, .top_k = 1, .seed = seed}),
                  greedy);
    }
    const platform::llama::Llama& weights = model->weights();
    std::vector<std::pair<Token, float>> no_dots;
    for (Token token = 0; token < weights.n_vocab(); ++token) {
        if (weights.token_to_piece(token).find('.') != std::string::npos) {
            no_dots.emplace_back(token, -std::numeric_limits<float>::infinity());
        }
    }
    ASSERT_FALSE(no_dots.empty());
    const std::string banned =
        complete({.max_tokens = 24, .temperature = 0.0, .logit_bias = no_dots});
    EXPECT_FALSE(banned.empty());
    EXPECT_EQ(banned.find('.'), std::string::npos) << banned;
    const Token dog = weights.tokenize("dog", false, false).back();
    const std::string piece = weights.token_to_piece(dog);
    EXPECT_EQ(complete({.max_tokens = 3, .temperature = 0.0, .logit_bias = {{dog, 100.0F}}}),
              piece + piece + piece);

    const auto bundled = kt::load_model(kt::bundled_chat_model(), 256);
    const auto answer = [&](Sampling sampling) {
        sampling.max_tokens = 60;
        sampling.temperature = 0.0;
        return kt::complete(bundled, "kestrune run", sampling).text;
    };
    const std::string plain = answer({});
    EXPECT_NE(answer({.frequency_penalty = 1.5}), plain);
    EXPECT_NE(answer({.presence_penalty = 1.5}), plain);
    EXPECT_EQ(answer({.frequency_penalty = 1.5, .repeat_last_n = 0}), plain);
}

}  // namespace
}  // namespace kestrune::inference
