#include "inference/reply.hpp"

#include <utility>

namespace kestrune::inference {

platform::chat_template::Options template_options(const std::vector<ToolSpec>& tools,
                                                  std::optional<bool> think) {
    return {.tools = tools, .enable_thinking = think.value_or(true)};
}

platform::chat_template::Options template_options(const ChatRequest& request) {
    // A constrained answer is the answer itself: a model that can think is asked not to.
    const bool constrained = !request.sampling.grammar.empty() || request.require_tool_call;
    auto options = template_options(request.tools, constrained ? false : request.think);
    options.require_tool_call = request.require_tool_call;
    options.parallel_tool_calls = request.parallel_tool_calls;
    return options;
}

namespace {

// The sampling of the reply: the caller's grammar, or that of a tool call when one is required.
Sampling sampling_of(const ChatRequest& request,
                     const platform::chat_template::Rendered& rendered) {
    Sampling sampling = request.sampling;
    if (!request.require_tool_call) {
        return sampling;
    }
    if (request.tools.empty()) {
        throw InvalidValueError("A tool call is required, but no tools are offered");
    }
    if (!request.sampling.grammar.empty()) {
        throw InvalidValueError("A required tool call cannot be combined with a response format");
    }
    if (rendered.tool_call_grammar.empty()) {
        throw InvalidValueError("This model's chat template (" + rendered.format_name +
                                ") gives no grammar for tool calls, so a call cannot be required");
    }
    sampling.grammar = rendered.tool_call_grammar;
    sampling.grammar_prefill = rendered.tool_call_prefill;
    return sampling;
}

}  // namespace

Reply::Reply(std::shared_ptr<Model> model, const ChatRequest& request) : model_(std::move(model)) {
    auto rendered = model_->weights().render_chat(request.messages, template_options(request));
    Sampling sampling = sampling_of(request, rendered);
    if (rendered.thinking || !request.tools.empty()) {
        reader_.emplace(std::move(rendered.reply_format));
    }
    // The texts that end the model's turn stop the answer as the caller's do.
    std::vector<std::string> stops = request.stops;
    stops.insert(stops.end(), rendered.stops.begin(), rendered.stops.end());
    start({.prompt = rendered.prompt,
           .sampling = std::move(sampling),
           .stops = std::move(stops),
           .speculation = request.speculation});
}

Reply::Reply(std::shared_ptr<Model> model, const CompletionRequest& request)
    : model_(std::move(model)) {
    start(request);
}

void Reply::start(const CompletionRequest& request) {
    if (!model_->weights().generates_text()) {
        throw InvalidValueError("This is an embedding model: it gives embeddings, not text");
    }
    std::vector<Token> prompt = model_->weights().tokenize(request.prompt);
    prompt_tokens_ = static_cast<int>(prompt.size());
    // An empty stop text would end every answer before it began.
    std::vector<std::string> stops = request.stops;
    std::erase_if(stops, [](const std::string& stop) { return stop.empty(); });
    generation_ = model_->scheduler().submit({.prompt = std::move(prompt),
                                              .sampling = request.sampling,
                                              .stops = std::move(stops),
                                              .speculation = request.speculation});
}

Reply::~Reply() {
    generation_->cancel();
}

std::optional<std::string> Reply::next() {
    return generation_->next();
}

std::optional<Reply::Delta> Reply::next_delta() {
    while (!read_) {
        std::optional<std::string> piece = next();
        if (!reader_) {
            if (piece) {
                reply_.content += *piece;
                return Delta{.reasoning = {}, .content = std::move(*piece)};
            }
            read_ = true;
            break;
        }
        Delta delta = piece ? reader_->add(*piece) : reader_->finish();
        if (!piece) {
            read_ = true;
            reply_ = reader_->reply();
        }
        if (!delta.reasoning.empty() || !delta.content.empty()) {
            return delta;
        }
    }
    return std::nullopt;
}

const ChatReply& Reply::rest() {
    while (next_delta()) {
    }
    return reply_;
}

}  // namespace kestrune::inference
