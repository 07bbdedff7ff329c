// Collects what is printed on std::cout while the object lives.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace kestrune::testing {

class CoutCapture {
  public:
    CoutCapture() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;
    ~CoutCapture() { std::cout.rdbuf(previous_); }

    std::string text() const { return buffer_.str(); }

  private:
    std::ostringstream buffer_;
    std::streambuf* previous_;
};

}  // namespace kestrune::testing
