// Stop texts in generated text: text that could still grow into one is held back, and the
// first one that appears whole ends the text there (the stop text itself is not passed on).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class StopTexts {
  public:
    explicit StopTexts(std::vector<std::string> stops);

    // Takes the next piece of text and returns what can be passed on now. After a stop text
    // appeared, returns the text before it and nothing ever again.
    std::string push(std::string_view piece);
    // The text still held back, once no more will come.
    std::string flush();
    bool stopped() const { return stopped_; }
    // The stop text that ended the text ("" while none has).
    const std::string& matched() const { return matched_; }

  private:
    // The longest end of held_ that begins some stop text.
    std::size_t held_prefix_length() const;

    std::vector<std::string> stops_;
    std::string held_;
    bool stopped_ = false;
    std::string matched_;
};

}  // namespace kestrune
