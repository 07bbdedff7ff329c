#include "platform/llama/binding.hpp"

#include <ggml.h>
#include <llama.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>

#include "platform/llama/library.hpp"
#include "platform/llama/rpc_probe.hpp"
#include "platform/llama/rpc_relay.hpp"
#include "platform/llama/rpc_worker.hpp"
#include "platform/os/system.hpp"

namespace kestrune::platform::llama {

namespace {

// Set while a test makes the binding answer "missing" on this thread.
thread_local int missing_depth = 0;

// A batch of up to `capacity` tokens of sequence 0.
class Batch {
  public:
    explicit Batch(std::int32_t capacity) : batch_(llama_batch_init(capacity, 0, 1)) {}
    ~Batch() { llama_batch_free(batch_); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void fill(std::span<const Token> tokens, llama_pos first_pos, bool all_logits,
              bool last_logits) {
        batch_.n_tokens = static_cast<std::int32_t>(tokens.size());
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            batch_.token[i] = tokens[i];
            batch_.pos[i] = first_pos + static_cast<llama_pos>(i);
            batch_.n_seq_id[i] = 1;
            batch_.seq_id[i][0] = 0;
            batch_.logits[i] = static_cast<std::int8_t>(all_logits);
        }
        if (last_logits && !tokens.empty()) {
            batch_.logits[tokens.size() - 1] = 1;
        }
    }
    const llama_batch& get() const { return batch_; }

