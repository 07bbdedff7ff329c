#include "table.hpp"

#include <algorithm>
#include <cstdio>

namespace kestrune::cli {

void print_table(std::ostream& out, const Row& header, const std::vector<Row>& rows) {
    std::vector<std::size_t> widths(header.size());
    for (std::size_t i = 0; i < header.size(); ++i) {
        widths[i] = header[i].size();
    }
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    const auto print_row = [&](const Row& row) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            const bool last = i + 1 == row.size();
            out << row[i] << (last ? "" : std::string(widths[i] - row[i].size() + 2, ' '));
        }
        out << '\n';
    };
    print_row(header);
    std::ranges::for_each(rows, print_row);
}

std::string human_size(double size_mb) {
    char text[32];
    if (size_mb >= 1024.0) {
        std::snprintf(text, sizeof text, "%.1f GB", size_mb / 1024.0);
    } else if (size_mb >= 10.0) {
        std::snprintf(text, sizeof text, "%.0f MB", size_mb);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", size_mb);
    }
    return text;
}

}  // namespace kestrune::cli
