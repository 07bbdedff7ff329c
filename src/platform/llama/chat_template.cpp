#include "platform/llama/chat_template.hpp"

#include <chat.h>
#include <llama.h>
#include <log.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <utility>

#include "kestrune/core/errors.hpp"

namespace kestrune::platform::chat_template {

namespace {

using nlohmann::ordered_json;

// The message keys the engine understands besides role and content; the rest stay ours.
constexpr const char* kPassedKeys[] = {"reasoning_content", "tool_call_id", "name"};

// A message in the OpenAI form the engine reads, as llama.cpp's server hands it over.
ordered_json to_openai(const Message& message) {
    ordered_json object = {{"role", message.role()}, {"content", message.content()}};
    for (const char* key : kPassedKeys) {
        if (auto value = message.get(key)) {
            object[key] = *value;
        }
    }
    if (auto calls = message.get("tool_calls")) {
        object["tool_calls"] = ordered_json::parse(*calls);
    }
    return object;
}

std::vector<common_chat_msg> engine_messages(const Messages& messages) {
    ordered_json list = ordered_json::array();
    for (const auto& message : messages) {
        list.push_back(to_openai(message));
    }
    return common_chat_msgs_parse_oaicompat(common_json::parse(list.dump()));
}

std::vector<common_chat_tool> engine_tools(const std::vector<Tool>& tools) {
    std::vector<common_chat_tool> result;
    result.reserve(tools.size());
    for (const auto& tool : tools) {
        result.push_back({tool.name, tool.description, tool.parameters});
    }
    return result;
}

// The engine logs on a thread of its own straight to the terminal; what matters of it (a
// template that fails) reaches the caller as the rendering's failure instead.
void silence_engine_log() {
    static std::once_flag once;
    std::call_once(once, [] { common_log_set_verbosity_thold(-1); });
}

common_chat_params apply(const common_chat_templates* templates,
                         common_chat_templates_inputs& inputs, const Options& options) {
    inputs.tools = engine_tools(options.tools);
    return common_chat_templates_apply(templates, inputs);
}

ReplyFormat::Reader reader_of(const common_chat_params& params) {
    return {static_cast<int>(params.format), params.generation_prompt, params.parser};
}

std::optional<Reply> read_with(const std::string& text, const ReplyFormat::Reader& reader,
                               bool partial) {
    try {
        common_chat_parser_params params;
        params.format = static_cast<common_chat_format>(reader.format);
        params.generation_prompt = reader.generation_prompt;
        params.reasoning_format = COMMON_REASONING_FORMAT_DEEPSEEK;
        if (!reader.parser.empty()) {
            params.parser.load(reader.parser);
        }
        const common_chat_msg message = common_chat_parse(text, partial, params);
        Reply reply{.content = message.content, .reasoning = message.reasoning_content};
        for (const auto& call : message.tool_calls) {
            reply.tool_calls.push_back({call.name, call.arguments, call.id});
        }
        return reply;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The engine reads leniently: a call cut short or garbled can come out with arguments that
// are not JSON, or vanish from the text altogether.
bool sound_call(const ToolCall& call) {
    if (call.name.empty()) {
        return false;
    }
    const auto arguments = nlohmann::json::parse(call.arguments, nullptr, false);
    return arguments.is_object();
}

Rendered chatml_rendering(const Messages& messages, Path path, std::string failure) {
    Rendered rendered;
    rendered.prompt = chatml(messages);
    rendered.path = path;
    rendered.failure = std::move(failure);
    rendered.format_name = "ChatML";
    rendered.stops = {"<|im_end|>", "<|im_start|>"};
    rendered.reply_format.plain.format = COMMON_CHAT_FORMAT_CONTENT_ONLY;
    return rendered;
}

}  // namespace

std::string chatml(const Messages& messages) {
    std::string text;
    for (const auto& message : messages) {
        text += "<|im_start|>" + message.role() + "\n" + message.content() + "<|im_end|>\n";
    }
    return text + "<|im_start|>assistant\n";
}

std::string describe(const Rendered& rendered) {
    switch (rendered.path) {
        case Path::model_template:
            return "the model's own chat template (reply format " + rendered.format_name +
                   (rendered.thinking ? ", thinking" : "") + ")";
        case Path::no_template:
            return "ChatML: the model carries no chat template";
        case Path::failed_template:
            return "ChatML: the model's chat template failed (" + rendered.failure + ")";
    }
    return {};
}

// --- a template tried apart ------------------------------------------------------------------

// The engine has no limits of its own: a template may recurse without end or nest thousands
// deep (the stack overflows), loop for minutes or build gigabytes of text. So each template is
// first parsed and rendered once in a child process, under limits on time and memory, and only
// a template that comes through is used here.
constexpr unsigned kProbeSeconds = 3;
constexpr std::size_t kProbeMemory = std::size_t{1} << 30;
constexpr int kOutOfMemory = 3;

// Addresses this process maps now, in bytes.
std::size_t mapped_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

[[noreturn]] void probe_in_this_child(const llama_model* model) {
    ::alarm(kProbeSeconds);
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's shadow memory is mapped up front: it would not start under a limit.
    const rlim_t memory = mapped_bytes() + kProbeMemory;
    const rlimit limit{.rlim_cur = memory, .rlim_max = memory};
    ::setrlimit(RLIMIT_AS, &limit);
#endif
    try {
        const common_chat_templates_ptr templates = common_chat_templates_init(model, "");
        common_chat_templates_inputs inputs;
        inputs.messages = engine_messages({{"system", "You are helpful."},
                                           {"user", "Hello"},
                                           {"assistant", "Hi."},
                                           {"user", "How are you?"}});
        common_chat_templates_apply(templates.get(), inputs);
    } catch (const std::bad_alloc&) {
        ::_exit(kOutOfMemory);
    } catch (...) {
        // An ordinary failure: the template fails the same way here, where it is reported.
    }
    ::_exit(0);
}

// What the template does wrong, "" when it rendered (or failed in an ordinary way) apart.
std::string probe_apart(const llama_model* model) {
    const pid_t child = ::fork();
    if (child < 0) {
        return "";  // no room for a child: use the template as before
    }
    if (child == 0) {
        probe_in_this_child(model);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kProbeSeconds + 2);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return "took longer than " + std::to_string(kProbeSeconds) +
                   " s to render a short chat";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kOutOfMemory) {
        return "needed more than " + std::to_string(kProbeMemory >> 20) +
               " MB to render a short chat";
    }
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGALRM || WTERMSIG(status) == SIGXCPU)) {
        return "took longer than " + std::to_string(kProbeSeconds) + " s to render a short chat";
    }
    return "crashed rendering a short chat (it recurses or nests too deeply)";
}

