#include "server/scheduler.hpp"

#include <algorithm>
#include <utility>

#include "core/utf8.hpp"

namespace kestrune::server {

namespace {

using Clock = std::chrono::steady_clock;

// How many prompt tokens prime the repeat penalty, as in a single generation.
constexpr std::size_t kPenaltyWindow = 64;

std::size_t common_prefix(const std::vector<Token>& a, const std::vector<Token>& b) {
    return static_cast<std::size_t>(std::ranges::mismatch(a, b).in1 - a.begin());
}

}  // namespace

// --- Generation --------------------------------------------------------------------------------

std::optional<std::string> Generation::next() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !pieces_.empty() || finished_; });
    if (!pieces_.empty()) {
        std::string piece = std::move(pieces_.front());
        pieces_.pop_front();
        return piece;
    }
    if (error_) {
        std::rethrow_exception(error_);
    }
    return std::nullopt;
}

void Generation::push(std::string piece) {
    {
        std::lock_guard lock(mutex_);
        pieces_.push_back(std::move(piece));
    }
    ready_.notify_one();
}

void Generation::finish(const GenerationSummary& summary) {
    {
        std::lock_guard lock(mutex_);
        summary_ = summary;
        finished_ = true;
    }
    ready_.notify_one();
}

void Generation::fail(std::exception_ptr error) {
    {
        std::lock_guard lock(mutex_);
        error_ = std::move(error);
        finished_ = true;
    }
    ready_.notify_one();
}

// --- Scheduler ---------------------------------------------------------------------------------

struct Scheduler::Pending {
    std::shared_ptr<Generation> generation;
    std::vector<Token> prompt;
    Sampling sampling;
    Clock::time_point queued_at;
};

struct Scheduler::Slot {
    int seq = 0;
    std::shared_ptr<Generation> generation;  // null: the slot is free
    std::vector<Token> held;                 // what the cache holds for the sequence
    std::vector<Token> prompt;
    std::size_t prompt_done = 0;  // prompt tokens in `held`
    std::optional<platform::llama::Sampler> sampler;
    int limit = 0;
    int produced = 0;
    utf8::WholeCharacters characters;  // what the tokens so far form
    std::optional<Token> next;         // sampled, decoded at the next step
    int logits_row = -1;               // this step's row of logits, -1: none
    Clock::time_point queued_at, started_at, first_token_at;
};

Scheduler::Scheduler(const platform::llama::Llama& weights, const SchedulerOptions& options)
    : weights_(weights),
      options_(options),
      context_(weights, {.n_seq = std::max(options.parallel, 1),
                         .n_ctx_per_seq = options.n_ctx,
                         .n_batch = options.n_batch,
                         .n_threads = options.n_threads}) {
    options_.parallel = context_.n_seq();
    options_.n_ctx = context_.n_ctx_per_seq();
    options_.n_batch = context_.n_batch();
    slots_.resize(static_cast<std::size_t>(options_.parallel));
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].seq = static_cast<int>(i);
    }
    worker_ = std::thread([this] { loop(); });
}

Scheduler::~Scheduler() {
    stop();
}

void Scheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) {
        worker_.join();
    }
}

std::shared_ptr<Generation> Scheduler::submit(std::vector<Token> prompt, const Sampling& sampling) {
    if (prompt.empty()) {
        throw InvalidValueError("The prompt holds no token");
    }
    if (prompt.size() >= static_cast<std::size_t>(options_.n_ctx)) {
        throw InvalidValueError("Requested tokens (" + std::to_string(prompt.size()) +
                                ") exceed context window of " + std::to_string(options_.n_ctx));
    }
    auto generation = std::make_shared<Generation>();
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            throw RuntimeFailure("The server is stopping");
        }
        // Free slots take requests at the next step: only what is beyond them queues.
        const int free_slots = options_.parallel - active_;
        if (static_cast<int>(waiting_.size()) >= std::max(options_.max_queue, 0) + free_slots) {
            throw QueueFull("Too many requests: " + std::to_string(waiting_.size()) +
                            " are waiting for a free slot");
        }
        waiting_.push_back({generation, std::move(prompt), sampling, Clock::now()});
    }
    wake_.notify_one();
    return generation;
}

int Scheduler::busy() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(waiting_.size()) + active_;
}

void Scheduler::loop() {
    while (true) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !waiting_.empty() || active_ > 0; });
            if (stopping_) {
                break;
            }
            take_waiting_requests();
        }
        step();
    }
    // Running streams end as if their answer were complete; waiting ones never started.
    for (Slot& slot : slots_) {
        if (slot.generation) {
            finish(slot, "stop");
        }
    }
    std::lock_guard lock(mutex_);
    for (Pending& request : waiting_) {
        request.generation->fail(std::make_exception_ptr(RuntimeFailure("The server is stopping")));
    }
    waiting_.clear();
}

