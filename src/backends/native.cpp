#include "kestrune/backends/native.hpp"

#include <algorithm>
#include <filesystem>
#include <thread>
#include <utility>

#include "core/json.hpp"
#include "core/output.hpp"
#include "inference/model.hpp"
#include "inference/output_format.hpp"
#include "inference/reply.hpp"
#include "kestrune/cache/kvquant.hpp"
#include "kestrune/core/errors.hpp"
#include "kestrune/engine/speculative.hpp"
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

const std::shared_ptr<inference::Model>& require_model(
    const std::shared_ptr<inference::Model>& model) {
    if (!model) {
        throw RuntimeFailure("No model loaded");
    }
    return model;
}

inference::Sampling sampling(const GenerationConfig& config) {
    return {.max_tokens = config.max_tokens,
            .temperature = config.temperature,
            .top_p = config.top_p,
            .top_k = config.top_k,
            .repeat_penalty = config.repeat_penalty,
            .grammar = inference::output_format::grammar_of(config.format)};
}

inference::ChatRequest chat_request(Messages messages, const GenerationConfig& config) {
    return {.messages = std::move(messages),
            .sampling = sampling(config),
            .tools = config.tools,
            .think = config.think};
}

TokenCounts counts_of(const inference::GenerationSummary& summary) {
    return {.prompt_tokens = summary.prompt_tokens,
            .evaluated_tokens = summary.evaluated_tokens,
            .generated_tokens = summary.completion_tokens};
}

