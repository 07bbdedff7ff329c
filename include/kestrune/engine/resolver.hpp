// Universal Model Resolver — load models from ANY source.
//
// Turns a model reference as the user typed it (a path, hf://user/repo, ollama://llama3:8b,
// a bare catalogue name, a download address) into the path of a local GGUF file, downloading
// it when needed. Progress lines go to standard output; failures carry the user's message.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "kestrune/platform/files.hpp"

namespace kestrune::resolver {

// The directory under which Ollama files the manifests of its standard models.
inline constexpr std::string_view REGISTRY = "registry.ollama.ai";
inline constexpr std::string_view OLLAMA_DOWNLOAD_URL = "https://ollama.com/download";

// Resolves `model_ref` to the path of a model file; downloads land in `output_dir`.
std::string resolve_model(const std::string& model_ref, const std::string& output_dir = ".");

// One entry of the scheme table: the text before "://" and the handler it selects.
// `reference` is the whole reference, `rest` the text after the first "://".
struct Scheme {
    std::string_view name;
    std::string (*handle)(const std::string& reference, const std::string& rest,
                          const std::string& output_dir);
};

extern const std::array<Scheme, 9> SCHEMES;

// Download from HuggingFace. Format: user/repo/file.gguf or user/repo
std::string _resolve_huggingface(const std::string& path, const std::string& output_dir);

// Download model from direct URL.
std::string _resolve_url(const std::string& url, const std::string& output_dir);

// Search for a model in common locations.
std::optional<std::string> _search_local(
    const std::string& name, const std::string& system = platform::files::system_name());

// Get Ollama models directory.
std::optional<std::string> _get_ollama_dir();

// Get LM Studio models directory.
std::optional<std::string> _get_lmstudio_dir();

// Find model in Ollama's local registry.
std::string _resolve_ollama(const std::string& tag);

// Find model in LM Studio's local cache.
std::string _resolve_lmstudio(const std::string& name);

// Find model in vLLM's cache (HuggingFace models, safetensors).
std::string _resolve_vllm(const std::string& name);

// Find model in common llama.cpp model directories.
std::string _resolve_llamacpp(const std::string& name,
                              const std::string& system = platform::files::system_name());

// Find model in MLX models cache (Apple Silicon).
std::string _resolve_mlx(const std::string& name);

}  // namespace kestrune::resolver