// Called with mutex_ held.
void Scheduler::take_waiting_requests() {
    while (!waiting_.empty()) {
        Pending& request = waiting_.front();
        Slot* best = nullptr;
        std::size_t best_shared = 0;
        for (Slot& slot : slots_) {
            if (slot.generation) {
                continue;
            }
            const std::size_t shared = common_prefix(slot.held, request.prompt);
            if (best == nullptr || shared > best_shared) {
                best = &slot;
                best_shared = shared;
            }
        }
        if (best == nullptr) {
            return;
        }
        start(*best, std::move(request));
        waiting_.pop_front();
        ++active_;
    }
}

void Scheduler::start(Slot& slot, Pending request) {
    // The last prompt token is evaluated again: its logits start the answer.
    const std::size_t kept =
        std::min(common_prefix(slot.held, request.prompt), request.prompt.size() - 1);
    context_.truncate(slot.seq, static_cast<int>(kept));
    slot.held.resize(kept);
    slot.prompt = std::move(request.prompt);
    slot.prompt_done = kept;
    slot.generation = std::move(request.generation);
    slot.sampler.emplace(weights_.make_sampler(request.sampling));
    slot.sampler->accept(std::span(slot.prompt).last(std::min(slot.prompt.size(), kPenaltyWindow)));
    const int requested = request.sampling.max_tokens.value_or(0);
    slot.limit = requested > 0 ? requested : options_.n_ctx;
    slot.produced = 0;
    slot.characters = {};
    slot.next.reset();
    slot.logits_row = -1;
    slot.queued_at = request.queued_at;
    slot.started_at = Clock::now();
    slot.first_token_at = {};
}

void Scheduler::step() {
    for (Slot& slot : slots_) {
        if (slot.generation && slot.generation->cancelled()) {
            finish(slot, "stop");
        }
    }
    batch_.clear();
    // Running generations first: one token each.
    for (Slot& slot : slots_) {
        if (slot.generation && slot.next) {
            slot.logits_row = static_cast<int>(batch_.size());
            batch_.push_back({slot.seq, *slot.next, static_cast<int>(slot.held.size()), true});
            slot.held.push_back(*slot.next);
            slot.next.reset();
        }
    }
    // Prompts fill what is left of the batch.
    for (Slot& slot : slots_) {
        std::size_t room = static_cast<std::size_t>(options_.n_batch) - batch_.size();
        if (!slot.generation || slot.prompt_done >= slot.prompt.size() || room == 0) {
            continue;
        }
        const std::size_t count = std::min(room, slot.prompt.size() - slot.prompt_done);
        for (std::size_t i = 0; i < count; ++i) {
            const Token token = slot.prompt[slot.prompt_done + i];
            const bool last = slot.prompt_done + i + 1 == slot.prompt.size();
            if (last) {
                slot.logits_row = static_cast<int>(batch_.size());
            }
            batch_.push_back({slot.seq, token, static_cast<int>(slot.held.size()), last});
            slot.held.push_back(token);
        }
        slot.prompt_done += count;
    }
    if (batch_.empty()) {
        return;
    }
    try {
        context_.decode(batch_);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        for (Slot& slot : slots_) {
            if (slot.generation && std::ranges::any_of(batch_, [&](const auto& token) {
                    return token.seq == slot.seq;
                })) {
                context_.truncate(slot.seq, 0);
                slot.held.clear();
                slot.generation->fail(error);
                slot.generation.reset();
                std::lock_guard lock(mutex_);
                --active_;
            }
        }
        return;
    }
    for (Slot& slot : slots_) {
        if (slot.logits_row < 0) {
            continue;
        }
        const int row = std::exchange(slot.logits_row, -1);
        const Token token = slot.sampler->sample(context_.logits(row));
        if (slot.produced == 0) {
            slot.first_token_at = Clock::now();
        }
        if (weights_.is_eog(token)) {
            finish(slot, "stop");
            continue;
        }
        ++slot.produced;
        if (std::string piece = slot.characters.add(weights_.token_to_piece(token));
            !piece.empty()) {
            slot.generation->push(std::move(piece));
        }
        if (slot.produced >= slot.limit ||
            slot.held.size() >= static_cast<std::size_t>(options_.n_ctx)) {
            finish(slot, "length");
            continue;
        }
        slot.next = token;
    }
}

void Scheduler::finish(Slot& slot, const std::string& finish_reason) {
    if (std::string rest = slot.characters.finish(); !rest.empty()) {
        slot.generation->push(std::move(rest));
    }
    const Clock::time_point now = Clock::now();
    const Clock::time_point first =
        slot.first_token_at == Clock::time_point{} ? now : slot.first_token_at;
    GenerationSummary summary{
        .finish_reason = finish_reason,
        .prompt_tokens = static_cast<int>(slot.prompt.size()),
        .completion_tokens = slot.produced,
        .queued = slot.started_at - slot.queued_at,
        .prompt_eval = first - slot.started_at,
        .eval = now - first,
    };
    slot.generation->finish(summary);
    slot.generation.reset();
    slot.sampler.reset();
    slot.next.reset();
    slot.logits_row = -1;
    std::lock_guard lock(mutex_);
    --active_;
}

}  // namespace kestrune::server
