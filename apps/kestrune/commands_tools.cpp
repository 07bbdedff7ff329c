// Runtime and helper commands: backends, kv, eval, websearch.
#include <iomanip>
#include <iostream>
#include <string>

#include "args.hpp"
#include "commands.hpp"
#include "kestrune/cache/kvquant.hpp"
#include "kestrune/engine/evaluator.hpp"
#include "kestrune/engine/hardware.hpp"
#include "kestrune/errors.hpp"
#include "kestrune/platform/json.hpp"
#include "kestrune/tools/search.hpp"
#include "session.hpp"

namespace kestrune::cli {

void print_json(const Json& value) {
    std::cout << value.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

void backends_command(const Words& words) {
    Args::parse(words, {});
    std::cout << std::left << std::setw(13) << "BACKEND" << std::setw(11) << "AVAILABLE"
              << std::setw(16) << "VERSION"
              << "DETAILS\n";
    for (const char* name : {"native", "ollama", "lmstudio", "vllm", "remote", "huggingface"}) {
        const auto info = make_backend(name, std::nullopt, "")->detect();
        std::cout << std::setw(13) << info.name << std::setw(11) << (info.available ? "yes" : "no")
                  << std::setw(16) << (info.version.empty() ? "-" : info.version) << info.details
                  << std::endl;
    }
    for (const auto& device : engine::describe_compute_devices()) {
        std::cout << "native device: " << device << '\n';
    }
}

void kv_command(const Words& words) {
    if (words.empty() || words.front() != "recommend") {
        throw UsageError("kv needs a subcommand: kv recommend --params B --vram MB --context N");
    }
    const auto args = Args::parse(Words(words.begin() + 1, words.end()),
                                  {.options = {"--params", "--vram", "--context"}});
    const auto params = args.real("--params");
    const auto vram = args.integer("--vram");
    const auto context = args.integer("--context");
    if (!params || !vram || !context) {
        throw UsageError("kv recommend needs --params, --vram and --context");
    }
    const auto config = kvquant::recommend_kv_config(*params, *vram, *context);
    Json result;
    result["k_type"] = config.k_type;
    result["v_type"] = config.v_type;
    result["fallback"] = config.fallback;
    result["enabled"] = config.enabled;
    print_json(result);
}

void eval_command(const Words& words) {
    const auto args =
        Args::parse(words, {.options = {"--prompt"}, .min_positionals = 1, .max_positionals = 1});
    const auto score =
        evaluator::evaluate_output(*args.positional(0), args.option("--prompt").value_or(""));
    Json result;
    result["repetition_score"] = score.repetition_score;
    result["coherence_score"] = score.coherence_score;
    result["length_score"] = score.length_score;
    result["overall"] = score.overall;
    result["details"] = score.details;
    print_json(result);
}

void websearch_command(const Words& words) {
    const auto args = Args::parse(
        words, {.options = {"--max-results"}, .min_positionals = 1, .max_positionals = 1});
    Json arguments;
    arguments["query"] = *args.positional(0);
    arguments["max_results"] = args.integer("--max-results").value_or(5);
    tools::WebSearchTool tool;
    const auto result = tool.execute(arguments);
    if (!result.success) {
        throw RuntimeFailure(result.error.value_or("web search failed"));
    }
    std::cout << result.content << '\n';
}

}  // namespace kestrune::cli
