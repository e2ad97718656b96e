#include "support/FileAccess.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel::test {

namespace {

static_assert(sizeof(__user_cap_data_struct) * _LINUX_CAPABILITY_U32S_3 == 6 * sizeof(uint32_t));

// pid 0 is the calling thread: capabilities belong to threads, not to the process.
std::string capabilities(long call, std::array<uint32_t, 6>& data) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    if (::syscall(call, &header, data.data()) == 0) {
        return "";
    }
    return std::string(call == SYS_capget ? "capget" : "capset") +
           " failed: " + std::strerror(errno);
}

}  // namespace

WithoutAccessOverride::WithoutAccessOverride() {
    if (::geteuid() != 0) {
        return;
    }
    failure_ = capabilities(SYS_capget, saved_);
    if (!failure_.empty()) {
        return;
    }
    auto dropped = saved_;
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        dropped[3 * CAP_TO_INDEX(capability)] &= ~CAP_TO_MASK(capability);
    }
    failure_ = capabilities(SYS_capset, dropped);
    dropped_ = failure_.empty();
}

WithoutAccessOverride::~WithoutAccessOverride() {
    // Left dropped, later tests would fail for no reason of their own.
    if (const auto failure = dropped_ ? capabilities(SYS_capset, saved_) : ""; !failure.empty()) {
        std::fprintf(stderr, "restoring the effective capabilities: %s\n", failure.c_str());
    }
}

}  // namespace kestrel::test
