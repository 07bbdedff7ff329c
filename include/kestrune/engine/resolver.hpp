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

#include "kestrune/core/export.hpp"

namespace kestrune::resolver {

// The directory under which Ollama files the manifests of its standard models.
inline constexpr std::string_view REGISTRY = "registry.ollama.ai";
inline constexpr std::string_view OLLAMA_DOWNLOAD_URL = "https://ollama.com/download";

// Resolves `model_ref` to the path of a model file; downloads land in `output_dir`.
KESTRUNE_API std::string resolve_model(const std::string& model_ref,
                                       const std::string& output_dir = ".");

// One entry of the scheme table: the text before "://" and the handler it selects.
// `reference` is the whole reference, `rest` the text after the first "://".
struct KESTRUNE_API Scheme {
    std::string_view name;
    std::string (*handle)(const std::string& reference, const std::string& rest,
                          const std::string& output_dir);
};

extern KESTRUNE_API const std::array<Scheme, 9> SCHEMES;

// Download from HuggingFace. Format: user/repo/file.gguf or user/repo
KESTRUNE_API std::string _resolve_huggingface(const std::string& path,
                                              const std::string& output_dir);

// Download model from direct URL.
KESTRUNE_API std::string _resolve_url(const std::string& url, const std::string& output_dir);

// Search for a model in common locations.
// `system` defaults to this platform's system name.
KESTRUNE_API std::optional<std::string> _search_local(const std::string& name);
KESTRUNE_API std::optional<std::string> _search_local(const std::string& name,
                                                      const std::string& system);

// Get Ollama models directory.
KESTRUNE_API std::optional<std::string> _get_ollama_dir();

// Get LM Studio models directory.
KESTRUNE_API std::optional<std::string> _get_lmstudio_dir();

// Find model in Ollama's local registry.
KESTRUNE_API std::string _resolve_ollama(const std::string& tag);

// Find model in LM Studio's local cache.
KESTRUNE_API std::string _resolve_lmstudio(const std::string& name);

// Find model in vLLM's cache (HuggingFace models, safetensors).
KESTRUNE_API std::string _resolve_vllm(const std::string& name);

// Find model in common llama.cpp model directories.
KESTRUNE_API std::string _resolve_llamacpp(const std::string& name);
KESTRUNE_API std::string _resolve_llamacpp(const std::string& name, const std::string& system);

// Find model in MLX models cache (Apple Silicon).
KESTRUNE_API std::string _resolve_mlx(const std::string& name);

}  // namespace kestrune::resolver
