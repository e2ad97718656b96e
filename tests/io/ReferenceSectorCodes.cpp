#include "io/ReferenceSectorCodes.h"

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace kestrel::test {
namespace {

// ---- EDC: the remainder of the data, as a polynomial whose first coefficient is the least
// significant bit of the first byte, times x^32, divided by (x^16+x^15+x^2+1)(x^16+x^2+x+1).
// Its coefficients follow the data in the same order: x^31 first, least significant bit first.

uint64_t polynomial(std::initializer_list<int> exponents) {
    uint64_t bits = 0;
    for (int e : exponents) {
        bits |= uint64_t{1} << e;
    }
    return bits;
}

uint64_t multiplyOverGf2(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    for (int i = 0; i < 64; ++i) {
        if ((b >> i) & 1) {
            product ^= a << i;
        }
    }
    return product;
}

void writeEdc(Sector& sector, size_t begin, size_t end) {
    const uint64_t generator =
        multiplyOverGf2(polynomial({16, 15, 2, 0}), polynomial({16, 2, 1, 0}));
    uint64_t remainder = 0;  // bit i: the coefficient of x^i
    const auto shiftIn = [&](uint64_t bit) {
        remainder = (remainder << 1) | bit;
        if ((remainder >> 32) & 1) {
            remainder ^= generator;
        }
    };
    for (size_t i = begin; i < end; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            shiftIn((sector[i] >> bit) & 1);
        }
    }
    for (int k = 0; k < 32; ++k) {  // times x^32
        shiftIn(0);
    }
    for (int k = 0; k < 32; ++k) {
        uint8_t& byte = sector[end + k / 8];
        const int bit = k % 8;
        byte = static_cast<uint8_t>((byte & ~(1 << bit)) | ((remainder >> (31 - k)) & 1) << bit);
    }
}

// ---- GF(2^8) from x^8+x^4+x^3+x^2+1, a = x.

uint8_t multiply(uint8_t a, uint8_t b) {
    const uint64_t field = polynomial({8, 4, 3, 2, 0});
    uint64_t product = multiplyOverGf2(a, b);
    for (int e = 15; e >= 8; --e) {
        if ((product >> e) & 1) {
            product ^= field << (e - 8);
        }
    }
    return static_cast<uint8_t>(product);
}

uint8_t powerOfA(int exponent) {
    uint8_t value = 1;
    for (int i = 0; i < exponent; ++i) {
        value = multiply(value, 2);
    }
    return value;
}

uint8_t inverse(uint8_t value) {
    for (int candidate = 1; candidate < 256; ++candidate) {
        if (multiply(value, static_cast<uint8_t>(candidate)) == 1) {
            return static_cast<uint8_t>(candidate);
        }
    }
    return 0;
}

// ---- P and Q: the bytes from 12 on are 1170 words S(n) (bytes 12 + 2n and 13 + 2n); each
// vector is a list of words taken in one byte plane, its last two the parity, and satisfies
// H v = 0 with H = [1 1 ... 1; a^(L-1) ... a 1]. Solved for the two parity bytes by Cramer's
// rule: [1 1; a 1] (p q) = (s0 s1).

size_t byteOf(size_t word, size_t plane) {
    return 12 + 2 * word + plane;
}

void writeVector(Sector& sector, const std::vector<size_t>& words, size_t plane) {
    const size_t length = words.size();
    uint8_t s0 = 0, s1 = 0;
    for (size_t i = 0; i + 2 < length; ++i) {
        const uint8_t d = sector[byteOf(words[i], plane)];
        s0 ^= d;
        s1 ^= multiply(powerOfA(static_cast<int>(length - 1 - i)), d);
    }
    const uint8_t a = powerOfA(1);
    const uint8_t overDeterminant = inverse(1 ^ a);
    sector[byteOf(words[length - 2], plane)] = multiply(s0 ^ s1, overDeterminant);
    sector[byteOf(words[length - 1], plane)] = multiply(s1 ^ multiply(a, s0), overDeterminant);
}

void writeParity(Sector& sector) {
    for (size_t plane = 0; plane < 2; ++plane) {
        for (size_t np = 0; np < 43; ++np) {
            std::vector<size_t> words;
            for (size_t mp = 0; mp < 26; ++mp) {
                words.push_back(43 * mp + np);
            }
            writeVector(sector, words, plane);
        }
    }
    for (size_t plane = 0; plane < 2; ++plane) {
        for (size_t nq = 0; nq < 26; ++nq) {
            std::vector<size_t> words;
            for (size_t mq = 0; mq < 43; ++mq) {
                words.push_back((44 * mq + 43 * nq) % 1118);
            }
            words.push_back(1118 + nq);
            words.push_back(1144 + nq);
            writeVector(sector, words, plane);
        }
    }
}

}  // namespace

void referenceWriteCodes(Sector& sector, ReferenceKind kind) {
    switch (kind) {
        case ReferenceKind::Mode1:
            writeEdc(sector, 0, 2064);
            for (size_t i = 2068; i < 2076; ++i) {
                sector[i] = 0;
            }
            writeParity(sector);
            break;
        case ReferenceKind::Mode2Form1: {
            writeEdc(sector, 16, 2072);
            Sector headerless = sector;
            for (size_t i = 12; i < 16; ++i) {
                headerless[i] = 0;
            }
            writeParity(headerless);
            for (size_t i = 2076; i < 2352; ++i) {
                sector[i] = headerless[i];
            }
            break;
        }
        case ReferenceKind::Mode2Form2:
            writeEdc(sector, 16, 2348);
            break;
    }
}

}  // namespace kestrel::test
