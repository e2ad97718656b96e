#include "cli/EscapedStreams.h"

#include <cstdint>
#include <cstdio>
#include <iostream>

namespace kestrel::cli {

namespace {

bool isControlByte(uint8_t byte) {
    return (byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F;
}

}  // namespace

// Nothing is held back: each byte goes on at once, so lines written with printf between
// two writes to std::cout stay in their order.
ControlEscapingBuffer::int_type ControlEscapingBuffer::overflow(int_type byte) {
    if (traits_type::eq_int_type(byte, traits_type::eof())) {
        return traits_type::not_eof(byte);
    }
    const char put = traits_type::to_char_type(byte);
    return xsputn(&put, 1) == 1 ? byte : traits_type::eof();
}

std::streamsize ControlEscapingBuffer::xsputn(const char* bytes, std::streamsize count) {
    std::streamsize plain = 0;
    for (std::streamsize at = 0; at < count; ++at) {
        if (!isControlByte(static_cast<uint8_t>(bytes[at]))) {
            continue;
        }
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<uint8_t>(bytes[at]));
        if (target_->sputn(bytes + plain, at - plain) != at - plain ||
            target_->sputn(escape, 4) != 4) {
            return plain;
        }
        plain = at + 1;
    }
    return target_->sputn(bytes + plain, count - plain) == count - plain ? count : plain;
}

int ControlEscapingBuffer::sync() {
    return target_->pubsync();
}

EscapedStreams::EscapedStreams() : out_(std::cout.rdbuf()), err_(std::cerr.rdbuf()) {
    std::cout.rdbuf(&out_);
    std::cerr.rdbuf(&err_);
}

EscapedStreams::~EscapedStreams() {
    std::cout.flush();
    std::cerr.flush();
    std::cout.rdbuf(out_.target());
    std::cerr.rdbuf(err_.target());
}

}  // namespace kestrel::cli
