#include "args.hpp"

#include <charconv>

namespace kestrune::cli {

namespace {

bool looks_like_option(const std::string& word) {
    return word.size() > 1 && word.front() == '-' && word != "-";
}

template <typename Number>
Number parse_number(const std::string& name, const std::string& text) {
    Number value{};
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end) {
        throw UsageError(name + " expects a number, not \"" + text + "\"");
    }
    return value;
}

}  // namespace

Args Args::parse(const std::vector<std::string>& words, const ArgSpec& spec) {
    Args args;
    bool options_ended = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        if (options_ended || !looks_like_option(word)) {
            args.positionals_.push_back(word);
            continue;
        }
        if (word == "--") {
            options_ended = true;
            continue;
        }
        std::optional<std::string> inline_value;
        if (const auto equals = word.find('=');
            word.starts_with("--") && equals != std::string::npos) {
            inline_value = word.substr(equals + 1);
            word.resize(equals);
        }
        if (spec.flags.contains(word) && !inline_value) {
            args.flags_.insert(word);
        } else if (spec.options.contains(word)) {
            if (!inline_value && i + 1 == words.size()) {
                throw UsageError(word + " needs a value");
            }
            args.options_[word] = inline_value ? *inline_value : words[++i];
        } else {
            throw UsageError("unknown option " + word);
        }
    }
    if (args.positionals_.size() < spec.min_positionals) {
        throw UsageError("missing argument");
    }
    if (args.positionals_.size() > spec.max_positionals) {
        throw UsageError("unexpected argument \"" + args.positionals_[spec.max_positionals] + "\"");
    }
    return args;
}

std::optional<std::string> Args::positional(std::size_t index) const {
    if (index < positionals_.size()) {
        return positionals_[index];
    }
    return std::nullopt;
}

std::optional<std::string> Args::option(const std::string& name) const {
    if (const auto found = options_.find(name); found != options_.end()) {
        return found->second;
    }
    return std::nullopt;
}

std::optional<long long> Args::integer(const std::string& name) const {
    const auto text = option(name);
    return text ? std::optional(parse_number<long long>(name, *text)) : std::nullopt;
}

std::optional<double> Args::real(const std::string& name) const {
    const auto text = option(name);
    return text ? std::optional(parse_number<double>(name, *text)) : std::nullopt;
}

}  // namespace kestrune::cli
