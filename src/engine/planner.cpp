#include "kestrune/engine/planner.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "kestrune/engine/hardware.hpp"

namespace kestrune::engine {

namespace {

constexpr int kDefaultContextCap = 8192;
constexpr int kUnknownContext = 4096;
constexpr int kMinContext = 512;
// Compute buffers and the driver need room beside weights and cache.
constexpr double kMinGpuReserveMb = 512.0;
constexpr double kGpuReserveShare = 0.05;
constexpr double kBytesPerMb = 1048576.0;
constexpr double kF16Bytes = 2.0;

int starting_context(const ModelSpec& spec, std::optional<int> wanted_context) {
    if (wanted_context && *wanted_context > 0) {
        return *wanted_context;
    }
    if (spec.context_length <= 0) {
        return kUnknownContext;
    }
    return static_cast<int>(std::min<std::int64_t>(spec.context_length, kDefaultContextCap));
}

double footprint_mb(const ModelSpec& spec, int context) {
    return static_cast<double>(spec.file_size_mb) + kv_cache_mb(spec, context);
}

int context_that_fits(const ModelSpec& spec, const HardwareProfile& hardware, int context) {
    const double memory_mb = static_cast<double>(hardware.total_vram_mb + hardware.ram_mb);
    const int floor = std::min(context, kMinContext);
    while (context > floor && footprint_mb(spec, context) > memory_mb) {
        context = std::max(floor, context / 2);
    }
    return context;
}

// A layer count a plan can hold; the header's count is 64 bits wide.
int plan_layers(std::int64_t layers) {
    return static_cast<int>(std::clamp<std::int64_t>(layers, 0, std::numeric_limits<int>::max()));
}

int layers_on_gpu(const ModelSpec& spec, const HardwareProfile& hardware, int context) {
    const int layers = plan_layers(spec.n_layers);
    if (hardware.total_vram_mb <= 0 || layers <= 0) {
        return 0;
    }
    // What other programs already hold on the GPU is not ours to fill.
    const double vram_mb =
        static_cast<double>(hardware.free_vram_mb.value_or(hardware.total_vram_mb));
    const double budget_mb = vram_mb - std::max(kMinGpuReserveMb, vram_mb * kGpuReserveShare);
    const double needed_mb = footprint_mb(spec, context);
    if (needed_mb <= budget_mb) {
        return layers;
    }
    if (budget_mb <= 0.0) {
        return 0;
    }
    const double per_layer_mb = needed_mb / layers;
    return std::clamp(static_cast<int>(budget_mb / per_layer_mb), 0, layers);
}

}  // namespace

double kv_cache_mb(const ModelSpec& spec, int context) {
    const std::int64_t kv_heads = spec.n_kv_heads > 0 ? spec.n_kv_heads : spec.n_heads;
    // In floating point from the first factor: the header's counts can be large.
    return 2.0 * static_cast<double>(spec.n_layers) * static_cast<double>(kv_heads) *
           static_cast<double>(spec.head_dim) * static_cast<double>(context) * kF16Bytes /
           kBytesPerMb;
}

InferencePlan plan_inference(const ModelSpec& spec, const HardwareProfile& hardware,
                             std::optional<int> wanted_context) {
    const int context = context_that_fits(spec, hardware, starting_context(spec, wanted_context));
    const int gpu_layers = layers_on_gpu(spec, hardware, context);
    return InferencePlan{
        .n_gpu_layers = gpu_layers,
        .n_cpu_layers = std::max(0, plan_layers(spec.n_layers) - gpu_layers),
        .max_context = context,
    };
}

void to_json(Json& json, const ModelSpec& spec) {
    json = {{"name", spec.name},
            {"file_size_mb", spec.file_size_mb},
            {"n_params_b", spec.n_params_b},
            {"n_layers", spec.n_layers},
            {"n_heads", spec.n_heads},
            {"n_kv_heads", spec.n_kv_heads},
            {"head_dim", spec.head_dim},
            {"context_length", spec.context_length},
            {"is_moe", spec.is_moe}};
}

namespace {

// Splits `total` in proportion to `weights`: the rounded-down quotas, then one more to the
// largest remainders (the earlier on a tie). All-zero weights share equally.
std::vector<int> proportional_shares(int total, const std::vector<double>& weights) {
    double sum = 0.0;
    for (const double weight : weights) {
        sum += std::max(weight, 0.0);
    }
    std::vector<int> shares(weights.size(), 0);
    std::vector<std::pair<double, std::size_t>> remainders;
    int given = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const double share = sum > 0.0
                                 ? static_cast<double>(total) * std::max(weights[i], 0.0) / sum
                                 : static_cast<double>(total) / static_cast<double>(weights.size());
        shares[i] = static_cast<int>(share);
        given += shares[i];
        remainders.emplace_back(share - shares[i], i);
    }
    std::stable_sort(remainders.begin(), remainders.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t i = 0; given < total && i < remainders.size(); ++i, ++given) {
        ++shares[remainders[i].second];
    }
    return shares;
}

}  // namespace

InferencePlan split_across_workers(const InferencePlan& plan, const ModelSpec& spec,
                                   std::int64_t local_free_mb, std::vector<WorkerShare> workers) {
    std::vector<double> weights{static_cast<double>(local_free_mb)};
    for (const WorkerShare& worker : workers) {
        weights.push_back(static_cast<double>(worker.free_mb));
    }
    const std::vector<int> shares = proportional_shares(plan_layers(spec.n_layers), weights);
    InferencePlan split = plan;
    split.n_gpu_layers = std::clamp(plan.n_gpu_layers, 0, shares[0]);
    split.n_cpu_layers = shares[0] - split.n_gpu_layers;
    for (std::size_t i = 0; i < workers.size(); ++i) {
        workers[i].n_layers = shares[i + 1];
    }
    split.workers = std::move(workers);
    return split;
}

std::vector<std::string> describe_split(const InferencePlan& plan) {
    std::vector<std::string> lines{"this machine: " + std::to_string(plan.n_gpu_layers) +
                                   " GPU + " + std::to_string(plan.n_cpu_layers) + " CPU layers"};
    for (const WorkerShare& worker : plan.workers) {
        lines.push_back(worker.endpoint + ": " + std::to_string(worker.n_layers) + " layers (" +
                        std::to_string(worker.free_mb) + " MB free)");
    }
    return lines;
}

void to_json(Json& json, const InferencePlan& plan) {
    json = {{"n_gpu_layers", plan.n_gpu_layers},
            {"n_cpu_layers", plan.n_cpu_layers},
            {"max_context", plan.max_context}};
    if (!plan.workers.empty()) {
        json["workers"] = plan.workers;
    }
}

void to_json(Json& json, const WorkerShare& worker) {
    json = {
        {"endpoint", worker.endpoint}, {"free_mb", worker.free_mb}, {"n_layers", worker.n_layers}};
}

}  // namespace kestrune::engine
