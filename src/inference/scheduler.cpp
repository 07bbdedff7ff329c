#include "inference/scheduler.hpp"

#include <algorithm>
#include <utility>

#include "core/stop_texts.hpp"
#include "core/utf8.hpp"

namespace kestrune::inference {

namespace {

using Clock = std::chrono::steady_clock;

std::size_t common_prefix(const std::vector<Token>& a, const std::vector<Token>& b) {
    return static_cast<std::size_t>(std::ranges::mismatch(a, b).in1 - a.begin());
}

}  // namespace

speculative::SpeculativeStats speculative_stats(const GenerationSummary& summary) {
    return {.rounds = summary.speculation.rounds,
            .drafted = summary.speculation.drafted,
            .accepted = summary.speculation.accepted,
            .generated = summary.completion_tokens,
            .last_k = summary.speculation.last_k,
            .prompt_tokens = summary.prompt_tokens,
            .prompt_evaluated = summary.evaluated_tokens};
}

// --- Generation --------------------------------------------------------------------------------

std::optional<std::string> Generation::next() {
    std::unique_lock lock(mutex_);
    // On the caller's thread the reader runs the loop itself until its next piece is there.
    while (drive_ && pieces_.empty() && !finished_) {
        lock.unlock();
        const bool stepped = drive_();
        lock.lock();
        if (!stepped && pieces_.empty() && !finished_) {
            error_ = std::make_exception_ptr(RuntimeFailure("The scheduler has stopped"));
            finished_ = true;
        }
    }
    ready_.wait(lock, [&] { return !pieces_.empty() || finished_; });
    if (!pieces_.empty()) {
        auto [piece, tokens] = std::move(pieces_.front());
        pieces_.pop_front();
        tokens_read_ = tokens;
        return piece;
    }
    tokens_read_ = summary_.completion_tokens;
    if (error_) {
        std::rethrow_exception(error_);
    }
    return std::nullopt;
}

void Generation::push(std::string piece, int tokens) {
    {
        std::lock_guard lock(mutex_);
        pieces_.emplace_back(std::move(piece), tokens);
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
    Request request;
    platform::llama::Sampler sampler;
    Clock::time_point queued_at;
};

struct Scheduler::Slot {
    int seq = 0;
    std::shared_ptr<Generation> generation;  // null: the slot is free
    std::vector<Token> held;                 // what the cache holds for the sequence
    std::vector<Token> prompt;
    std::size_t prompt_done = 0;  // prompt tokens in `held`
    std::size_t evaluated = 0;    // prompt tokens evaluated, not found in the cache
    std::optional<platform::llama::Sampler> sampler;
    std::unique_ptr<Speculator> speculator;  // a generation with a draft model
    SpeculationCounts speculation;
    int limit = 0;
    int produced = 0;
    utf8::WholeCharacters characters;  // what the tokens so far form
    std::optional<StopTexts> stops;
    std::optional<Token> next;     // sampled, decoded at the next step
    int logits_row = -1;           // this step's (first) row of logits, -1: none
    std::vector<Token> proposals;  // the draft's, decoded after `next` this step
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
    if (!options_.on_callers_thread) {
        worker_ = std::thread([this] { loop(); });
    }
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
    if (!options_.on_callers_thread) {
        if (worker_.joinable()) {
            worker_.join();
        }
        return;
    }
    // No thread ends the generations: ending them again finds nothing left.
    std::lock_guard stepping(stepping_);
    end_all();
}

std::shared_ptr<Generation> Scheduler::submit(Request request) {
    const std::vector<Token>& prompt = request.prompt;
    if (prompt.empty()) {
        throw InvalidValueError("The prompt holds no token");
    }
    if (prompt.size() >= static_cast<std::size_t>(options_.n_ctx)) {
        throw InvalidValueError("Requested tokens (" + std::to_string(prompt.size()) +
                                ") exceed context window of " + std::to_string(options_.n_ctx));
    }
    // A draft model proposes free text: a constrained answer is decoded without one.
    if (!request.sampling.grammar.empty()) {
        request.speculation.reset();
    }
    if (request.speculation) {
        check_speculation(weights_, *request.speculation);
    }
    // -1: the penalties look at the whole sequence.
    if (request.sampling.repeat_last_n < 0) {
        request.sampling.repeat_last_n = options_.n_ctx;
    }
    // Made here so that a grammar the model cannot follow is refused before anything queues.
    platform::llama::Sampler sampler = weights_.make_sampler(request.sampling);
    auto generation = std::make_shared<Generation>();
    if (options_.on_callers_thread) {
        generation->drive_ = [this] { return step_once(); };
    }
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
        waiting_.push_back({generation, std::move(request), std::move(sampler), Clock::now()});
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
        }
        step_once();
    }
    end_all();
}

