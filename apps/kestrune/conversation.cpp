#include "conversation.hpp"

namespace kestrune::cli {

Conversation::Conversation(std::optional<std::string> system) {
    if (system) {
        set_system(*system);
    }
}

Messages Conversation::system_and_newest() const {
    Messages kept(messages_.begin(), messages_.begin() + static_cast<std::ptrdiff_t>(first_turn()));
    if (messages_.size() > first_turn()) {
        kept.push_back(messages_.back());
    }
    return kept;
}

void Conversation::add(const std::string& role, const std::string& content) {
    messages_.emplace_back(role, content);
}

void Conversation::add(Message message) {
    messages_.push_back(std::move(message));
}

void Conversation::drop_newest() {
    if (messages_.size() > first_turn()) {
        messages_.pop_back();
    }
}

void Conversation::clear() {
    messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(first_turn()), messages_.end());
}

void Conversation::set_system(const std::string& content) {
    if (first_turn() > 0) {
        messages_.front() = Message("system", content);
    } else {
        messages_.insert(messages_.begin(), Message("system", content));
    }
}

int Conversation::fit(const std::function<int(const Messages&)>& count_tokens, int budget) {
    int dropped = 0;
    const auto first = static_cast<std::ptrdiff_t>(first_turn());
    const auto droppable = [&] { return messages_.size() > first_turn() + 1; };
    while (droppable() && count_tokens(messages_) > budget) {
        // A whole exchange goes, so the turns still start with the user's.
        do {
            messages_.erase(messages_.begin() + first);
            ++dropped;
        } while (droppable() && messages_[first_turn()].role() != "user");
    }
    return dropped;
}

std::size_t Conversation::first_turn() const {
    return !messages_.empty() && messages_.front().role() == "system" ? 1 : 0;
}

}  // namespace kestrune::cli
