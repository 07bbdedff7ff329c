#include "server/metrics.hpp"

#include <algorithm>
#include <sstream>

namespace kestrune::server {

namespace {

// A label value as the text format writes it: backslash, quote and line feed escaped.
std::string label(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
        }
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return '"' + escaped + '"';
}

void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

void Metrics::count(const std::string& route, int status, int prompt_tokens,
                    int completion_tokens) {
    std::lock_guard lock(mutex_);
    ++requests_[{route, status}];
    prompt_tokens_ += prompt_tokens;
    completion_tokens_ += completion_tokens;
}

std::string Metrics::text(const std::vector<ModelGauges>& models) const {
    std::ostringstream out;
    {
        std::lock_guard lock(mutex_);
        family(out, "kestrune_requests_total", "counter",
               "Requests answered, by route and status.");
        for (const auto& [key, count] : requests_) {
            out << "kestrune_requests_total{route=" << label(key.first) << ",status=\""
                << key.second << "\"} " << count << '\n';
        }
        family(out, "kestrune_prompt_tokens_total", "counter", "Prompt tokens read.");
        out << "kestrune_prompt_tokens_total " << prompt_tokens_ << '\n';
        family(out, "kestrune_generated_tokens_total", "counter", "Tokens generated.");
        out << "kestrune_generated_tokens_total " << completion_tokens_ << '\n';
    }
    family(out, "kestrune_sequences_busy", "gauge", "Sequences decoding, by model.");
    for (const ModelGauges& model : models) {
        out << "kestrune_sequences_busy{model=" << label(model.name) << "} "
            << std::min(model.busy, model.parallel) << '\n';
    }
    family(out, "kestrune_queue_length", "gauge", "Requests waiting for a sequence, by model.");
    for (const ModelGauges& model : models) {
        out << "kestrune_queue_length{model=" << label(model.name) << "} "
            << std::max(model.busy - model.parallel, 0) << '\n';
    }
    family(out, "kestrune_model_load_seconds", "gauge", "How long each loaded model took to load.");
    for (const ModelGauges& model : models) {
        out << "kestrune_model_load_seconds{model=" << label(model.name) << "} "
            << model.load_seconds << '\n';
    }
    return out.str();
}

}  // namespace kestrune::server
