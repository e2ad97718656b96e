// Widths of the file list's four columns: 3/10, 2/10 and 2/10 of the list's client width
// in whole tenths, and the remainder, so that they always fill it exactly.
#pragma once

#include <array>

namespace kestrel {

constexpr std::array<int, 4> listColumnWidths(int clientWidth) {
    const int tenth = clientWidth / 10;
    return {3 * tenth, 2 * tenth, 2 * tenth, clientWidth - 7 * tenth};
}

}  // namespace kestrel
