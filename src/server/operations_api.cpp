#include "server/operations_api.hpp"

#include "core/utf8.hpp"
#include "server/fields.hpp"

namespace kestrune::server::operations_api {

namespace {

using platform::llama::Token;

std::shared_ptr<LoadedModel> model_for(const ServeContext& context, const Json& body) {
    return context.pool.acquire(fields::text(body, "model").value_or(context.default_model));
}

Json piece_json(const std::string& piece) {
    if (utf8::valid_prefix(piece) == piece.size()) {
        return piece;
    }
    Json bytes = Json::array();
    for (const unsigned char byte : piece) {
        bytes.push_back(byte);
    }
    return bytes;
}

}  // namespace

Response health(bool ready) {
    if (ready) {
        return json_answer({{"status", "ok"}});
    }
    return json_answer(
        {{"error", {{"code", 503}, {"message", "Loading model"}, {"type", "unavailable_error"}}}},
        503);
}

Response metrics(const Metrics& metrics, const ModelPool& pool) {
    std::vector<ModelGauges> gauges;
    for (const auto& loaded : pool.loaded()) {
        const auto& scheduler = loaded->model->scheduler();
        gauges.push_back({.name = loaded->known.name,
                          .busy = scheduler.busy(),
                          .parallel = scheduler.parallel(),
                          .load_seconds = loaded->load_time.count()});
    }
    return {.status = 200,
            .content_type = "text/plain; version=0.0.4",
            .body = metrics.text(gauges),
            .stream = {}};
}

Response tokenize(const ServeContext& context, const Request& request) {
    const Json body = fields::parse_object(request.body);
    const std::string content = fields::text(body, "content").value_or("");
    const bool add_special = fields::flag(body, "add_special").value_or(false);
    const bool with_pieces = fields::flag(body, "with_pieces").value_or(false);
    const auto model = model_for(context, body);
    const auto& weights = model->model->weights();
    Json tokens = Json::array();
    for (const Token token : weights.tokenize(content, add_special)) {
        if (with_pieces) {
            tokens.push_back({{"id", token}, {"piece", piece_json(weights.token_to_piece(token))}});
        } else {
            tokens.push_back(token);
        }
    }
    return json_answer({{"tokens", tokens}});
}

Response detokenize(const ServeContext& context, const Request& request) {
    const Json body = fields::parse_object(request.body);
    const auto model = model_for(context, body);
    const auto& weights = model->model->weights();
    std::vector<Token> tokens;
    const auto found = body.find("tokens");
    if (found != body.end() && !found->is_null()) {
        if (!found->is_array()) {
            throw RequestError(400, "'tokens' must be a list of token ids");
        }
        for (const Json& id : *found) {
            if (!id.is_number_integer() || id.get<long long>() < 0 ||
                id.get<long long>() >= weights.n_vocab()) {
                throw RequestError(400, "'tokens' must hold ids from 0 to " +
                                            std::to_string(weights.n_vocab() - 1));
            }
            tokens.push_back(id.get<Token>());
        }
    }
    return json_answer({{"content", weights.detokenize(tokens)}});
}

}  // namespace kestrune::server::operations_api
