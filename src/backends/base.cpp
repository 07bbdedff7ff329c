#include "kestrune/backends/base.hpp"

#include <nlohmann/json.hpp>

namespace kestrune::backends {

void to_json(Json& json, const BackendInfo& info) {
    json = {{"name", info.name},
            {"version", info.version},
            {"available", info.available},
            {"models_count", info.models_count},
            {"details", info.details}};
}

void to_json(Json& json, const ModelEntry& entry) {
    json = {{"name", entry.name},
            {"backend", entry.backend},
            {"size_mb", entry.size_mb},
            {"path", entry.path},
            {"family", entry.family},
            {"quant", entry.quant},
            {"parameters_b", entry.parameters_b}};
}

void to_json(Json& json, const BackendStats& stats) {
    json = {{"model_name", stats.model_name}, {"context_max", stats.context_max}};
}

}  // namespace kestrune::backends
