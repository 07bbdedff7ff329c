// Runtime and helper commands: backends, kv, eval, websearch.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.hpp"
#include "kestrune/cache/kvquant.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/evaluator.hpp"
#include "kestrune/engine/hardware.hpp"
#include "kestrune/tools/search.hpp"
#include "output.hpp"
#include "session.hpp"
#include "table.hpp"

namespace kestrune::cli {

namespace {

using OrderedJson = nlohmann::ordered_json;

void add_backends(CLI::App& app) {
    auto json = std::make_shared<bool>(false);
    CLI::App* command = app.add_subcommand("backends", "which runtimes are available here");
    command->add_flag("--json", *json, "the records as JSON");
    command->footer("Example:\n  kestrune backends --json");
    command->callback([json] {
        std::vector<backends::BackendInfo> infos;
        for (const char* name : kBackendNames) {
            infos.push_back(make_backend(name, std::nullopt, "")->detect());
        }
        if (*json) {
            print_json(OrderedJson(infos));
            return;
        }
        std::vector<Row> rows;
        for (const auto& info : infos) {
            rows.push_back({info.name, info.available ? "yes" : "no",
                            info.version.empty() ? "-" : info.version, info.details});
        }
        print_table(results(), {"BACKEND", "AVAILABLE", "VERSION", "DETAILS"}, rows);
        for (const auto& device : engine::describe_compute_devices()) {
            results() << "native device: " << device << '\n';
        }
    });
}

void add_kv(CLI::App& app) {
    struct Options {
        double params = 0;
        long long vram = 0;
        long long context = 0;
    };
    auto options = std::make_shared<Options>();
    CLI::App* kv = app.add_subcommand("kv", "KV cache helpers");
    kv->require_subcommand(1);
    kv->footer("Example:\n  kestrune kv recommend --params 70 --vram 24000 --context 131072");
    CLI::App* recommend =
        kv->add_subcommand("recommend", "recommend KV cache types for a model and a machine");
    recommend->add_option("--params", options->params, "billions of parameters")
        ->required()
        ->check(at_least(0));
    recommend->add_option("--vram", options->vram, "GPU memory in MB")
        ->required()
        ->check(at_least(0));
    recommend->add_option("--context", options->context, "context length in tokens")
        ->required()
        ->check(at_least(1));
    recommend->footer(
        "Example:\n  kestrune kv recommend --params 70 --vram 24000 --context 131072");
    recommend->callback([options] {
        const auto config =
            kvquant::recommend_kv_config(options->params, options->vram, options->context);
        print_json(OrderedJson(config));
    });
}

void add_eval(CLI::App& app) {
    struct Options {
        std::string text;
        std::string prompt;
    };
    auto options = std::make_shared<Options>();
    CLI::App* eval = app.add_subcommand("eval", "score a generated text");
    eval->add_option("TEXT", options->text, "the generated text")->required();
    eval->add_option("--prompt", options->prompt, "the prompt it answered");
    eval->footer("Example:\n  kestrune eval \"It runs on your machine.\" --prompt \"Where?\"");
    eval->callback([options] {
        const auto score = evaluator::evaluate_output(options->text, options->prompt);
        print_json(OrderedJson(score));
    });
}

void add_websearch(CLI::App& app) {
    struct Options {
        std::string query;
        int max_results = 5;
    };
    auto options = std::make_shared<Options>();
    CLI::App* websearch = app.add_subcommand("websearch", "search the web");
    websearch->add_option("QUERY", options->query, "what to look for")->required();
    websearch->add_option("--max-results", options->max_results, "at most this many results")
        ->check(at_least(1))
        ->capture_default_str();
    websearch->footer("Example:\n  kestrune websearch \"llama.cpp\" --max-results 3");
    websearch->callback([options] {
        tools::WebSearchTool tool;
        const auto result =
            tool.execute({{"query", options->query}, {"max_results", options->max_results}});
        if (!result.success) {
            throw RuntimeFailure(result.error.value_or("web search failed"));
        }
        results() << result.content << std::endl;
    });
}

}  // namespace

void add_tool_commands(CLI::App& app) {
    add_backends(app);
    add_kv(app);
    add_eval(app);
    add_websearch(app);
}

}  // namespace kestrune::cli
