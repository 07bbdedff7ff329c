// llama.cpp's own server, built from the same pinned source by `scripts/setup --tools`, serving
// one model on a free loopback port; terminated when the object goes.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/os/process.hpp"

namespace kestrune::testing {

class LlamaServer {
  public:
    static constexpr const char* binary = KESTRUNE_LLAMA_BIN_DIR "/llama-server";

    static bool built();
    // `extra` is added to the command line (e.g. {"--alias", "name"}).
    explicit LlamaServer(const std::string& model, const std::vector<std::string>& extra = {});

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Waits until the model is loaded and the server answers its health check.
    bool ready(std::chrono::seconds patience);
    // POSTs `body` to `path` and returns the answer's body; a failure status throws.
    std::string post(const std::string& path, const std::string& body) const;

  private:
    int port_;
    platform::process::Child child_;
};

}  // namespace kestrune::testing
