// Makes file permissions bind a test running as root, so that a read-only image or folder is
// refused to it as it would be to a user.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kestrel::test {

// While it lives, the calling thread lacks CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH in its
// effective capability set, the two that let root read and write past a file's mode; threads
// created meanwhile inherit that. The permitted set is kept, so the destructor restores the
// effective set as it was. A process that is not root already obeys permissions and is left
// alone.
class WithoutAccessOverride {
public:
    WithoutAccessOverride();
    ~WithoutAccessOverride();
    WithoutAccessOverride(const WithoutAccessOverride&) = delete;
    WithoutAccessOverride& operator=(const WithoutAccessOverride&) = delete;

    // Whether permissions now bind this thread; if not, failure() says why.
    bool holds() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

private:
    bool dropped_ = false;
    std::array<uint32_t, 2> savedEffective_{};  // the two 32-bit words of the effective set
    std::string failure_;
};

}  // namespace kestrel::test
