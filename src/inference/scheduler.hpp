// The one token loop: every generation, whichever door it came through, is decoded here.
// Continuous batching over one model: up to `parallel` generations share one llama.cpp context
// and advance together, one decode per step. Each token is sampled, checked for the end of the
// turn, assembled into whole UTF-8 characters, searched for the request's stop texts and
// counted against the limits in one place; a generation with a draft model verifies the
// draft's proposals in the same decode. A request waiting in the queue takes a free slot
// at the next step; a prompt is evaluated in chunks beside the running generations so their
// streams keep flowing. A slot keeps the tokens it last held, and a new request goes to the free
// slot whose tokens share the longest prefix with its prompt (the next turn of a chat evaluates
// only what is new).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "inference/speculation.hpp"
#include "kestrune/core/errors.hpp"
#include "platform/llama/batch.hpp"
#include "platform/llama/binding.hpp"

namespace kestrune::inference {

// The queue is full: the request is refused at once.
class QueueFull : public RuntimeFailure {
  public:
    using RuntimeFailure::RuntimeFailure;
};

// What to generate.
struct Request {
    std::vector<Token> prompt;
    Sampling sampling;
    // Texts that end the answer where they appear (they are not passed on).
    std::vector<std::string> stops = {};
    std::optional<Speculation> speculation = std::nullopt;
};

// What a finished generation reports.
struct GenerationSummary {
    // "stop" at an end token, a stop text (or a cancel), "length" at a limit
    std::string finish_reason;
    std::string stop_text;  // the stop text that ended it, if one did
    int prompt_tokens = 0;
    int evaluated_tokens = 0;  // of the prompt, those evaluated (the rest were cached)
    int completion_tokens = 0;
    SpeculationCounts speculation;            // of a generation with a draft model
    std::chrono::nanoseconds queued{0};       // waiting for a slot
    std::chrono::nanoseconds prompt_eval{0};  // from the slot to the first token's logits
    std::chrono::nanoseconds eval{0};         // from there to the end
};

// A finished generation's counts in the public speculative record.
speculative::SpeculativeStats speculative_stats(const GenerationSummary& summary);

// One request's generation, shared by the request's thread (which reads pieces) and the
// scheduler (which writes them).
class Generation {
  public:
    // The next piece of text (whole UTF-8 characters), waiting for it; absent once finished.
    // Throws the failure that ended the generation, if one did.
    std::optional<std::string> next();
    // Asks the scheduler to end the generation at its next step (a client gone, a stop text
    // found). Pieces already made stay readable.
    void cancel() { cancelled_ = true; }
    bool cancelled() const { return cancelled_; }
    // Valid once next() has returned absent.
    const GenerationSummary& summary() const { return summary_; }
    // The tokens generated up to the last piece next() returned (the scheduler may be ahead).
    int tokens_read() const { return tokens_read_; }

    // --- the scheduler's side ---
    // A piece made of the first `tokens` tokens generated.
    void push(std::string piece, int tokens);
    void finish(const GenerationSummary& summary);
    void fail(std::exception_ptr error);

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<std::string, int>> pieces_;
    int tokens_read_ = 0;  // the reader's own
    bool finished_ = false;
    std::exception_ptr error_;
    GenerationSummary summary_;
    std::atomic<bool> cancelled_ = false;
    // Set by a scheduler without a thread of its own: runs one of its steps.
    std::function<bool()> drive_;
    friend class Scheduler;
};

struct SchedulerOptions {
    int parallel = 1;    // sequences decoded together
    int n_ctx = 2048;    // positions per sequence
    int n_batch = 512;   // tokens per decode, prompt chunks included
    int max_queue = 64;  // requests waiting for a slot; beyond: QueueFull
    int n_threads = 0;   // 0: as the model was loaded with
    // No thread of its own: reading a generation runs the loop on the reader's thread. For a
    // session that reads one answer at a time, where a reader woken for every token would
    // take a core from ggml's threads (on a small machine a whole time slice per token).
    bool on_callers_thread = false;
};

class Scheduler {
  public:
    // `weights` must outlive the scheduler.
    Scheduler(const platform::llama::Llama& weights, const SchedulerOptions& options);
    // Stops.
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Queues a generation. A prompt longer than a sequence's context, or a grammar the model's
    // vocabulary cannot carry, is an InvalidValueError; a full queue is QueueFull. A generation
    // under a grammar is decoded without its draft model.
    std::shared_ptr<Generation> submit(Request request);

    // Ends running generations (their streams finish normally), fails queued ones and refuses
    // new ones. Safe to call more than once.
    void stop();

    int n_ctx() const { return options_.n_ctx; }
    int parallel() const { return options_.parallel; }
    // Generations running or waiting.
    int busy() const;

  private:
    struct Slot;
    struct Pending;

    void loop();
    // One step, on whichever thread calls it; false when there is nothing to do.
    bool step_once();
    void end_all();
    void take_waiting_requests();
    void start(Slot& slot, Pending& pending);
    void step();
    void add_running(Slot& slot);
    void add_prompt(Slot& slot);
    void fail_batch(std::exception_ptr error);
    void fail(Slot& slot, std::exception_ptr error);
    void advance(Slot& slot);
    bool emit(Slot& slot, Token token);
    void finish(Slot& slot, const std::string& finish_reason);

    const platform::llama::Llama& weights_;
    SchedulerOptions options_;
    platform::llama::BatchContext context_;
    std::vector<Slot> slots_;
    std::vector<platform::llama::BatchToken> batch_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::mutex stepping_;  // one step at a time, whoever takes it
    std::deque<Pending> waiting_;
    bool stopping_ = false;
    int active_ = 0;  // slots holding a generation; written by the worker under mutex_
    std::thread worker_;
};

}  // namespace kestrune::inference
