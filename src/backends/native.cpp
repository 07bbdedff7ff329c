#include "kestrune/backends/native.hpp"

#include <algorithm>
#include <filesystem>
#include <thread>
#include <utility>

#include "core/json.hpp"
#include "kestrune/cache/kvquant.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/hardware.hpp"
#include "kestrune/engine/model_info.hpp"
#include "kestrune/engine/modelcheck.hpp"
#include "kestrune/engine/speculative.hpp"
#include "kestrune/engine/workers.hpp"
#include "platform/llama/binding.hpp"
#include "platform/llama/library.hpp"
#include "platform/os/files.hpp"
#include "platform/os/system.hpp"
#include "registry/hub.hpp"

namespace kestrune::backends {

namespace {

namespace files = platform::files;
namespace llama = platform::llama;

constexpr const char* kBindingName = "llama.cpp";
constexpr const char* kInstallHint =
    "llama.cpp is not available in this build; install it with scripts/setup and rebuild";
constexpr int kEvictionThreshold = 2048;

int default_thread_count() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 4 : static_cast<int>(count);
}

void require_model(const std::shared_ptr<llama::Llama>& llm) {
    if (!llm) {
        throw RuntimeFailure("No model loaded");
    }
}

llama::Sampling sampling(const GenerationConfig& config) {
    return {.max_tokens = config.max_tokens,
            .temperature = config.temperature,
            .top_p = config.top_p,
            .top_k = config.top_k,
            .repeat_penalty = config.repeat_penalty};
}

platform::chat_template::Options template_options(const GenerationConfig& config) {
    return {.tools = config.tools, .enable_thinking = config.think.value_or(true)};
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end = text.find(separator); end != std::string::npos;
         end = text.find(separator, start)) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// A quantised cache is asked for with the types; a binding that refuses them builds the model
// with its default cache instead.
std::unique_ptr<llama::Llama> build_with_kv_types(llama::Params params,
                                                  const LoadOptions& options) {
    params.type_k = kv_cache_type(options.kv_type_k);
    params.type_v = kv_cache_type(options.kv_type_v);
    try {
        return llama::load(params);
    } catch (const llama::KvTypeRejected&) {
        params.type_k.reset();
        params.type_v.reset();
        return llama::load(params);
    }
}

// Every worker is asked for its free memory before anything is loaded: one that cannot be
// reached is refused by name, with nothing committed.
engine::InferencePlan split_for_workers(const std::string& model_path, const LoadOptions& options) {
    const auto spec = ggufmeta::gguf_to_model_spec(model_path);
    const int layers = static_cast<int>(std::clamp<std::int64_t>(spec.n_layers, 0, INT32_MAX));
    const bool gpu = engine::detect_hardware().total_vram_mb > 0;
    const engine::InferencePlan local{.n_gpu_layers = !gpu ? 0
                                                      : options.n_gpu_layers < 0
                                                          ? layers
                                                          : options.n_gpu_layers,
                                      .max_context = options.n_ctx};
    return engine::plan_across_workers(local, spec, options.rpc_workers);
}

}  // namespace

std::vector<std::string> model_search_dirs(std::string_view system_name) {
    std::vector<std::string> dirs = {files::expand_home("~/models"),
                                     files::expand_home("~/.cache/kestrune/models")};
    if (system_name == "Windows") {
        dirs.insert(dirs.end(), {"D:/models", "E:/models", "C:/models"});
    } else {
        dirs.insert(dirs.end(), {"/mnt/d/models", "/mnt/e/models", "/models"});
    }
    return dirs;
}

llama::KvType kv_cache_type(std::string_view type_name) {
    const int id = kvquant::get_kv_type_id(type_name);
    // Every unknown name comes back as f16's identifier; name it as the library knows it.
    const bool known = id != 1 || type_name == "f16";
    return {known ? std::string(type_name) : std::string("f16"), id};
}

NativeBackend::NativeBackend() = default;
NativeBackend::NativeBackend(NativeBackend&&) noexcept = default;
NativeBackend& NativeBackend::operator=(NativeBackend&&) noexcept = default;
NativeBackend::~NativeBackend() = default;

