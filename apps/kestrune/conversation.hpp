// The messages of a chat: an optional system message, then the turns. When the prompt grows
// past the model's context, the oldest turns go (never the system message, never the newest
// message) so the conversation can go on; an assistant's tool calls and their results go with
// the exchange they belong to.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "kestrune/core/messages.hpp"

namespace kestrune::cli {

class Conversation {
  public:
    explicit Conversation(std::optional<std::string> system = std::nullopt);

    const Messages& messages() const { return messages_; }
    // The system message (when there is one) and the newest message, without the turns between.
    Messages system_and_newest() const;
    void add(const std::string& role, const std::string& content);
    void add(Message message);
    // Takes back the newest message (a question that got no answer).
    void drop_newest();
    // Forgets every turn; the system message stays.
    void clear();
    void set_system(const std::string& content);

    // Drops the oldest turns until `count_tokens(messages())` is at most `budget`, or only the
    // system message and the newest message are left. Returns how many messages went.
    int fit(const std::function<int(const Messages&)>& count_tokens, int budget);

  private:
    std::size_t first_turn() const;

    Messages messages_;
};

}  // namespace kestrune::cli