// --- the model's templates -------------------------------------------------------------------

struct Templates::Engine {
    common_chat_templates_ptr templates;
};

Templates::Templates(const llama_model* model) {
    silence_engine_log();
    has_template_ = llama_model_chat_template(model, nullptr) != nullptr;
    if (!has_template_) {
        return;
    }
    hostile_ = probe_apart(model);
    if (!hostile_.empty()) {
        return;
    }
    try {
        engine_ = std::make_unique<Engine>(Engine{common_chat_templates_init(model, "")});
    } catch (const std::exception& failure) {
        init_failure_ = failure.what();
    }
}

Templates::Templates(Templates&&) noexcept = default;
Templates& Templates::operator=(Templates&&) noexcept = default;
Templates::~Templates() = default;

bool Templates::supports_thinking() const {
    return engine_ && common_chat_templates_support_enable_thinking(engine_->templates.get());
}

Rendered Templates::render(const Messages& messages, const Options& options) const {
    if (!has_template_) {
        return chatml_rendering(messages, Path::no_template, "");
    }
    if (!hostile_.empty()) {
        throw InvalidValueError("The model's chat template " + hostile_ + "; it is not used");
    }
    if (!engine_) {
        return chatml_rendering(messages, Path::failed_template, init_failure_);
    }
    try {
        // The inputs llama.cpp's server gives the engine for a chat request, so that a
        // conversation renders here exactly as it does there.
        common_chat_templates_inputs inputs;
        inputs.messages = engine_messages(messages);
        inputs.parallel_tool_calls =
            common_chat_templates_get_caps(
                engine_->templates.get())["supports_parallel_tool_calls"] &&
            options.parallel_tool_calls.value_or(true);
        if (options.require_tool_call && !options.tools.empty()) {
            inputs.tool_choice = COMMON_CHAT_TOOL_CHOICE_REQUIRED;
        }
        inputs.reasoning_format = COMMON_REASONING_FORMAT_DEEPSEEK;
        inputs.enable_thinking = options.enable_thinking && supports_thinking();
        inputs.chat_template_kwargs["preserve_reasoning"] = "true";
        const common_chat_params params = apply(engine_->templates.get(), inputs, options);

        Rendered rendered;
        rendered.prompt = params.prompt;
        rendered.format_name = common_chat_format_name(params.format);
        rendered.stops = params.additional_stops;
        rendered.thinking = inputs.enable_thinking;
        if (inputs.tool_choice == COMMON_CHAT_TOOL_CHOICE_REQUIRED && !params.grammar_lazy) {
            rendered.tool_call_grammar = params.grammar;
            rendered.tool_call_prefill = params.generation_prompt;
        }
        if (options.tools.empty()) {
            rendered.reply_format.plain = reader_of(params);
        } else {
            rendered.reply_format.with_tools = reader_of(params);
            // The same conversation without tools: its reader falls back on plain text.
            inputs.tool_choice = COMMON_CHAT_TOOL_CHOICE_AUTO;
            rendered.reply_format.plain =
                reader_of(apply(engine_->templates.get(), inputs, Options{}));
        }
        return rendered;
    } catch (const std::exception& failure) {
        return chatml_rendering(messages, Path::failed_template, failure.what());
    }
}