BackendInfo NativeBackend::detect() {
    if (!llama::binding_available()) {
        return {.name = name(), .version = "", .available = false, .details = kInstallHint};
    }
    std::string version = llama::version();
    return {.name = name(),
            .version = version.empty() ? "unknown" : std::move(version),
            .available = true,
            .details = std::string(kBindingName) + " (direct GGUF inference)"};
}

std::vector<ModelEntry> NativeBackend::list_models() {
    std::vector<ModelEntry> models;
    for (const auto& dir : model_search_dirs(platform::system::system_name())) {
        // A directory that does not exist yields nothing.
        for (auto& path : files::find_gguf(dir, "")) {
            ModelEntry entry;
            entry.name = std::filesystem::path(path).filename().string();
            entry.size_mb = static_cast<double>(files::file_size_mb(path));
            entry.backend = name();
            entry.path = std::move(path);
            models.push_back(std::move(entry));
        }
    }
    return models;
}

std::string NativeBackend::pull(const std::string& model_name,
                                const ProgressCallback& /*progress_callback*/) {
    if (model_name.find('/') == std::string::npos) {
        return model_name;
    }
    const auto parts = split(model_name, '/');
    const std::string repo = parts[0] + "/" + parts[1];
    // Everything after the repository is the file's path in it, folders included.
    const std::string filename =
        parts.size() > 2 ? model_name.substr(repo.size() + 1) : std::string();
    if (filename.empty()) {
        return model_name;
    }
    registry::hub::DownloadOptions options;
    options.resume = true;
    return registry::hub::hf_hub_download(repo, filename, options);
}

void NativeBackend::load(const std::string& model_ref, const LoadOptions& options) {
    llama::require_binding();
    const int n_threads = options.n_threads > 0 ? options.n_threads : default_thread_count();
    _model_path = model_ref;
    _config = Json{{"n_ctx", options.n_ctx},
                   {"n_gpu_layers", options.n_gpu_layers},
                   {"n_threads", n_threads},
                   {"kv_type_k", options.kv_type_k}};

    llama::Params params{.model_path = model_ref,
                         .n_ctx = options.n_ctx,
                         .n_gpu_layers = options.n_gpu_layers,
                         .n_threads = n_threads,
                         .verbose = false};
    // llama.cpp aborts the process on some header values; refuse those files first.
    modelcheck::check_model_file(model_ref);
    _worker_split.reset();
    if (!options.rpc_workers.empty()) {
        // A worker serves one client at a time: a model still holding it would keep this load
        // waiting.
        _llm.reset();
        _worker_split = split_for_workers(model_ref, options);
        params.n_gpu_layers = _worker_split->n_gpu_layers;
        for (const auto& worker : _worker_split->workers) {
            params.workers.push_back({.endpoint = worker.endpoint, .n_layers = worker.n_layers});
        }
    }
    const bool quantised_cache = options.kv_type_k != "f16" && options.kv_type_v != "f16";
    _llm = quantised_cache ? build_with_kv_types(params, options) : llama::load(params);

    if (options.n_ctx >= kEvictionThreshold) {
        _evictor.emplace(cache::EvictionConfig{.sink_tokens = 4,
                                               .window_size = std::min(options.n_ctx / 4, 512),
                                               .max_cache_tokens = options.n_ctx});
    }
}

std::string NativeBackend::chat(const Messages& messages,
                                const std::optional<GenerationConfig>& config) {
    return chat_reply(messages, config).content;
}

ChatReply NativeBackend::chat_reply(const Messages& messages,
                                    const std::optional<GenerationConfig>& config) {
    require_model(_llm);
    _last_stream_speculative = false;
    const GenerationConfig settings = config.value_or(GenerationConfig{});
    llama::Completion completion =
        _llm->create_chat_completion(messages, sampling(settings), template_options(settings));
    return {.content = std::move(completion.text),
            .reasoning = std::move(completion.reasoning),
            .tool_calls = std::move(completion.tool_calls)};
}

