// The resolver's internal steps, one per kind of reference, and the search of this machine's
// model stores. Not exported: the resolver's tests, and the server's model pool, which looks
// only on this machine, reach them here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/stores.hpp"

namespace kestrune::engine::resolver {

// Download from HuggingFace. Format: user/repo/file.gguf or user/repo
std::string _resolve_huggingface(const std::string& path, const std::string& output_dir);

// Download model from direct URL.
std::string _resolve_url(const std::string& url, const std::string& output_dir);

// The record beside a file downloaded from an address: the address it came from, so that
// another address serving a file of the same name is not taken for it.
std::string _download_record(const std::string& file);

// Search for a model in common locations.
// `system` defaults to this platform's system name.
std::optional<std::string> _search_local(const std::string& name);
std::optional<std::string> _search_local(const std::string& name, const std::string& system);

// Whether references may begin with "`scheme`://".
bool known_scheme(std::string_view scheme);

// The file a bare name stands for on this machine, in the resolver's order (Kestrune's own
// models, then the stores of other runtimes), without downloading; absent when none is here.
std::optional<std::string> find_local_model(const std::string& name);

}  // namespace kestrune::engine::resolver
