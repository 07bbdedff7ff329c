// Model commands: run, info, meta, resolve, pull, list, search.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "args.hpp"
#include "commands.hpp"
#include "kestrune/backends/native.hpp"
#include "kestrune/engine/downloader.hpp"
#include "kestrune/engine/ggufmeta.hpp"
#include "kestrune/engine/hardware.hpp"
#include "kestrune/engine/planner.hpp"
#include "kestrune/engine/resolver.hpp"
#include "kestrune/errors.hpp"
#include "kestrune/platform/json.hpp"
#include "kestrune/registry/store.hpp"
#include "session.hpp"

namespace kestrune::cli {

namespace {

std::string resolve_or_bundled(const std::optional<std::string>& ref,
                               const std::string& output_dir) {
    return ref ? resolver::resolve_model(*ref, output_dir) : bundled_model_path();
}

// Describes the model and returns the plan for loading it on this machine.
engine::InferencePlan describe_and_plan(const std::string& path, std::optional<int> context) {
    const auto meta = ggufmeta::read_gguf_metadata(path);
    const auto spec = ggufmeta::gguf_to_model_spec(path);
    ggufmeta::print_model_info(spec, &meta);
    const auto plan = engine::plan_inference(spec, engine::detect_hardware(), context);
    std::cout << "  Plan:        " << plan.n_gpu_layers << " GPU layers, " << plan.n_cpu_layers
              << " CPU layers, context " << plan.max_context << std::endl;
    return plan;
}

Json metadata_json(const ggufmeta::GgufMetadata& meta) {
    Json object = Json::object();
    for (const auto& [key, value] : meta) {
        std::visit([&, &name = key](const auto& v) { object[name] = v; }, value);
    }
    return object;
}

void print_record_table(const std::vector<Json>& records) {
    for (const auto& record : records) {
        std::cout << "  " << std::left << std::setw(28) << record.value("name", "");
        for (const char* key : {"quant", "repo", "path", "size_mb"}) {
            if (record.contains(key)) {
                const auto& value = record[key];
                std::cout << "  " << (value.is_string() ? value.get<std::string>() : value.dump());
            }
        }
        std::cout << '\n';
    }
}

}  // namespace

std::string bundled_model_path() {
    std::error_code ignored;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", ignored);
    const auto installed = program.parent_path().parent_path() / KESTRUNE_INSTALLED_MODEL;
    if (!program.empty() && std::filesystem::exists(installed)) {
        return installed.string();
    }
    return KESTRUNE_BUILD_TREE_MODEL;
}

void run_command(const Words& words) {
    const auto args = Args::parse(
        words, {.options = {"-p", "--prompt", "--backend", "--host", "--api-key", "--max-tokens",
                            "--temperature", "--ctx", "--kv-type", "--draft", "--output-dir"},
                .flags = {"--no-stream", "--verbose"},
                .max_positionals = 1});
    const SessionOptions options = session_options(args);
    const auto ref = args.positional(0);
    if (options.backend != "native") {
        if (!ref) {
            throw UsageError("run with --backend " + options.backend + " needs a model name");
        }
        auto backend = make_backend(options.backend, args.option("--host"),
                                    args.option("--api-key").value_or(""));
        backend->load(*ref, {.n_ctx = options.context.value_or(4096)});
        chat_session(
            *backend,
            [&](const Messages& messages, const backends::GenerationConfig& config) {
                return backend->stream(messages, config);
            },
            options);
        return;
    }
    const std::string output_dir = args.option("--output-dir").value_or(".");
    const std::string path = resolve_or_bundled(ref, output_dir);
    const auto plan = describe_and_plan(path, options.context);
    const std::string kv_type = args.option("--kv-type").value_or("f16");
    const backends::LoadOptions load{.n_ctx = plan.max_context,
                                     .n_gpu_layers = plan.n_gpu_layers,
                                     .kv_type_k = kv_type,
                                     .kv_type_v = kv_type};
    if (options.verbose) {
        for (const auto& device : engine::describe_compute_devices()) {
            std::cerr << "  Device:      " << device << std::endl;
        }
    }
    backends::NativeBackend backend;
    backend.load(path, load);
    std::optional<backends::NativeBackend> draft;
    if (const auto draft_ref = args.option("--draft")) {
        draft.emplace().load(resolver::resolve_model(*draft_ref, output_dir), load);
    }
    std::cout << std::endl;
    chat_session(
        backend,
        [&](const Messages& messages, const backends::GenerationConfig& config) {
            return draft ? backend.stream_speculative(*draft, messages, config)
                         : backend.stream(messages, config);
        },
        options);
}

void info_command(const Words& words) {
    const auto args = Args::parse(
        words, {.options = {"--output-dir"}, .min_positionals = 1, .max_positionals = 1});
    const std::string path =
        resolver::resolve_model(*args.positional(0), args.option("--output-dir").value_or("."));
    const auto meta = ggufmeta::read_gguf_metadata(path);
    ggufmeta::print_model_info(ggufmeta::gguf_to_model_spec(path), &meta);
}

void meta_command(const Words& words) {
    const auto args = Args::parse(words, {.min_positionals = 1, .max_positionals = 1});
    const auto meta = ggufmeta::read_gguf_metadata(*args.positional(0));
    print_json(metadata_json(meta));
}

void resolve_command(const Words& words) {
    const auto args = Args::parse(
        words, {.options = {"--output-dir"}, .min_positionals = 1, .max_positionals = 1});
    std::cout << resolver::resolve_model(*args.positional(0),
                                         args.option("--output-dir").value_or("."))
              << '\n';
}

void pull_command(const Words& words) {
    const auto args =
        Args::parse(words, {.options = {"--quant"}, .min_positionals = 1, .max_positionals = 1});
    const auto path =
        downloader::pull_model(*args.positional(0), args.option("--quant").value_or("auto"));
    if (!path) {
        throw NotFoundError("Could not pull " + *args.positional(0));
    }
    std::cout << *path << '\n';
}

void list_command(const Words& words) {
    const auto args = Args::parse(words, {.flags = {"--catalog"}});
    if (args.flag("--catalog")) {
        print_record_table(registry::RegistryStore::catalog());
        return;
    }
    const auto models = downloader::list_local_models();
    if (models.empty()) {
        std::cout << "  No models pulled yet (kestrune list --catalog shows what can be pulled)\n";
    }
    print_record_table(models);
}

void search_command(const Words& words) {
    const auto args = Args::parse(words, {.min_positionals = 1, .max_positionals = 1});
    print_record_table(downloader::search_models(*args.positional(0)));
}

}  // namespace kestrune::cli
