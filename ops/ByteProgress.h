// The percentage shown while a file's data moves. It rises by one each time another
// length / 100 + 1 bytes are done, so it never reaches 100: 1,000 bytes end at 90, 100 bytes
// at 50, one million at 99, and a file under 100 bytes ends at its length.
#pragma once

#include <cstdint>

namespace kestrel {

class ByteProgress {
public:
    explicit ByteProgress(uint64_t length) : bytesPerPercent_(length / 100 + 1) {}

    int percentAfter(uint64_t bytesDone) const {
        return static_cast<int>(bytesDone / bytesPerPercent_);
    }

private:
    uint64_t bytesPerPercent_;
};

}  // namespace kestrel
