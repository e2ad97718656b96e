// Makes file permissions bind a test running as root, so that a read-only image or folder is
// refused to it as it would be to a user.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kestrel::test {

// While it lives, the calling thread (and threads it creates meanwhile) lacks CAP_DAC_OVERRIDE
// and CAP_DAC_READ_SEARCH in its effective set, the two that let root read and write past a
// file's mode; the permitted set is kept, so the set is restored at the end. A process that is
// not root already obeys permissions and is left alone.
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
    // Effective, permitted and inheritable words for capabilities 0-31, then for 32-63.
    std::array<uint32_t, 6> saved_{};
    std::string failure_;
};

}  // namespace kestrel::test