// The KV cache type asked for by name; a name this build does not know is said, not run as
// f16 in silence.
KvType requested_kv_type(const std::string& name) {
    KvType type = kv_cache_type(name);
    if (type.name != name) {
        output::print("  Warning: KV cache type \"" + name +
                      "\" is not known here; the KV cache stays f16\n");
    }
    return type;
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

struct NativeBackend::State {
    // Shared with the streams running on it.
    std::shared_ptr<inference::Model> model;
    std::string model_path;
    JsonValue config;
    std::optional<cache::AttentionSinkEvictor> evictor;
    speculative::SpeculativeStats speculative_stats;
    TokenCounts last_counts;
    bool last_stream_speculative = false;  // which counts last_token_counts() reads
};

NativeBackend::NativeBackend() : state_(std::make_unique<State>()) {}
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

bool NativeBackend::is_loaded() const {
    return state_->model != nullptr;
}

std::shared_ptr<inference::Model> NativeBackend::model() const {
    return state_->model;
}

void NativeBackend::load(const std::string& model_ref, const LoadOptions& options) {
    llama::require_binding();
    const int n_threads = options.n_threads > 0 ? options.n_threads : default_thread_count();
    state_->model_path = model_ref;
    state_->config = Json{{"n_ctx", options.n_ctx},
                          {"n_gpu_layers", options.n_gpu_layers},
                          {"n_threads", n_threads},
                          {"kv_type_k", options.kv_type_k}};
    inference::ModelOptions settings{.path = model_ref,
                                     .n_gpu_layers = options.n_gpu_layers,
                                     .n_threads = n_threads,
                                     .rpc_workers = options.rpc_workers,
                                     .scheduler = {.parallel = 1,
                                                   .n_ctx = options.n_ctx,
                                                   .n_threads = n_threads,
                                                   .on_callers_thread = true}};
    if (options.kv_type_k != "f16" && options.kv_type_v != "f16") {
        settings.type_k = requested_kv_type(options.kv_type_k);
        settings.type_v = requested_kv_type(options.kv_type_v);
    }
    // A worker serves one client at a time: a model still holding it would keep this load
    // waiting.
    if (!options.rpc_workers.empty()) {
        state_->model.reset();
    }
    state_->model = std::make_shared<inference::Model>(settings);
    if (options.n_ctx >= kEvictionThreshold) {
        state_->evictor.emplace(
            cache::EvictionConfig{.sink_tokens = 4,
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
    inference::Reply reply(require_model(state_->model),
                           chat_request(messages, config.value_or(GenerationConfig{})));
    ChatReply whole = reply.rest();
    state_->last_stream_speculative = false;
    state_->last_counts = counts_of(reply.summary());
    return whole;
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
    inference::Reply reply(require_model(state_->model), chat_request(std::move(messages), config));
    state_->last_stream_speculative = false;
    while (auto delta = reply.next_delta()) {
        // Counted as the stream is read.
        state_->last_counts = {.prompt_tokens = reply.prompt_tokens(),
                               .generated_tokens = reply.tokens_read()};
        if (!delta->reasoning.empty() && on_reasoning) {
            on_reasoning(delta->reasoning);
        }
        if (!delta->content.empty()) {
            co_yield std::move(delta->content);
        }
    }
    state_->last_counts = counts_of(reply.summary());
}

TextStream NativeBackend::stream_speculative(NativeBackend& draft_backend, const Messages& messages,
                                             const std::optional<GenerationConfig>& config, int k) {
    // A draft proposes free text: an answer kept to a format is decoded without it.
    if (config && !config->format.empty()) {
        return stream_pieces(messages, *config, [](const std::string&) {});
    }
    return speculative_pieces(draft_backend, messages, config.value_or(GenerationConfig{}), k);
}

TextStream NativeBackend::speculative_pieces(NativeBackend& draft_backend, Messages messages,
                                             GenerationConfig config, int k) {
    require_model(state_->model);
    state_->last_stream_speculative = true;
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
                                                        &state_->speculative_stats);
    while (auto piece = pieces.next()) {
        co_yield std::move(*piece);
    }
}

void NativeBackend::unload() {
    state_->model.reset();
}

BackendStats NativeBackend::stats() const {
    const auto context = state_->config->find("n_ctx");
    return {.model_name = std::filesystem::path(state_->model_path).filename().string(),
            .context_max = context != state_->config->end() ? context->get<int>() : 0};
}

int NativeBackend::count_prompt_tokens(const Messages& messages) const {
    const auto& weights = require_model(state_->model)->weights();
    return static_cast<int>(weights.tokenize(weights.format_chat(messages)).size());
}

std::vector<std::vector<float>> NativeBackend::embed(const std::vector<std::string>& texts) {
    const auto& model = require_model(state_->model);
    std::vector<std::vector<float>> vectors;
    for (const std::string& text : texts) {
        vectors.push_back(model->embed(model->weights().tokenize(text), false).vector);
    }
    return vectors;
}

std::string NativeBackend::format_prompt(const Messages& messages,
                                         const std::optional<GenerationConfig>& config) const {
    const auto& weights = require_model(state_->model)->weights();
    if (!config) {
        return weights.format_chat(messages);
    }
    return weights.render_chat(messages, inference::template_options(config->tools, config->think))
        .prompt;
}

ChatTemplateUse NativeBackend::chat_template_use(
    const Messages& messages, const std::optional<GenerationConfig>& config) const {
    const auto& weights = require_model(state_->model)->weights();
    const GenerationConfig settings = config.value_or(GenerationConfig{});
    const auto rendered =
        weights.render_chat(messages, inference::template_options(settings.tools, settings.think));
    return {.own_template = rendered.path == platform::chat_template::Path::model_template,
            .description = platform::chat_template::describe(rendered)};
}

TokenCounts NativeBackend::last_token_counts() const {
    require_model(state_->model);
    if (state_->last_stream_speculative) {
        const speculative::SpeculativeStats& stats = state_->speculative_stats;
        return {.prompt_tokens = stats.prompt_tokens,
                .evaluated_tokens = stats.prompt_evaluated,
                .generated_tokens = stats.generated};
    }
    return state_->last_counts;
}

const speculative::SpeculativeStats& NativeBackend::last_speculative_stats() const {
    return state_->speculative_stats;
}

std::string NativeBackend::kv_type_in_use() const {
    return require_model(state_->model)->kv_type_in_use();
}

const std::optional<engine::InferencePlan>& NativeBackend::worker_split() const {
    static const std::optional<engine::InferencePlan> none;
    return state_->model ? state_->model->worker_split() : none;
}

const JsonValue& NativeBackend::load_settings() const {
    return state_->config;
}

const cache::AttentionSinkEvictor* NativeBackend::evictor() const {
    return state_->evictor ? &*state_->evictor : nullptr;
}

}  // namespace kestrune::backends
