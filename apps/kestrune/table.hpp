// Records shown to people: aligned columns under a header, sizes in human units.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kestrune::cli {

using Row = std::vector<std::string>;

// Each column as wide as its widest cell, two spaces apart; the last column is not padded.
void print_table(std::ostream& out, const Row& header, const std::vector<Row>& rows);

// "1.9 GB", "512 MB", "0.3 MB" for a size in MB (1 GB = 1024 MB, as the model printout).
std::string human_size(double size_mb);

}  // namespace kestrune::cli