  private:
    llama_batch batch_;
};

// The KV cache types llama.cpp can store keys and values in.
bool usable_for_kv_cache(ggml_type type) {
    switch (type) {
        case GGML_TYPE_F32:
        case GGML_TYPE_F16:
        case GGML_TYPE_BF16:
        case GGML_TYPE_Q8_0:
        case GGML_TYPE_Q4_0:
        case GGML_TYPE_Q4_1:
        case GGML_TYPE_Q5_0:
        case GGML_TYPE_Q5_1:
        case GGML_TYPE_IQ4_NL:
            return true;
        default:
            return false;
    }
}

// The library's type for `requested`, or KvTypeRejected: the identifier must exist, carry the
// requested name in this build (identifiers are reused across builds), and suit a KV cache.
ggml_type checked_kv_type(const KvType& requested) {
    const std::string label =
        "KV cache type \"" + requested.name + "\" (" + std::to_string(requested.id) + ")";
    if (requested.id < 0 || requested.id >= GGML_TYPE_COUNT) {
        throw KvTypeRejected(label + " is not known to this llama.cpp build");
    }
    const auto type = static_cast<ggml_type>(requested.id);
    const char* known = ggml_type_name(type);
    if (known == nullptr || requested.name != known) {
        throw KvTypeRejected(label + " is called \"" + (known != nullptr ? known : "") +
                             "\" in this llama.cpp build");
    }
    if (!usable_for_kv_cache(type)) {
        throw KvTypeRejected(label + " cannot be used for the KV cache");
    }
    return type;
}

// The share of `total` items the index-th of `count` takers gets, the remainder going first.
int share_of(int total, std::size_t index, std::size_t count) {
    const int takers = static_cast<int>(count);
    return total / takers + (static_cast<int>(index) < total % takers ? 1 : 0);
}

std::uint32_t resolve_threads(int requested) {
    return static_cast<std::uint32_t>(requested > 0 ? requested : system::cpu_count());
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void Llama::ModelFree::operator()(llama_model* model) const {
    llama_model_free(model);
}
void Llama::ContextFree::operator()(llama_context* context) const {
    llama_free(context);
}

Llama::Llama(const Params& params) : params_(params) {
    initialise_library();
    QuietScope quiet(!params_.verbose);
    if (!std::filesystem::is_regular_file(params_.model_path)) {
        throw NotFoundError("Model path does not exist: " + params_.model_path);
    }
    std::optional<ggml_type> type_k;
    std::optional<ggml_type> type_v;
    if (params_.type_k) {
        type_k = checked_kv_type(*params_.type_k);
    }
    if (params_.type_v) {
        type_v = checked_kv_type(*params_.type_v);
    }

    llama_model_params model_params = llama_model_default_params();
    model_params.n_gpu_layers = params_.n_gpu_layers;
    Placement placement;
    if (!params_.workers.empty()) {
        placement = place_on_workers();
        model_params.devices = placement.devices.data();
        model_params.tensor_split = placement.split.data();
        model_params.n_gpu_layers = placement.offloaded;
    }
    model_.reset(llama_model_load_from_file(params_.model_path.c_str(), model_params));
    if (!model_) {
        check_workers();
        throw InvalidValueError("Failed to load model from file: " + params_.model_path);
    }
    check_workers();
    vocab_ = llama_model_get_vocab(model_.get());
    templates_ = std::make_unique<chat_template::Templates>(model_.get());

    llama_context_params context_params = llama_context_default_params();
    context_params.n_ctx = static_cast<std::uint32_t>(std::max(params_.n_ctx, 0));
    const std::uint32_t n_ctx =
        context_params.n_ctx != 0
            ? context_params.n_ctx
            : static_cast<std::uint32_t>(llama_model_n_ctx_train(model_.get()));
    context_params.n_batch =
        std::min(static_cast<std::uint32_t>(std::max(params_.n_batch, 1)), n_ctx);
    context_params.n_ubatch = std::min(context_params.n_ubatch, context_params.n_batch);
    context_params.n_threads = static_cast<std::int32_t>(resolve_threads(params_.n_threads));
    context_params.n_threads_batch = static_cast<std::int32_t>(
        params_.n_threads_batch > 0 ? resolve_threads(params_.n_threads_batch)
                                    : resolve_threads(params_.n_threads));
    context_params.no_perf = true;
    if (type_k) {
        context_params.type_k = *type_k;
    }
    if (type_v) {
        context_params.type_v = *type_v;
        // A quantised V cache only works with flash attention.
        if (ggml_is_quantized(*type_v)) {
            context_params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_ENABLED;
        }
    }
    context_.reset(llama_init_from_model(model_.get(), context_params));
    if (!context_) {
        check_workers();
        if (type_k || type_v) {
            throw KvTypeRejected("llama.cpp cannot build a context with the KV cache types " +
                                 (params_.type_k ? params_.type_k->name : std::string("f16")) +
                                 "/" +
                                 (params_.type_v ? params_.type_v->name : std::string("f16")));
        }
        throw RuntimeFailure("Failed to create the llama.cpp context for " + params_.model_path);
    }
    confirm_workers(placement.devices);
}

// The library sends weights without waiting for replies: one question to every worker, answered
// after all that was sent before it, tells whether each took everything.
void Llama::confirm_workers(const std::vector<ggml_backend_dev_t>& devices) const {
    for (ggml_backend_dev_t device : devices) {
        if (device != nullptr) {
            std::size_t free_bytes = 0;
            std::size_t total_bytes = 0;
            ggml_backend_dev_memory(device, &free_bytes, &total_bytes);
        }
    }
    check_workers();
}

// Every worker is reached through a relay of its own, after answering a probe: an unreachable
// one is refused here, before the library (which would abort) ever connects to it.
Llama::Placement Llama::place_on_workers() {
    Placement placement;
    std::vector<ggml_backend_dev_t> gpus;
    for (std::size_t index = 0; index < ggml_backend_dev_count(); ++index) {
        ggml_backend_dev_t device = ggml_backend_dev_get(index);
        if (ggml_backend_dev_type(device) == GGML_BACKEND_DEVICE_TYPE_GPU) {
            gpus.push_back(device);
        }
    }
    const int local_gpu_layers = gpus.empty() ? 0 : std::max(params_.n_gpu_layers, 0);
    std::vector<int> layers;
    for (std::size_t i = 0; local_gpu_layers > 0 && i < gpus.size(); ++i) {
        placement.devices.push_back(gpus[i]);
        layers.push_back(share_of(local_gpu_layers, i, gpus.size()));
    }
    for (const WorkerLayers& worker : params_.workers) {
        const rpc::Endpoint endpoint = rpc::parse_endpoint(worker.endpoint);
        rpc::probe_worker(endpoint);
        relays_.push_back(std::make_unique<rpc::Relay>(endpoint));
        const auto devices = rpc::worker_devices(relays_.back()->endpoint());
        check_workers();
        if (devices.empty()) {
            throw RuntimeFailure("RPC worker " + worker.endpoint + " offers no device");
        }
        for (std::size_t i = 0; i < devices.size(); ++i) {
            placement.devices.push_back(devices[i]);
            layers.push_back(share_of(worker.n_layers, i, devices.size()));
        }
    }
    if (layers.size() > llama_max_devices()) {
        // The library's split has a slot for each of its first devices only: the rest of the
        // layers would be placed nowhere.
        throw RuntimeFailure("This split spans " + std::to_string(layers.size()) +
                             " devices; llama.cpp places a model on at most " +
                             std::to_string(llama_max_devices()));
    }
    // The output layer is the last slot the library places: it goes with the last device.
    layers.back() += 1;
    placement.devices.push_back(nullptr);
    placement.split.assign(llama_max_devices(), 0.0F);
    for (std::size_t i = 0; i < layers.size(); ++i) {
        placement.split[i] = static_cast<float>(layers[i]);
        placement.offloaded += layers[i];
    }
    return placement;
}

std::optional<std::string> Llama::worker_failure() const {
    for (const auto& relay : relays_) {
        if (auto failure = relay->failure()) {
            return failure;
        }
    }
    return std::nullopt;
}

void Llama::check_workers() const {
    if (auto failure = worker_failure()) {
        throw RuntimeFailure(*failure);
    }
}

Llama::Llama(Llama&&) noexcept = default;
Llama& Llama::operator=(Llama&&) noexcept = default;

Llama::~Llama() {
    QuietScope quiet(!params_.verbose);
    context_.reset();
    model_.reset();
}

// --- chats ---------------------------------------------------------------------------------

std::string Llama::format_chat(const Messages& messages) const {
    return render_chat(messages).prompt;
}

chat_template::Rendered Llama::render_chat(const Messages& messages,
                                           const chat_template::Options& options) const {
    QuietScope quiet(!params_.verbose);
    return templates_->render(messages, options);
}

// --- the context -----------------------------------------------------------------------------

int Llama::n_ctx() const {
    return static_cast<int>(llama_n_ctx(context_.get()));
}

bool Llama::kv_cache_seq_rm(int seq_id, int p0, int p1) {
    QuietScope quiet(!params_.verbose);
    if (!llama_memory_seq_rm(llama_get_memory(context_.get()), seq_id, p0, p1)) {
        return false;
    }
    if (seq_id == 0) {
        const auto size = static_cast<int>(tokens_.size());
        const int first = std::clamp(p0 < 0 ? 0 : p0, 0, size);
        const int last = std::clamp(p1 < 0 ? size : p1, first, size);
        tokens_.erase(tokens_.begin() + first, tokens_.begin() + last);
    }
    return true;
}

void Llama::kv_cache_seq_add(int seq_id, int p0, int p1, int delta) {
    // The library asserts on a shift the cache cannot do; refuse it here instead.
    if (!can_shift()) {
        throw RuntimeFailure("This context cannot shift KV cache positions");
    }
    QuietScope quiet(!params_.verbose);
    llama_memory_seq_add(llama_get_memory(context_.get()), seq_id, p0, p1, delta);
}

bool Llama::can_shift() const {
    return llama_memory_can_shift(llama_get_memory(context_.get()));
}

int Llama::seq_pos_max(int seq_id) const {
    return llama_memory_seq_pos_max(llama_get_memory(context_.get()), seq_id);
}

// --- token level -----------------------------------------------------------------------------

std::vector<Token> Llama::tokenize(std::string_view text, bool add_special,
                                   bool parse_special) const {
    std::vector<Token> tokens(text.size() + 2);
    auto run = [&] {
        return llama_tokenize(vocab_, text.data(), static_cast<std::int32_t>(text.size()),
                              tokens.data(), static_cast<std::int32_t>(tokens.size()), add_special,
                              parse_special);
    };
    int count = run();
    if (count < 0) {
        tokens.resize(static_cast<std::size_t>(-count));
        count = run();
    }
    if (count < 0) {
        throw InvalidValueError("Cannot tokenize a text of " + std::to_string(text.size()) +
                                " bytes");
    }
    tokens.resize(static_cast<std::size_t>(count));
    return tokens;
}

std::string Llama::token_to_piece(Token token) const {
    std::string piece(32, '\0');
    int length = llama_token_to_piece(vocab_, token, piece.data(),
                                      static_cast<std::int32_t>(piece.size()), 0, false);
    if (length < 0) {
        piece.resize(static_cast<std::size_t>(-length));
        length = llama_token_to_piece(vocab_, token, piece.data(),
                                      static_cast<std::int32_t>(piece.size()), 0, false);
    }
    piece.resize(static_cast<std::size_t>(std::max(length, 0)));
    return piece;
}

std::string Llama::detokenize(std::span<const Token> tokens) const {
    std::string text;
    for (const Token token : tokens) {
        text += token_to_piece(token);
    }
    return text;
}

bool Llama::generates_text() const {
    return llama_get_memory(context_.get()) != nullptr;
}

int Llama::n_layers() const {
    return llama_model_n_layer(model_.get());
}

int Llama::n_vocab() const {
    return llama_vocab_n_tokens(vocab_);
}

bool Llama::is_eog(Token token) const {
    return llama_vocab_is_eog(vocab_, token);
}

std::uint64_t Llama::vocab_fingerprint() const {
    // FNV-1a over every token text, each followed by a separator byte.
    std::uint64_t hash = 14695981039346656037ULL;
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    };
    for (Token token = 0; token < n_vocab(); ++token) {
        for (const char c : std::string_view(llama_vocab_get_text(vocab_, token))) {
            mix(static_cast<unsigned char>(c));
        }
        mix(0xFF);
    }
    return hash;
}

void Llama::check_fits(std::size_t n_total) const {
    if (n_total > static_cast<std::size_t>(n_ctx())) {
        throw InvalidValueError("Requested tokens (" + std::to_string(n_total) +
                                ") exceed context window of " + std::to_string(n_ctx()));
    }
}

int Llama::evaluate_prompt(std::span<const Token> prompt) {
    if (prompt.empty()) {
        throw InvalidValueError("The prompt holds no token");
    }
    check_fits(prompt.size());
    llama_memory_t memory = llama_get_memory(context_.get());
    // Reuse relies on token i sitting at position i; anything else starts afresh.
    const bool contiguous =
        llama_memory_seq_pos_max(memory, 0) + 1 == static_cast<llama_pos>(tokens_.size());
    std::size_t common = 0;
    if (contiguous) {
        const auto held =
            std::mismatch(tokens_.begin(), tokens_.end(), prompt.begin(), prompt.end());
        common = static_cast<std::size_t>(held.first - tokens_.begin());
    }
    // The last prompt token is always evaluated again: its logits start the answer.
    common = std::min(common, prompt.size() - 1);
    if (common < tokens_.size() || !contiguous) {
        if (!contiguous || !llama_memory_seq_rm(memory, 0, static_cast<llama_pos>(common), -1)) {
            llama_memory_clear(memory, true);
            tokens_.clear();
            common = 0;
        }
        tokens_.resize(common);
    }
    decode(prompt.subspan(common), false);
    last_prompt_use_ = {static_cast<int>(prompt.size()), static_cast<int>(prompt.size() - common)};
    return last_prompt_use_.evaluated_tokens;
}

void Llama::eval(std::span<const Token> tokens, bool all_logits) {
    if (tokens.empty()) {
        return;
    }
    check_fits(tokens_.size() + tokens.size());
    decode(tokens, all_logits);
}

void Llama::decode(std::span<const Token> tokens, bool all_logits) {
    QuietScope quiet(!params_.verbose);
    llama_memory_t memory = llama_get_memory(context_.get());
    const auto vocab_size = static_cast<std::size_t>(n_vocab());
    const std::size_t rows = all_logits ? tokens.size() : 1;
    const std::size_t chunk_size =
        std::min<std::size_t>(llama_n_batch(context_.get()), tokens.size());
    // One decode leaves every row in the library's buffer, to be read in place; rows of
    // earlier chunks would be overwritten by later ones and are copied out.
    const bool copy_rows = all_logits && chunk_size < tokens.size();
    logits_.resize(copy_rows ? rows * vocab_size : 0);
    row_views_.clear();
    n_logit_rows_ = 0;

    Batch batch(static_cast<std::int32_t>(chunk_size));
    for (std::size_t start = 0; start < tokens.size(); start += chunk_size) {
        const auto chunk = tokens.subspan(start, std::min(chunk_size, tokens.size() - start));
        const bool last_chunk = start + chunk.size() == tokens.size();
        batch.fill(chunk, llama_memory_seq_pos_max(memory, 0) + 1, all_logits, last_chunk);
        const int status = llama_decode(context_.get(), batch.get());
        if (status != 0) {
            // Leave the cache exactly as the token list describes it.
            llama_memory_seq_rm(memory, 0, static_cast<llama_pos>(tokens_.size()), -1);
            check_workers();
            throw RuntimeFailure("llama_decode failed with status " + std::to_string(status));
        }
        // A worker that failed during the pass left logits computed on stand-in zeros.
        check_workers();
        tokens_.insert(tokens_.end(), chunk.begin(), chunk.end());
        if (copy_rows) {
            for (std::size_t i = 0; i < chunk.size(); ++i) {
                const float* row =
                    llama_get_logits_ith(context_.get(), static_cast<std::int32_t>(i));
                std::copy_n(
                    row, vocab_size,
                    logits_.begin() + static_cast<std::ptrdiff_t>((start + i) * vocab_size));
            }
        } else if (last_chunk) {
            // Valid until the next decode; no copy on the per-token path.
            for (std::size_t i = 0; i < rows; ++i) {
                row_views_.push_back(llama_get_logits_ith(
                    context_.get(), all_logits ? static_cast<std::int32_t>(i) : -1));
            }
        }
    }
    n_logit_rows_ = static_cast<int>(rows);
}

std::span<const float> Llama::logits(int i) const {
    const int row = i < 0 ? n_logit_rows_ + i : i;
    if (row < 0 || row >= n_logit_rows_) {
        throw InvalidValueError("No logits for position " + std::to_string(i) +
                                " of the last evaluation");
    }
    const auto vocab_size = static_cast<std::size_t>(n_vocab());
    if (!row_views_.empty()) {
        return {row_views_[static_cast<std::size_t>(row)], vocab_size};
    }
    return std::span<const float>(logits_).subspan(static_cast<std::size_t>(row) * vocab_size,
                                                   vocab_size);
}

void Llama::truncate(int n) {
    const auto keep = static_cast<std::size_t>(std::max(n, 0));
    if (keep >= tokens_.size()) {
        return;
    }
    QuietScope quiet(!params_.verbose);
    if (!llama_memory_seq_rm(llama_get_memory(context_.get()), 0, static_cast<llama_pos>(keep),
                             -1)) {
        throw RuntimeFailure("This context cannot drop cached tokens from position " +
                             std::to_string(keep));
    }
    tokens_.resize(keep);
    n_logit_rows_ = 0;
    row_views_.clear();
}

Sampler Llama::make_sampler(const Sampling& settings) const {
    return Sampler(settings, vocab_);
}

// --- the seam --------------------------------------------------------------------------------

bool binding_available() {
    return missing_depth == 0;
}

void require_binding() {
    if (!binding_available()) {
        throw BindingMissing("No llama.cpp binding in this process");
    }
}

std::unique_ptr<Llama> load(const Params& params) {
    require_binding();
    return std::make_unique<Llama>(params);
}

ScopedMissingBinding::ScopedMissingBinding() {
    ++missing_depth;
}
ScopedMissingBinding::~ScopedMissingBinding() {
    --missing_depth;
}

}  // namespace kestrune::platform::llama
