// Generic OpenAI-compatible API backend.
//
// Any server speaking the OpenAI-compatible chat API. The server holds and runs the models;
// the adapter keeps its address, an optional API key and the model to ask for. The key goes
// only into the Authorization header, never into a message text.
#pragma once

#include <string>

#include "kestrune/backends/openai_compatible.hpp"
#include "kestrune/core/export.hpp"

namespace kestrune::backends {

class KESTRUNE_API RemoteBackend : public OpenAICompatibleBackend {
  public:
    // `timeouts.list` also bounds detect's look at the server.
    explicit RemoteBackend(const std::string& host = "http://localhost:8080",
                           const std::string& api_key = "", OpenAICompatibleTimeouts timeouts = {});

    std::string name() const override { return "remote"; }

    BackendInfo detect() override;

    // The headers of every request: Content-Type, and Authorization when a key is set.
    KESTRUNE_LOCAL Headers _headers() const;

  protected:
    // Out of line: they call _headers, which only the library reaches.
    Headers listing_headers() const override;
    Headers chat_headers() const override;

  private:
    std::string _api_key;
};

}  // namespace kestrune::backends
