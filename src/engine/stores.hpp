// The model stores of other runtimes the resolver looks into: Ollama's manifests and blobs,
// LM Studio's models, the Hugging Face cache vLLM and MLX fill, and the usual llama.cpp
// directories. Each finds a GGUF file for a name and announces it on standard output. Internal
// to the resolver: its tests reach them here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::engine::resolver {

// The directory under which Ollama files the manifests of its standard models.
inline constexpr std::string_view REGISTRY = "registry.ollama.ai";
inline constexpr std::string_view OLLAMA_DOWNLOAD_URL = "https://ollama.com/download";

// Get Ollama models directory.
std::optional<std::string> _get_ollama_dir();

// Get LM Studio models directory.
std::optional<std::string> _get_lmstudio_dir();

// The blob of the model layer of the manifest at `manifest_path` (a file, or a directory of
// one), when the manifest and that blob exist; `blobs` is the store's blobs directory. A
// damaged manifest is an InvalidValueError naming it.
std::optional<std::string> _ollama_model_blob(const std::string& manifest_path,
                                              const std::string& blobs);

// The directories llama.cpp's models are looked for in, in order, on `system`.
std::vector<std::string> _llamacpp_dirs(const std::string& system);

// Find model in Ollama's local registry.
std::string _resolve_ollama(const std::string& tag);

// Find model in LM Studio's local cache.
std::string _resolve_lmstudio(const std::string& name);

// Find model in vLLM's cache (HuggingFace models, safetensors).
std::string _resolve_vllm(const std::string& name);

// Find model in common llama.cpp model directories.
std::string _resolve_llamacpp(const std::string& name);
std::string _resolve_llamacpp(const std::string& name, const std::string& system);

// Find model in MLX models cache (Apple Silicon).
std::string _resolve_mlx(const std::string& name);

}  // namespace kestrune::engine::resolver
