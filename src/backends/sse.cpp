#include "kestrune/backends/sse.hpp"

#include <utility>

#include "kestrune/errors.hpp"
#include "kestrune/platform/json.hpp"

namespace kestrune::backends::sse {

namespace {

constexpr std::string_view data_prefix = "data: ";
constexpr std::string_view done_marker = "data: [DONE]";
constexpr std::string_view whitespace = " \t\r\n\v\f";

std::string piece_of_event(const Json& event) {
    if (!event.is_object()) {
        throw RuntimeFailure("stream event is not a JSON object");
    }
    const auto choices = event.find("choices");
    if (choices == event.end() || !choices->is_array() || choices->empty()) {
        throw RuntimeFailure("stream event has no choices");
    }
    const Json& choice = choices->front();
    if (!choice.is_object()) {
        throw RuntimeFailure("stream event choice is not a JSON object");
    }
    const auto delta = choice.find("delta");
    if (delta == choice.end()) {
        return "";
    }
    if (!delta->is_object()) {
        throw RuntimeFailure("stream event delta is not a JSON object");
    }
    const auto content = delta->find("content");
    if (content == delta->end() || content->is_null()) {
        return "";
    }
    if (!content->is_string()) {
        throw RuntimeFailure("stream event content is not text");
    }
    return content->get<std::string>();
}

}  // namespace

std::string_view trim_whitespace(std::string_view text) {
    const auto first = text.find_first_not_of(whitespace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(whitespace);
    return text.substr(first, last - first + 1);
}

std::string content_piece(std::string_view line, OnMalformed on_malformed) {
    const std::string_view trimmed = trim_whitespace(line);
    if (!trimmed.starts_with(data_prefix) || trimmed == done_marker) {
        return "";
    }
    Json event = Json::parse(trimmed.substr(data_prefix.size()), nullptr, false);
    if (event.is_discarded()) {
        if (on_malformed == OnMalformed::skip) {
            return "";
        }
        throw InvalidValueError("stream event is not valid JSON");
    }
    return piece_of_event(event);
}

TextStream content_stream(platform::http::Request request, OnMalformed on_malformed) {
    auto answer = platform::http::ResponseStream::open(request);
    while (auto line = answer.next_line()) {
        std::string piece = content_piece(*line, on_malformed);
        if (!piece.empty()) {
            co_yield std::move(piece);
        }
    }
}

}  // namespace kestrune::backends::sse