TextStream NativeBackend::stream(const Messages& messages,
                                 const std::optional<GenerationConfig>& config) {
    // The reasoning is not part of the answer.
    return stream_pieces(messages, config.value_or(GenerationConfig{}), [](const std::string&) {});
}

TextStream NativeBackend::stream_answer(const Messages& messages,
                                        const std::optional<GenerationConfig>& config,
                                        std::function<void(const std::string&)> on_reasoning) {
    return stream_pieces(messages, config.value_or(GenerationConfig{}), std::move(on_reasoning));
}

TextStream NativeBackend::stream_pieces(Messages messages, GenerationConfig config,
                                        std::function<void(const std::string&)> on_reasoning) {
    const std::shared_ptr<llama::Llama> llm = _llm;
    require_model(llm);
    _last_stream_speculative = false;
    auto pieces = llm->create_chat_completion_stream(
        std::move(messages), sampling(config), template_options(config), std::move(on_reasoning));
    while (auto piece = pieces.next()) {
        co_yield std::move(*piece);
    }
}

TextStream NativeBackend::stream_speculative(NativeBackend& draft_backend, const Messages& messages,
                                             const std::optional<GenerationConfig>& config, int k) {
    return speculative_pieces(draft_backend, messages, config.value_or(GenerationConfig{}), k);
}

TextStream NativeBackend::speculative_pieces(NativeBackend& draft_backend, Messages messages,
                                             GenerationConfig config, int k) {
    require_model(_llm);
    _last_stream_speculative = true;
    // The sampling settings go along with the rest: without them the answer would differ
    // from a plain stream's (a dropped repeat penalty changes even greedy answers).
    auto pieces =
        speculative::speculative_generate_from_backends(*this, draft_backend, std::move(messages),
                                                        {.max_tokens = config.max_tokens,
                                                         .k = k,
                                                         .temperature = config.temperature,
                                                         .top_p = config.top_p,
                                                         .top_k = config.top_k,
                                                         .repeat_penalty = config.repeat_penalty},
                                                        &_speculative_stats);
    while (auto piece = pieces.next()) {
        co_yield std::move(*piece);
    }
}

void NativeBackend::unload() {
    _llm.reset();
}

BackendStats NativeBackend::stats() const {
    const auto context = _config->find("n_ctx");
    return {.model_name = std::filesystem::path(_model_path).filename().string(),
            .context_max = context != _config->end() ? context->get<int>() : 0};
}

int NativeBackend::count_prompt_tokens(const Messages& messages) const {
    require_model(_llm);
    return static_cast<int>(_llm->tokenize(_llm->format_chat(messages)).size());
}

std::string NativeBackend::format_prompt(const Messages& messages,
                                         const std::optional<GenerationConfig>& config) const {
    require_model(_llm);
    if (!config) {
        return _llm->format_chat(messages);
    }
    return _llm->render_chat(messages, template_options(*config)).prompt;
}

ChatTemplateUse NativeBackend::chat_template_use(
    const Messages& messages, const std::optional<GenerationConfig>& config) const {
    require_model(_llm);
    const auto rendered =
        _llm->render_chat(messages, template_options(config.value_or(GenerationConfig{})));
    return {.own_template = rendered.path == platform::chat_template::Path::model_template,
            .description = platform::chat_template::describe(rendered)};
}

TokenCounts NativeBackend::last_token_counts() const {
    require_model(_llm);
    if (_last_stream_speculative) {
        return {.prompt_tokens = _speculative_stats.prompt_tokens,
                .evaluated_tokens = _speculative_stats.prompt_evaluated,
                .generated_tokens = _speculative_stats.generated};
    }
    const llama::PromptUse prompt = _llm->last_prompt_use();
    return {.prompt_tokens = prompt.prompt_tokens,
            .evaluated_tokens = prompt.evaluated_tokens,
            .generated_tokens = _llm->last_completion_tokens()};
}

std::string NativeBackend::kv_type_in_use() const {
    require_model(_llm);
    const auto& type_k = _llm->params().type_k;
    return type_k ? type_k->name : "f16";
}

}  // namespace kestrune::backends
