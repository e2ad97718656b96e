// Widths of the file list's first three columns: 3/10, 2/10 and 2/10 of the list's client
// width, in whole tenths. The last column takes whatever the viewport has left, so that it
// narrows instead of running under the vertical scroll bar when that shows.
#pragma once

#include <array>

namespace kestrel {

constexpr std::array<int, 3> leadingListColumnWidths(int clientWidth) {
    const int tenth = clientWidth / 10;
    return {3 * tenth, 2 * tenth, 2 * tenth};
}

}  // namespace kestrel
