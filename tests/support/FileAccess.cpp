#include "support/FileAccess.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel::test {

namespace {

using CapabilityData = std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3>;
static_assert(_LINUX_CAPABILITY_U32S_3 == 2, "the saved effective set has two words");

// pid 0 is the calling thread: capabilities belong to threads, not to the process.
__user_cap_header_struct threadHeader() {
    return __user_cap_header_struct{_LINUX_CAPABILITY_VERSION_3, 0};
}

bool readCapabilities(CapabilityData& data) {
    auto header = threadHeader();
    return ::syscall(SYS_capget, &header, data.data()) == 0;
}

bool writeCapabilities(CapabilityData& data) {
    auto header = threadHeader();
    return ::syscall(SYS_capset, &header, data.data()) == 0;
}

std::string systemFailure(const char* call) {
    return std::string(call) + " failed: " + std::strerror(errno);
}

}  // namespace

WithoutAccessOverride::WithoutAccessOverride() {
    if (::geteuid() != 0) {
        return;
    }
    CapabilityData data{};
    if (!readCapabilities(data)) {
        failure_ = systemFailure("capget");
        return;
    }
    for (size_t word = 0; word < data.size(); ++word) {
        savedEffective_[word] = data[word].effective;
    }
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        data[CAP_TO_INDEX(capability)].effective &= ~CAP_TO_MASK(capability);
    }
    if (!writeCapabilities(data)) {
        failure_ = systemFailure("capset dropping CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH");
        return;
    }
    dropped_ = true;
}

WithoutAccessOverride::~WithoutAccessOverride() {
    if (!dropped_) {
        return;
    }
    CapabilityData data{};
    if (readCapabilities(data)) {
        for (size_t word = 0; word < data.size(); ++word) {
            data[word].effective = savedEffective_[word];
        }
        if (writeCapabilities(data)) {
            return;
        }
    }
    // Later tests would run without the override and fail for no reason of their own.
    std::fprintf(stderr, "%s\n", systemFailure("restoring the effective capabilities").c_str());
}

}  // namespace kestrel::test
