// A second, deliberately slow computation of a raw sector's EDC and P/Q parity, written from
// their definitions alone (polynomial division bit by bit; field arithmetic from the field
// polynomial; each parity vector's two check equations), to check the product's table-driven
// code against. Shares nothing with it but the sector layout.
#pragma once

#include <array>
#include <cstdint>

namespace kestrel::test {

using Sector = std::array<uint8_t, 2352>;

enum class ReferenceKind { Mode1, Mode2Form1, Mode2Form2 };

// Writes the EDC, and P and Q where the kind has them, into `sector`.
void referenceWriteCodes(Sector& sector, ReferenceKind kind);

}  // namespace kestrel::test
