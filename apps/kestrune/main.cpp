// kestrune: the command-line front end. Failures print their message on standard error and
// exit 1; a malformed command line prints the usage and exits 2.
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "args.hpp"
#include "commands.hpp"
#include "kestrune/core/errors.hpp"

namespace {

using kestrune::cli::Words;

constexpr const char* kUsage = R"(usage: kestrune <command> [arguments]

  run [REF] [-p PROMPT]        chat with a model (the bundled tiny model by default)
      --backend native|ollama|lmstudio|vllm|remote|huggingface   --host URL   --api-key KEY
      --max-tokens N  --temperature T  --ctx N  --kv-type TYPE  --draft REF
      --output-dir DIR  --no-stream  --verbose
  info REF                     describe a model from its GGUF header
  meta PATH                    the whole GGUF metadata map as JSON
  resolve REF [--output-dir D] turn a model reference into a local GGUF path
  pull NAME [--quant Q]        download a catalogue model into the local store
  list [--catalog]             models in the local store, or the catalogue
  search QUERY                 search the catalogue and the Hugging Face hub
  backends                     which runtimes are available here
  kv recommend --params B --vram MB --context N   recommend KV cache types
  eval TEXT [--prompt P]       score a generated text
  websearch QUERY [--max-results N]               search the web

REF: a path, hf://user/repo[/file], ollama://name:tag, lmstudio://name, vllm://org/model,
llamacpp://name, mlx://name, https://address, or a catalogue name.
)";

using Command = void (*)(const Words&);

const std::map<std::string, Command>& commands() {
    using namespace kestrune::cli;
    static const std::map<std::string, Command> table{
        {"run", run_command},         {"info", info_command},           {"meta", meta_command},
        {"resolve", resolve_command}, {"pull", pull_command},           {"list", list_command},
        {"search", search_command},   {"backends", backends_command},   {"kv", kv_command},
        {"eval", eval_command},       {"websearch", websearch_command},
    };
    return table;
}

int usage_error(const std::string& message) {
    std::cerr << "kestrune: " << message << "\n\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const Words words(argv + 1, argv + argc);
    if (words.empty()) {
        return usage_error("no command given");
    }
    if (words.front() == "-h" || words.front() == "--help" || words.front() == "help") {
        std::cout << kUsage;
        return 0;
    }
    const auto command = commands().find(words.front());
    if (command == commands().end()) {
        return usage_error("unknown command \"" + words.front() + "\"");
    }
    try {
        command->second(Words(words.begin() + 1, words.end()));
        return 0;
    } catch (const kestrune::cli::UsageError& error) {
        return usage_error(error.what());
    } catch (const kestrune::Error& error) {
        std::cout.flush();
        // Multi-line messages (the resolver's not-found text) carry their own last line break.
        const std::string message = error.what();
        std::cerr << message << (message.ends_with('\n') ? "" : "\n");
        return 1;
    }
}