bool Scheduler::step_once() {
    std::lock_guard stepping(stepping_);
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return false;
        }
        take_waiting_requests();
        if (active_ == 0) {
            return false;
        }
    }
    step();
    return true;
}

void Scheduler::end_all() {
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
            const std::size_t shared = common_prefix(slot.held, request.request.prompt);
            if (best == nullptr || shared > best_shared) {
                best = &slot;
                best_shared = shared;
            }
        }
        if (best == nullptr) {
            return;
        }
        try {
            start(*best, request);
            ++active_;
        } catch (...) {
            // The draft's context could not be made: this request fails, the others go on.
            request.generation->fail(std::current_exception());
        }
        waiting_.pop_front();
    }
}

void Scheduler::start(Slot& slot, Pending& pending) {
    Request& request = pending.request;
    // First what can fail, so that a failure leaves the slot as it was.
    std::unique_ptr<Speculator> speculator;
    if (request.speculation) {
        speculator = std::make_unique<Speculator>(weights_, std::move(*request.speculation),
                                                  request.sampling, options_.n_ctx);
    }
    // The last prompt token is evaluated again: its logits start the answer.
    const std::size_t kept =
        std::min(common_prefix(slot.held, request.prompt), request.prompt.size() - 1);
    context_.truncate(slot.seq, static_cast<int>(kept));
    slot.held.resize(kept);
    slot.prompt = std::move(request.prompt);
    slot.prompt_done = kept;
    slot.evaluated = slot.prompt.size() - kept;
    slot.generation = std::move(pending.generation);
    slot.sampler.emplace(std::move(pending.sampler));
    slot.sampler->accept(
        std::span(slot.prompt)
            .last(std::min(slot.prompt.size(),
                           static_cast<std::size_t>(slot.sampler->penalty_window()))));
    slot.speculator = std::move(speculator);
    slot.speculation = {};
    const int requested = request.sampling.max_tokens.value_or(0);
    slot.limit = requested > 0 ? requested : options_.n_ctx;
    slot.produced = 0;
    slot.characters = {};
    slot.stops.emplace(std::move(request.stops));
    slot.next.reset();
    slot.proposals.clear();
    slot.logits_row = -1;
    slot.queued_at = pending.queued_at;
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
    // Running generations first: one token each, or one and the draft's proposals.
    for (Slot& slot : slots_) {
        if (slot.generation && slot.next) {
            add_running(slot);
        }
    }
    // Prompts fill what is left of the batch.
    for (Slot& slot : slots_) {
        if (slot.generation && slot.prompt_done < slot.prompt.size() &&
            batch_.size() < static_cast<std::size_t>(options_.n_batch)) {
            add_prompt(slot);
        }
    }
    if (batch_.empty()) {
        return;
    }
    try {
        context_.decode(batch_);
    } catch (...) {
        fail_batch(std::current_exception());
        return;
    }
    for (Slot& slot : slots_) {
        if (slot.logits_row < 0) {
            continue;
        }
        try {
            advance(slot);
        } catch (...) {
            // A grammar the vocabulary cannot continue ends its own generation only.
            if (slot.generation) {
                fail(slot, std::current_exception());
            }
        }
    }
}

void Scheduler::add_running(Slot& slot) {
    const Token token = *std::exchange(slot.next, std::nullopt);
    slot.proposals.clear();
    if (slot.speculator) {
        // Room for the proposals: within the limit (the target's own token follows them), the
        // context and this step's batch.
        const auto held = static_cast<int>(slot.held.size());
        const int room = std::min({slot.speculator->k(), slot.limit - slot.produced - 1,
                                   options_.n_ctx - held - 2,
                                   options_.n_batch - static_cast<int>(batch_.size()) - 1});
        slot.held.push_back(token);
        try {
            slot.proposals = slot.speculator->draft(slot.held, room);
        } catch (...) {
            slot.held.pop_back();
            fail(slot, std::current_exception());
            return;
        }
        slot.held.pop_back();
        slot.speculation.last_k = slot.speculator->k();
    }
    slot.logits_row = static_cast<int>(batch_.size());
    batch_.push_back({slot.seq, token, static_cast<int>(slot.held.size()), true});
    slot.held.push_back(token);
    for (const Token proposal : slot.proposals) {
        batch_.push_back({slot.seq, proposal, static_cast<int>(slot.held.size()), true});
        slot.held.push_back(proposal);
    }
}