// --- reading a reply back --------------------------------------------------------------------

Reply parse_reply(const std::string& text, const ReplyFormat& format, bool partial) {
    if (format.with_tools) {
        auto reply = read_with(text, *format.with_tools, partial);
        // While the reply streams, what may begin a call stays out of the content until the
        // whole reply tells; a complete reply counts as calling only with sound calls.
        if (reply && (partial || (!reply->tool_calls.empty() &&
                                  std::ranges::all_of(reply->tool_calls, sound_call)))) {
            return *reply;
        }
    }
    // What the format cannot read is the model's own text, shown as it came.
    return read_with(text, format.plain, partial).value_or(Reply{.content = text});
}

// --- reading a reply while it streams --------------------------------------------------------

StreamedReply::Delta StreamedReply::add(std::string_view piece) {
    text_ += piece;
    return advance(parse_reply(text_, format_, true));
}

StreamedReply::Delta StreamedReply::finish() {
    return advance(parse_reply(text_, format_, false));
}

StreamedReply::Delta StreamedReply::advance(Reply now) {
    // A part only grows while the reply streams; should a later reading shorten one (markup
    // seen whole at last), what was passed on stays passed on.
    auto grown = [](const std::string& before, const std::string& after) {
        return after.starts_with(before) ? after.substr(before.size()) : std::string();
    };
    Delta delta{grown(read_.reasoning, now.reasoning), grown(read_.content, now.content)};
    if (now.reasoning.starts_with(read_.reasoning)) {
        read_.reasoning = std::move(now.reasoning);
    }
    if (now.content.starts_with(read_.content)) {
        read_.content = std::move(now.content);
    }
    read_.tool_calls = std::move(now.tool_calls);
    return delta;
}

}  // namespace kestrune::platform::chat_template
