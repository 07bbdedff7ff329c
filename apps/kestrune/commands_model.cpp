// Model commands: run, info, meta, resolve, pull, list, rm, search.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

#include "commands.hpp"
#include "failure.hpp"
#include "kestrune/backends/native.hpp"
#include "kestrune/cache/kvquant.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/downloader.hpp"
#include "kestrune/engine/ggufmeta.hpp"
#include "kestrune/engine/hardware.hpp"
#include "kestrune/engine/inventory.hpp"
#include "kestrune/engine/model_info.hpp"
#include "kestrune/engine/planner.hpp"
#include "kestrune/engine/resolver.hpp"
#include "kestrune/registry/store.hpp"
#include "line_input.hpp"
#include "output.hpp"
#include "session.hpp"
#include "speculation.hpp"
#include "table.hpp"

namespace kestrune::cli {

namespace {

using OrderedJson = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* kReferences =
    "REF: a path, hf://user/repo[/file], ollama://name:tag, lmstudio://name, vllm://org/model,\n"
    "llamacpp://name, mlx://name, https://address, or a catalogue name.";

// --- references that download ----------------------------------------------------------------

bool is_remote(const std::string& ref) {
    for (const char* scheme : {"hf://", "huggingface://", "http://", "https://"}) {
        if (ref.starts_with(scheme)) {
            return true;
        }
    }
    return false;
}

// The file a remote reference lands in, where its name can be told without asking the hub.
std::optional<std::filesystem::path> landing_file(const std::string& ref,
                                                  const std::string& output_dir) {
    const std::string rest = ref.substr(ref.find("://") + 3);
    if (ref.starts_with("http")) {
        return resolver::url_download_path(ref, output_dir);
    }
    const auto repo_end = rest.find('/', rest.find('/') + 1);
    if (rest.find('/') == std::string::npos || repo_end == std::string::npos) {
        return std::nullopt;  // a whole repository: the hub picks the file
    }
    return std::filesystem::path(output_dir) / rest.substr(repo_end + 1);
}

// Downloads land in `output_dir`: made when missing, refused with one line when it cannot be
// made or written to, before anything is asked of the network.
void prepare_output_dir(const std::string& output_dir) {
    std::error_code error;
    std::filesystem::create_directories(output_dir, error);
    if (!error && ::access(output_dir.c_str(), W_OK) != 0) {
        error.assign(errno, std::generic_category());
    }
    if (error) {
        throw InvalidValueError("Cannot download into --output-dir " + output_dir + ": " +
                                error.message());
    }
}

// A remote reference whose file is not here yet: the folder is checked, and the download
// announced before it happens.
void prepare_download(const std::string& ref, const std::string& output_dir) {
    const auto file = landing_file(ref, output_dir);
    std::error_code ignored;
    if (file && std::filesystem::exists(*file, ignored)) {
        return;
    }
    prepare_output_dir(output_dir);
    std::cerr << "  " << ref << " is not here yet: downloading it into " << output_dir << std::endl;
}

bool in_catalogue(const std::string& name) {
    return std::ranges::any_of(registry::RegistryStore::catalog(),
                               [&](const auto& record) { return record["name"] == name; });
}

// Downloads a catalogue model into the cache at `quant` ("auto": what fits this machine), or
// finds it there.
std::string pull_catalogue_model(const std::string& name, const std::string& quant) {
    const auto path = downloader::pull_model(name, quant);
    if (!path) {
        throw NotFoundError("Could not pull " + name);
    }
    return *path;
}

// The resolver's path for `ref`. A catalogue name that is not on this machine is pulled, as
// users expect of `run NAME` (the resolver's own catalogue step finds only what was pulled
// before).
std::string resolve_reference(const std::string& ref, const std::string& output_dir) {
    if (is_remote(ref)) {
        prepare_download(ref, output_dir);
    }
    try {
        return resolver::resolve_model(ref, output_dir);
    } catch (const NotFoundError& error) {
        if (!in_catalogue(ref)) {
            rethrow_worded(reference_problem(ref, error), error);
        }
    } catch (const Error& error) {
        rethrow_worded(reference_problem(ref, error), error);
    }
    std::cerr << "  " << ref << " is not on this machine: pulling it from the catalogue into "
              << registry::RegistryStore().store_dir() << std::endl;
    return pull_catalogue_model(ref, "auto");
}

// The description of the model file at `path`; a path that is no readable file is said so.
engine::ModelSpec read_model_spec(const std::string& path) {
    try {
        return ggufmeta::gguf_to_model_spec(path);
    } catch (const Error& error) {
        rethrow_worded(file_problem(path), error);
    }
}

// --- run ---------------------------------------------------------------------------------------

struct RunOptions {
    std::optional<std::string> ref;
    SessionOptions session;
    std::string backend = "native";
    std::optional<std::string> host;
    std::string api_key;
    std::optional<int> context;
    std::string kv_type = "f16";
    std::optional<std::string> draft;
    std::string output_dir;
    bool no_stream = false;
    std::vector<std::string> tools;
    std::vector<std::string> rpc;
    std::string format;
};

// --format's value as the library takes it: "json", or the text of the schema file it names.
std::string answer_format(const std::string& value) {
    if (value == "json") {
        return value;
    }
    std::ifstream in(value);
    if (!in) {
        throw NotFoundError("Cannot read the JSON schema file: " + value);
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The file's path, then its description.
OrderedJson model_spec_json(const std::string& path, const engine::ModelSpec& spec) {
    OrderedJson record = {{"path", path}};
    record.update(OrderedJson(spec));
    return record;
}

void warn_above_trained_context(const engine::ModelSpec& spec, std::optional<int> context) {
    if (context && spec.context_length > 0 && *context > spec.context_length) {
        std::cerr << "  warning: --ctx " << *context << " is above the " << spec.context_length
                  << " tokens " << spec.name
                  << " was trained on; answers past that length may degrade" << std::endl;
    }
}

// The planner shrinks the context until weights and cache fit in memory; a context the user
// asked for is refused instead, with the figures.
void refuse_context_that_does_not_fit(const engine::ModelSpec& spec,
                                      const engine::HardwareProfile& hardware,
                                      const engine::InferencePlan& plan,
                                      std::optional<int> context) {
    if (!context || plan.max_context >= *context) {
        return;
    }
    std::ostringstream message;
    message << std::fixed << std::setprecision(0) << "--ctx " << *context << " needs "
            << engine::kv_cache_mb(spec, *context) << " MB of KV cache besides the "
            << spec.file_size_mb << " MB model, more than this machine's "
            << hardware.ram_mb + hardware.total_vram_mb
            << " MB of memory; the largest context that fits is " << plan.max_context;
    throw InvalidValueError(message.str());
}

engine::InferencePlan plan_for(const std::string& path, const RunOptions& options) {
    const auto spec = read_model_spec(path);
    if (options.session.verbose) {
        const auto meta = ggufmeta::read_gguf_metadata(path);
        ggufmeta::print_model_info(spec, &meta);
    }
    warn_above_trained_context(spec, options.context);
    const auto hardware = engine::detect_hardware();
    const auto plan = engine::plan_inference(spec, hardware, options.context);
    refuse_context_that_does_not_fit(spec, hardware, plan, options.context);
    if (options.session.verbose) {
        std::cerr << "  Plan:        " << plan.n_gpu_layers << " GPU layers, " << plan.n_cpu_layers
                  << " CPU layers, context " << plan.max_context << std::endl;
        for (const auto& device : engine::describe_compute_devices()) {
            std::cerr << "  Device:      " << device << std::endl;
        }
    }
    return plan;
}

void load_timed(backends::NativeBackend& backend, const std::string& path,
                const backends::LoadOptions& load, bool verbose) {
    const auto started = Clock::now();
    backend.load(path, load);
    if (const auto& split = backend.worker_split()) {
        for (const auto& line : engine::describe_split(*split)) {
            std::cerr << "  Split:       " << line << '\n';
        }
    }
    if (verbose) {
        std::cerr << "  load:        " << std::fixed << std::setprecision(3)
                  << std::chrono::duration<double>(Clock::now() - started).count() << " s ("
                  << std::filesystem::path(path).filename().string() << ", KV cache "
                  << backend.kv_type_in_use() << ")" << std::endl;
    }
}

int run_on_server(const RunOptions& options) {
    if (!options.ref) {
        throw CLI::ValidationError("run with --backend " + options.backend +
                                   " needs a model name (REF)");
    }
    auto backend = make_backend(options.backend, options.host, options.api_key);
    backend->load(*options.ref, {.n_ctx = options.context.value_or(4096)});
    const StreamReply reply = [&](const Messages& messages,
                                  const backends::GenerationConfig& config) {
        return backend->stream(messages, config);
    };
    return chat_session({.backend = backend.get(), .stream_reply = reply}, options.session);
}

int run_native(const RunOptions& options) {
    const std::string path =
        options.ref ? resolve_reference(*options.ref, options.output_dir) : default_model_path();
    const auto plan = plan_for(path, options);
    backends::LoadOptions load{.n_ctx = plan.max_context,
                               .n_gpu_layers = plan.n_gpu_layers,
                               .kv_type_k = options.kv_type,
                               .kv_type_v = options.kv_type,
                               .rpc_workers = options.rpc};
    backends::NativeBackend backend;
    load_timed(backend, path, load, options.session.verbose);
    std::optional<backends::NativeBackend> draft;
    if (options.draft) {
        // The draft is small and fast only where it runs beside the sampler: here.
        load.rpc_workers.clear();
        load_timed(draft.emplace(), resolve_reference(*options.draft, options.output_dir), load,
                   options.session.verbose);
    }
    const double plain_rate = draft && options.session.verbose ? plain_decoding_rate(backend) : 0.0;
    const StreamReply reply = [&](const Messages& messages,
                                  const backends::GenerationConfig& config) {
        if (!draft) {
            return backend.stream_answer(messages, config, reasoning_printer(config));
        }
        TextStream pieces = backend.stream_speculative(*draft, messages, config);
        if (options.session.verbose) {
            return reporting_speculation(std::move(pieces), backend, plain_rate);
        }
        return pieces;
    };
    return chat_session({.backend = &backend, .stream_reply = reply, .native = &backend},
                        options.session);
}

CLI::Validator known_backend() {
    return {[](const std::string& name) {
                for (const char* known : kBackendNames) {
                    if (name == known) {
                        return std::string();
                    }
                }
                return "unknown backend '" + name + "' (" + CLI::detail::join(kBackendNames, ", ") +
                       ")";
            },
            "BACKEND"};
}

CLI::Validator known_kv_type() {
    return {[](const std::string& name) {
                // The table answers f16's identifier for every name it does not know.
                if (name == "f16" || kvquant::get_kv_type_id(name) != 1) {
                    return std::string();
                }
                return "unknown KV cache type '" + name +
                       "' (f16, f32, q8_0, q4_0, q4_1, q5_0, q5_1, turbo4_0, turbo3_0, turbo2_0)";
            },
            "TYPE"};
}

// `echo text | kestrune run -p "summarise:"`: what was piped in follows the prompt.
void append_piped_input(std::optional<std::string>& prompt) {
    if (!prompt) {
        return;
    }
    if (const auto piped = piped_input(); piped && !piped->empty()) {
        *prompt += "\n\n" + *piped;
    }
}

// The options of `run` that only some backends use, and those backends.
struct BackendOption {
    const char* name;
    std::vector<std::string> backends;
};

const std::vector<BackendOption>& backend_options() {
    static const std::vector<BackendOption> options{
        {"--host", {"ollama", "lmstudio", "vllm", "remote"}},
        {"--api-key", {"remote"}},
        {"--kv-type", {"native"}},
        {"--draft", {"native"}},
        {"--rpc", {"native"}},
        {"--tools", {"native"}},
        {"--format", {"native"}},
    };
    return options;
}

// An option given for a backend that would ignore it is a mistake on the command line (a
// --host without --backend would otherwise be answered by the model in this process).
void refuse_options_the_backend_ignores(const CLI::App& run, const std::string& backend) {
    for (const auto& [name, backends] : backend_options()) {
        if (run.count(name) > 0 && std::ranges::find(backends, backend) == backends.end()) {
            const std::string wanted =
                backends.size() == 1
                    ? "the " + backends.front() + " backend"
                    : "--backend " +
                          CLI::detail::join(std::vector(backends.begin(), backends.end() - 1),
                                            ", ") +
                          " or " + backends.back();
            throw CLI::ValidationError(std::string(name) + " needs " + wanted + "; the " + backend +
                                       " backend does not use it");
        }
    }
}

// --verbose of a command whose only talk is its result: a failure's library text too.
void add_verbose_failure_flag(CLI::App& command) {
    command.add_flag("-v,--verbose")->description("on failure, the library's own message too");
}

void add_run(CLI::App& app, int& exit_status) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* run = app.add_subcommand("run", "chat with a model (the bundled model by default)");
    run->add_option("REF", options->ref, "the model; see below");
    run->add_option("-p,--prompt", options->session.prompt,
                    "answer this prompt and leave (else chat); text piped in follows it");
    run->add_option("--system", options->session.system, "a system message");
    run->add_option("--backend", options->backend, "the runtime")
        ->check(known_backend())
        ->capture_default_str();
    run->add_option("--host", options->host,
                    "the server's address (with --backend ollama, lmstudio, vllm or remote)");
    run->add_option("--api-key", options->api_key, "the server's key (with --backend remote)");
    run->add_option("--max-tokens", options->session.config.max_tokens, "longest answer")
        ->check(at_least(1))
        ->capture_default_str();
    run->add_option("--temperature", options->session.config.temperature, "sampling temperature")
        ->check(at_least(0))
        ->capture_default_str();
    run->add_option("--ctx", options->context, "context length in tokens")->check(at_least(1));
    run->add_option("--kv-type", options->kv_type, "KV cache type (q8_0, q4_0, …)")
        ->check(known_kv_type())
        ->capture_default_str();
    run->add_option("--draft", options->draft, "a draft model for speculative decoding");
    run->add_option("--format", options->format,
                    "keep the answer to JSON: json (any object) or FILE.json (a JSON schema)");
    add_output_dir_option(*run, options->output_dir);
    run->add_flag("--no-stream", options->no_stream, "print the answer whole");
    run->add_option("--tools", options->tools,
                    "offer the model these tools (web_search); each call is shown on standard "
                    "error and its result fed back to the model")
        ->delimiter(',')
        ->check(
            CLI::IsMember(std::vector<std::string>(std::begin(kToolNames), std::end(kToolNames))));
    run->add_option("--rpc", options->rpc,
                    "RPC workers (HOST:PORT, comma-separated; see kestrune worker) to spread the "
                    "model over, with this machine")
        ->delimiter(',');
    run->add_flag_callback(
        "--think", [options] { options->session.config.think = true; },
        "let a model that can think first do so, and show it");
    run->add_flag_callback(
        "--no-think", [options] { options->session.config.think = false; },
        "ask a model that can think first not to");
    run->add_flag("-v,--verbose", options->session.verbose,
                  "describe the model and plan; timings after each answer");
    run->footer(
        std::string("Examples:\n"
                    "  kestrune run -p \"the cat\" --temperature 0\n"
                    "  kestrune run hf://bartowski/Qwen2.5-0.5B-Instruct-GGUF\n"
                    "  kestrune run --backend ollama llama3:8b\n"
                    "  kestrune run model.gguf --tools web_search -p \"News on llama.cpp?\"\n"
                    "  kestrune run big.gguf --rpc 192.168.1.20:50052,192.168.1.21:50052\n\n") +
        kReferences);
    run->callback([run, options, &exit_status] {
        options->session.stream = !options->no_stream;
        refuse_options_the_backend_ignores(*run, options->backend);
        append_piped_input(options->session.prompt);
        if (!options->format.empty()) {
            options->session.config.format = answer_format(options->format);
        }
        if (!options->tools.empty()) {
            options->session.tools = std::make_shared<ToolBox>(make_toolbox(options->tools));
            options->session.config.tools = options->session.tools->specs();
        }
        exit_status = options->backend == "native" ? run_native(*options) : run_on_server(*options);
    });
}

// --- the other model commands --------------------------------------------------------------------

void add_info(CLI::App& app) {
    struct Options {
        std::string ref;
        std::string output_dir;
        bool json = false;
    };
    auto options = std::make_shared<Options>();
    CLI::App* info = app.add_subcommand("info", "describe a model from its GGUF header");
    info->add_option("REF", options->ref, "the model")->required();
    add_output_dir_option(*info, options->output_dir);
    info->add_flag("--json", options->json, "the description as JSON");
    add_verbose_failure_flag(*info);
    info->footer("Example:\n  kestrune info hf://bartowski/Qwen2.5-0.5B-Instruct-GGUF --json");
    info->callback([options] {
        const std::string path = resolve_reference(options->ref, options->output_dir);
        const auto spec = read_model_spec(path);
        if (options->json) {
            print_json(model_spec_json(path, spec));
            return;
        }
        const auto meta = ggufmeta::read_gguf_metadata(path);
        // The printout is this command's result: it goes to standard output.
        const LibraryOutputAsResults to_results;
        ggufmeta::print_model_info(spec, &meta);
    });
}

void add_meta(CLI::App& app) {
    auto path = std::make_shared<std::string>();
    CLI::App* meta = app.add_subcommand("meta", "the whole GGUF metadata map as JSON");
    meta->add_option("PATH", *path, "a GGUF file")->required();
    meta->footer("Example:\n  kestrune meta model.gguf");
    add_verbose_failure_flag(*meta);
    meta->callback([path] {
        try {
            print_json(OrderedJson(ggufmeta::read_gguf_metadata(*path)));
        } catch (const Error& error) {
            auto problem = file_problem(*path);
            if (problem && path->find("://") != std::string::npos) {
                *problem += " (meta reads a local file; kestrune resolve " + *path +
                            " gives the path of the model it names)";
            }
            rethrow_worded(problem, error);
        }
    });
}

void add_resolve(CLI::App& app) {
    struct Options {
        std::string ref;
        std::string output_dir;
    };
    auto options = std::make_shared<Options>();
    CLI::App* resolve =
        app.add_subcommand("resolve", "turn a model reference into a local GGUF path");
    resolve->add_option("REF", options->ref, "the model")->required();
    add_output_dir_option(*resolve, options->output_dir);
    add_verbose_failure_flag(*resolve);
    resolve->footer(std::string("Example:\n  kestrune resolve ollama://llama3:8b\n\n") +
                    kReferences);
    resolve->callback([options] {
        results() << resolve_reference(options->ref, options->output_dir) << std::endl;
    });
}

void add_pull(CLI::App& app) {
    struct Options {
        std::string ref;
        std::string quant = "auto";
        std::string output_dir;
    };
    auto options = std::make_shared<Options>();
    CLI::App* pull = app.add_subcommand("pull", "download a model onto this machine");
    pull->add_option("REF", options->ref, "a catalogue name (kestrune list --catalog), or any REF")
        ->required();
    pull->add_option("--quant", options->quant,
                     "a catalogue model's quantisation; auto fits this machine")
        ->capture_default_str();
    add_output_dir_option(*pull, options->output_dir);
    add_verbose_failure_flag(*pull);
    pull->footer(std::string("Examples:\n"
                             "  kestrune pull qwen2.5:0.5b --quant Q4_K_M\n"
                             "  kestrune pull hf://bartowski/Qwen2.5-0.5B-Instruct-GGUF\n\n") +
                 kReferences);
    pull->callback([options] {
        if (!in_catalogue(options->ref)) {
            results() << resolve_reference(options->ref, options->output_dir) << std::endl;
            return;
        }
        results() << pull_catalogue_model(options->ref, options->quant) << std::endl;
    });
}

std::string text_of(const OrderedJson& record, const char* key) {
    if (!record.contains(key)) {
        return "";
    }
    const auto& value = record[key];
    return value.is_string() ? value.get<std::string>() : value.dump();
}

void print_records(const std::vector<OrderedJson>& records, bool json, const Row& header,
                   const std::vector<const char*>& keys) {
    if (json) {
        print_json(OrderedJson(records));
        return;
    }
    std::vector<Row> rows;
    for (const auto& record : records) {
        Row row;
        for (const char* key : keys) {
            row.push_back(key == std::string("size_mb") ? human_size(record.value("size_mb", 0.0))
                                                        : text_of(record, key));
        }
        rows.push_back(std::move(row));
    }
    print_table(results(), header, rows);
}

void add_list(CLI::App& app) {
    struct Options {
        bool catalog = false;
        bool json = false;
    };
    auto options = std::make_shared<Options>();
    CLI::App* list = app.add_subcommand(
        "list", "the models on this machine (Kestrune's cache and other runtimes' stores)");
    list->add_flag("--catalog", options->catalog, "what can be pulled instead");
    list->add_flag("--json", options->json, "the records as JSON");
    list->footer(
        "Examples:\n  kestrune list\n  kestrune list --catalog --json\n\n"
        "STORE: kestrune (its cache, ~/.cache/kestrune/models), ollama, lmstudio, huggingface\n"
        "(the hub cache) or llamacpp; run opens each by its path, or by NAME for kestrune's.");
    list->callback([options] {
        if (options->catalog) {
            print_records(registry::RegistryStore::catalog(), options->json, {"NAME", "REPO"},
                          {"name", "repo"});
            return;
        }
        std::vector<OrderedJson> models;
        for (const auto& model : inventory::list_models()) {
            models.emplace_back(model);
        }
        if (models.empty() && !options->json) {
            std::cerr << "  No models on this machine yet (kestrune list --catalog shows what "
                         "kestrune pull can fetch)\n";
            return;
        }
        print_records(models, options->json, {"NAME", "QUANT", "SIZE", "PATH", "STORE"},
                      {"name", "quant", "size_mb", "path", "store"});
    });
}

// What rm says of a name that only other runtimes' stores hold.
[[noreturn]] void refuse_other_store(const std::string& name) {
    for (const auto& model : inventory::list_models()) {
        if (inventory::answers_to(model, name)) {
            throw InvalidValueError(name + " is in the " + model.store + " store (" + model.path +
                                    "), not Kestrune's cache: kestrune rm removes only what "
                                    "Kestrune downloaded");
        }
    }
    throw NotFoundError("No pulled model named " + name +
                        " in Kestrune's cache (kestrune list shows them)");
}

void add_rm(CLI::App& app) {
    auto name = std::make_shared<std::string>();
    CLI::App* rm = app.add_subcommand("rm", "remove a model from Kestrune's cache");
    rm->add_option("NAME", *name, "as kestrune list shows it, or its file name")->required();
    rm->footer(
        "Example:\n  kestrune rm qwen2.5:0.5b\n\n"
        "Only Kestrune's own cache is touched: models of other runtimes' stores are left to them.");
    rm->callback([name] {
        const auto removed = inventory::remove_from_cache(*name);
        if (removed.empty()) {
            refuse_other_store(*name);
        }
        for (const auto& path : removed) {
            std::cerr << "  Removed " << path << '\n';
        }
    });
}

void add_search(CLI::App& app) {
    struct Options {
        std::string query;
        bool json = false;
    };
    auto options = std::make_shared<Options>();
    CLI::App* search =
        app.add_subcommand("search", "search the catalogue and the Hugging Face hub");
    search->add_option("QUERY", options->query, "words of the model's name")->required();
    search->add_flag("--json", options->json, "the records as JSON");
    search->footer("Example:\n  kestrune search qwen");
    search->callback([options] {
        print_records(downloader::search_models(options->query), options->json,
                      {"NAME", "SOURCE", "REPO"}, {"name", "source", "repo"});
    });
}

}  // namespace

std::string default_model_path() {
    std::error_code ignored;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", ignored);
    const auto installed = program.parent_path().parent_path() / KESTRUNE_INSTALLED_MODEL;
    if (!program.empty() && std::filesystem::exists(installed)) {
        return installed.string();
    }
    return KESTRUNE_BUILD_TREE_MODEL;
}

void add_output_dir_option(CLI::App& command, std::string& output_dir) {
    // Downloads land where pulled models live, so the next run finds them.
    output_dir = registry::RegistryStore().store_dir();
    command.add_option("--output-dir", output_dir, "where downloads land")->capture_default_str();
}

void add_model_commands(CLI::App& app, int& exit_status) {
    add_run(app, exit_status);
    add_info(app);
    add_meta(app);
    add_resolve(app);
    add_pull(app);
    add_list(app);
    add_rm(app);
    add_search(app);
}

}  // namespace kestrune::cli