void Scheduler::add_prompt(Slot& slot) {
    const std::size_t room = static_cast<std::size_t>(options_.n_batch) - batch_.size();
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

void Scheduler::fail_batch(std::exception_ptr error) {
    for (Slot& slot : slots_) {
        if (slot.generation &&
            std::ranges::any_of(batch_, [&](const auto& token) { return token.seq == slot.seq; })) {
            fail(slot, error);
        }
    }
}

void Scheduler::fail(Slot& slot, std::exception_ptr error) {
    context_.truncate(slot.seq, 0);
    slot.held.clear();
    slot.logits_row = -1;
    slot.speculator.reset();
    slot.generation->fail(std::move(error));
    slot.generation.reset();
    std::lock_guard lock(mutex_);
    --active_;
}

// Chooses what follows this step's decode: the next token, or for a generation with a draft
// model the proposals the target keeps and its own token after them.
void Scheduler::advance(Slot& slot) {
    const int row = std::exchange(slot.logits_row, -1);
    if (slot.produced == 0 && slot.first_token_at == Clock::time_point{}) {
        slot.first_token_at = Clock::now();
    }
    if (!slot.speculator) {
        const Token token = slot.sampler->sample(context_.logits(row));
        if (emit(slot, token)) {
            slot.next = token;
        }
        return;
    }
    Speculator& speculator = *slot.speculator;
    if (slot.proposals.empty()) {
        // The first token, or a step without room to draft: the target's distribution still
        // sees the text so far for its repeat penalty.
        speculator.draft(slot.held, 0);
    }
    std::size_t accepted = 0;
    std::optional<Token> own;
    for (; accepted < slot.proposals.size(); ++accepted) {
        own = speculator.check(context_.logits(row + static_cast<int>(accepted)), accepted);
        if (own) {
            break;
        }
    }
    if (!own) {
        own = speculator.next(context_.logits(row + static_cast<int>(accepted)));
    }
    if (!slot.proposals.empty()) {
        ++slot.speculation.rounds;
        slot.speculation.drafted += static_cast<int>(slot.proposals.size());
        slot.speculation.accepted += static_cast<int>(accepted);
        speculator.next_k(static_cast<int>(accepted));
    }
    // The cache keeps what was accepted; the newest token waits for the next step.
    const std::size_t rejected = slot.proposals.size() - accepted;
    slot.held.resize(slot.held.size() - rejected);
    context_.truncate(slot.seq, static_cast<int>(slot.held.size()));
    for (std::size_t i = 0; i < accepted; ++i) {
        if (!emit(slot, slot.proposals[i])) {
            return;
        }
    }
    if (emit(slot, *own)) {
        slot.next = *own;
    }
}

// Passes a chosen token on; false when it ended the generation.
bool Scheduler::emit(Slot& slot, Token token) {
    if (weights_.is_eog(token)) {
        finish(slot, "stop");
        return false;
    }
    ++slot.produced;
    if (const std::string whole = slot.characters.add(weights_.token_to_piece(token));
        !whole.empty()) {
        if (std::string piece = slot.stops->push(whole); !piece.empty()) {
            slot.generation->push(std::move(piece), slot.produced);
        }
    }
    if (slot.stops->stopped()) {
        finish(slot, "stop");
        return false;
    }
    if (slot.produced >= slot.limit ||
        slot.held.size() >= static_cast<std::size_t>(options_.n_ctx)) {
        finish(slot, "length");
        return false;
    }
    return true;
}

void Scheduler::finish(Slot& slot, const std::string& finish_reason) {
    if (!slot.stops->stopped()) {
        if (std::string rest = slot.stops->flush() + slot.characters.finish(); !rest.empty()) {
            slot.generation->push(std::move(rest), slot.produced);
        }
    }
    const Clock::time_point now = Clock::now();
    const Clock::time_point first =
        slot.first_token_at == Clock::time_point{} ? now : slot.first_token_at;
    GenerationSummary summary{
        .finish_reason = finish_reason,
        .stop_text = slot.stops->matched(),
        .prompt_tokens = static_cast<int>(slot.prompt.size()),
        .evaluated_tokens = static_cast<int>(slot.evaluated),
        .completion_tokens = slot.produced,
        .speculation = slot.speculation,
        .queued = slot.started_at - slot.queued_at,
        .prompt_eval = first - slot.started_at,
        .eval = now - first,
    };
    std::shared_ptr<Generation> generation = std::move(slot.generation);
    slot.sampler.reset();
    slot.speculator.reset();
    slot.next.reset();
    slot.proposals.clear();
    slot.logits_row = -1;
    {
        // The slot is free before its reader hears the end, so whoever got the answer sees it
        // counted as done (the server's metrics, a client's next request).
        std::lock_guard lock(mutex_);
        --active_;
    }
    generation->finish(summary);
}

}  // namespace kestrune::inference
