#include "output.hpp"

#include <iostream>

#include "kestrune/core/output.hpp"
#include "progress.hpp"

namespace kestrune::cli {

namespace {

void library_output_to(std::ostream& stream) {
    set_output([&stream](std::string_view text) { stream << text << std::flush; });
}

}  // namespace

std::ostream& results() {
    return std::cout;
}

LibraryOutputToStderr::LibraryOutputToStderr() {
    library_output_to(std::cerr);
    draw_download_progress();
}

LibraryOutputToStderr::~LibraryOutputToStderr() {
    set_output({});
    set_download_progress({});
}

LibraryOutputAsResults::LibraryOutputAsResults() {
    library_output_to(results());
}

LibraryOutputAsResults::~LibraryOutputAsResults() {
    library_output_to(std::cerr);
}

void print_json(const nlohmann::ordered_json& value) {
    results() << value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << std::endl;
}

}  // namespace kestrune::cli
