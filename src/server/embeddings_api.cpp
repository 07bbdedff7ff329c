#include "server/embeddings_api.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "server/fields.hpp"

namespace kestrune::server::embeddings_api {

namespace {

using platform::llama::Token;
using Clock = std::chrono::steady_clock;

// Each input as tokens: a text, or a list of texts, or token ids, or lists of them.
std::vector<std::vector<Token>> inputs_of(const Json& body, const std::string& key,
                                          const platform::llama::Llama& weights) {
    const auto found = body.find(key);
    if (found == body.end() || found->is_null()) {
        throw RequestError(400, "'" + key + "' is required");
    }
    const auto ids = [&](const Json& list) {
        std::vector<Token> tokens;
        for (const Json& id : list) {
            if (!id.is_number_integer() || id.get<long long>() < 0 ||
                id.get<long long>() >= weights.n_vocab()) {
                throw RequestError(400, "'" + key + "' holds a token id outside the vocabulary");
            }
            tokens.push_back(id.get<Token>());
        }
        return tokens;
    };
    const auto one = [&](const Json& input) {
        if (input.is_string()) {
            return weights.tokenize(input.get<std::string>());
        }
        if (input.is_array()) {
            return ids(input);
        }
        throw RequestError(400, "'" + key + "' must be a text, texts or lists of token ids");
    };
    std::vector<std::vector<Token>> inputs;
    if (found->is_array() && !found->empty() && !found->front().is_number()) {
        for (const Json& input : *found) {
            inputs.push_back(one(input));
        }
    } else {
        inputs.push_back(one(*found));
    }
    for (const auto& tokens : inputs) {
        if (tokens.empty()) {
            throw RequestError(400, "'" + key + "' must not be empty");
        }
    }
    return inputs;
}

struct Embedded {
    std::string model;
    std::vector<std::vector<float>> vectors;
    int tokens = 0;
    Clock::duration load{};
    Clock::duration total{};
};

Embedded embed(const ServeContext& context, const Json& body, const std::string& key,
               bool truncate) {
    const auto began = Clock::now();
    const auto model =
        context.pool.acquire(requested_model(body, context), fields::keep_alive(body));
    Embedded embedded{.model = model->known.name, .load = Clock::now() - began};
    const auto dimensions = fields::integer(body, "dimensions");
    for (auto& tokens : inputs_of(body, key, model->model->weights())) {
        auto embedding = model->model->embed(std::move(tokens), truncate,
                                             static_cast<int>(dimensions.value_or(0)));
        embedded.vectors.push_back(std::move(embedding.vector));
        embedded.tokens += embedding.tokens;
    }
    embedded.total = Clock::now() - began;
    return embedded;
}

// The floats' little-endian bytes in base64, as OpenAI's "encoding_format": "base64" gives.
std::string base64_floats(const std::vector<float>& vector) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes(vector.size() * sizeof(float), '\0');
    std::memcpy(bytes.data(), vector.data(), bytes.size());
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            group = (group << 8) | (j < left ? static_cast<unsigned char>(bytes[i + j]) : 0U);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            out += j <= left ? kDigits[(group >> (18 - 6 * j)) & 63U] : '=';
        }
    }
    return out;
}

std::int64_t nanoseconds(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

}  // namespace

Response openai(const ServeContext& context, const Request& request,
                const std::shared_ptr<AccessNote>& note) {
    const Json body = fields::parse_object(request.body);
    const std::string format = fields::text(body, "encoding_format").value_or("float");
    if (format != "float" && format != "base64") {
        throw RequestError(400, "'encoding_format' must be \"float\" or \"base64\"");
    }
    const Embedded embedded = embed(context, body, "input", false);
    note->prompt_tokens = embedded.tokens;
    Json data = Json::array();
    for (std::size_t i = 0; i < embedded.vectors.size(); ++i) {
        const auto& vector = embedded.vectors[i];
        data.push_back(
            {{"object", "embedding"},
             {"index", i},
             {"embedding", format == "base64" ? Json(base64_floats(vector)) : Json(vector)}});
    }
    return json_answer(
        {{"object", "list"},
         {"data", data},
         {"model", embedded.model},
         {"usage", {{"prompt_tokens", embedded.tokens}, {"total_tokens", embedded.tokens}}}});
}

Response ollama(const ServeContext& context, const Request& request,
                const std::shared_ptr<AccessNote>& note) {
    const Json body = fields::parse_object(request.body);
    const Embedded embedded =
        embed(context, body, "input", fields::flag(body, "truncate").value_or(true));
    note->prompt_tokens = embedded.tokens;
    return json_answer({{"model", embedded.model},
                        {"embeddings", embedded.vectors},
                        {"total_duration", nanoseconds(embedded.total)},
                        {"load_duration", nanoseconds(embedded.load)},
                        {"prompt_eval_count", embedded.tokens}});
}

Response ollama_legacy(const ServeContext& context, const Request& request,
                       const std::shared_ptr<AccessNote>& note) {
    const Json body = fields::parse_object(request.body);
    if (!fields::text(body, "prompt")) {
        throw RequestError(400, "'prompt' must be a text");
    }
    const Embedded embedded = embed(context, body, "prompt", true);
    note->prompt_tokens = embedded.tokens;
    return json_answer({{"embedding", embedded.vectors.front()}});
}

}  // namespace kestrune::server::embeddings_api
