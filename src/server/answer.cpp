#include "server/answer.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "kestrune/core/errors.hpp"

namespace kestrune::server {

namespace {

// The length of the longest end of `text` that begins one of `stops`.
std::size_t possible_stop_start(const std::string& text, const std::vector<std::string>& stops) {
    std::size_t longest = 0;
    for (const std::string& stop : stops) {
        for (std::size_t n = std::min(stop.size() - 1, text.size()); n > longest; --n) {
            if (text.compare(text.size() - n, n, stop, 0, n) == 0) {
                longest = n;
                break;
            }
        }
    }
    return longest;
}

}  // namespace

int status_for(const std::exception& error) {
    if (const auto* request = dynamic_cast<const RequestError*>(&error)) {
        return request->status();
    }
    if (dynamic_cast<const QueueFull*>(&error) != nullptr) {
        return 429;
    }
    if (dynamic_cast<const NotFoundError*>(&error) != nullptr) {
        return 404;
    }
    if (dynamic_cast<const InvalidValueError*>(&error) != nullptr ||
        dynamic_cast<const nlohmann::json::exception*>(&error) != nullptr) {
        return 400;
    }
    return 500;
}

Answer::Answer(ModelPool& pool, const AnswerRequest& request)
    : model_(pool.acquire(request.model)) {
    std::vector<std::string> stops = request.stop;
    std::string prompt = request.prompt;
    if (request.messages) {
        // The conversation as the model's template renders it, the texts that end its turn
        // added to the caller's stops.
        auto rendered = model_->llama->render_chat(
            *request.messages,
            {.tools = request.tools, .enable_thinking = request.think.value_or(true)});
        prompt = std::move(rendered.prompt);
        stops.insert(stops.end(), rendered.stops.begin(), rendered.stops.end());
        if (rendered.thinking || !request.tools.empty()) {
            reader_.emplace(std::move(rendered.reply_format));
        }
    }
    for (std::string& stop : stops) {
        if (!stop.empty()) {
            stop_.push_back(std::move(stop));
        }
    }
    generation_ = model_->scheduler->submit(model_->llama->tokenize(prompt), request.sampling);
}

Answer::~Answer() {
    generation_->cancel();
}

std::optional<std::string> Answer::next() {
    while (!ended_) {
        std::optional<std::string> piece = stopped_ ? std::nullopt : generation_->next();
        if (!piece) {
            // Drain what the scheduler still sends after a stop text, for the summary.
            while (stopped_ && generation_->next()) {
            }
            ended_ = true;
            finish_reason_ = stopped_ ? "stop" : generation_->summary().finish_reason;
            if (!held_back_.empty() && !stopped_) {
                return std::exchange(held_back_, {});
            }
            return std::nullopt;
        }
        if (auto text = cut_at_stop(std::move(*piece)); text && !text->empty()) {
            return text;
        }
    }
    return std::nullopt;
}

std::optional<Answer::Delta> Answer::next_delta() {
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

const ChatReply& Answer::rest() {
    while (next_delta()) {
    }
    return reply_;
}

std::optional<std::string> Answer::cut_at_stop(std::string piece) {
    if (stop_.empty()) {
        return piece;
    }
    held_back_ += piece;
    std::size_t first = std::string::npos;
    for (const std::string& stop : stop_) {
        first = std::min(first, held_back_.find(stop));
    }
    if (first != std::string::npos) {
        stopped_ = true;
        generation_->cancel();
        std::string text = held_back_.substr(0, first);
        held_back_.clear();
        return text;
    }
    const std::size_t keep = possible_stop_start(held_back_, stop_);
    std::string text = held_back_.substr(0, held_back_.size() - keep);
    held_back_.erase(0, held_back_.size() - keep);
    return text;
}

void stream_events(Answer& answer, platform::http_server::Sink& sink, const EventFormat& format,
                   AccessNote& note) {
    try {
        while (auto piece = answer.next_delta()) {
            if (!sink.write(format.piece(*piece))) {
                // The client has gone: the slot frees at the next step, and the access line
                // counts what was generated until then.
                answer.cancel();
                answer.rest();
                note.tokens = answer.summary().completion_tokens;
                return;
            }
        }
        note.tokens = answer.summary().completion_tokens;
        sink.write(format.end(answer));
    } catch (const std::exception& error) {
        sink.write(format.error(error));
    }
}

}  // namespace kestrune::server
