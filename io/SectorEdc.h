// The EDC of a raw CD sector: a CRC-32 of x^32+x^31+x^16+x^15+x^4+x^3+x+1 taken least
// significant bit first, with no initial or final inversion, stored little-endian.
#pragma once

#include <cstdint>
#include <span>

namespace kestrel {

uint32_t sectorEdc(std::span<const uint8_t> bytes);

}  // namespace kestrel
