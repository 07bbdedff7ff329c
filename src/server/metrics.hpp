// What /metrics reports, in Prometheus' text format: requests by route and status, tokens read
// and generated, and for each loaded model its sequences busy, its requests queued and how long
// it took to load.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::server {

// A loaded model as the gauges show it.
struct ModelGauges {
    std::string name;
    int busy = 0;  // generations running or waiting
    int parallel = 1;
    double load_seconds = 0;
};

class Metrics {
  public:
    // `route` is the path of a route the server has (or "unrouted"): never a client's text, so
    // the series stay few.
    void count(const std::string& route, int status, int prompt_tokens, int completion_tokens);
    std::string text(const std::vector<ModelGauges>& models) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int>, long long> requests_;
    long long prompt_tokens_ = 0;
    long long completion_tokens_ = 0;
};

}  // namespace kestrune::server
