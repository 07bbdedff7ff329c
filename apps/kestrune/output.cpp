#include "output.hpp"

#include <iostream>

namespace kestrune::cli {

std::ostream& results() {
    // Bound on first use, which LibraryOutputToStderr makes happen before it swaps buffers.
    static std::ostream stream(std::cout.rdbuf());
    return stream;
}

ScopedCoutBuffer::ScopedCoutBuffer(std::streambuf* buffer) : saved_(std::cout.rdbuf(buffer)) {}

ScopedCoutBuffer::~ScopedCoutBuffer() {
    std::cout.rdbuf(saved_);
}

namespace {

// results() must be bound to standard output before std::cout is pointed elsewhere.
std::streambuf* stderr_buffer_once_results_is_bound() {
    results();
    return std::cerr.rdbuf();
}

}  // namespace

LibraryOutputToStderr::LibraryOutputToStderr() : redirect_(stderr_buffer_once_results_is_bound()) {}

void print_json(const nlohmann::ordered_json& value) {
    results() << value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << std::endl;
}

}  // namespace kestrune::cli
