// The last guard before the terminal. Every command escapes the names it prints in full
// (image/NameText.h), but some lines quote names the command did not build: an undo's
// description of an edit, a recovery note, a core message. While an EscapedStreams lives,
// whatever std::cout and std::cerr write passes through a filter that writes each control
// byte other than a line break or a tab as its escape (\x1b), so none of them reaches the
// terminal raw, whichever line it came in.
#pragma once

#include <streambuf>

namespace kestrel::cli {

class ControlEscapingBuffer : public std::streambuf {
public:
    explicit ControlEscapingBuffer(std::streambuf* target) : target_(target) {}

    std::streambuf* target() const { return target_; }

protected:
    int_type overflow(int_type byte) override;
    std::streamsize xsputn(const char* bytes, std::streamsize count) override;
    int sync() override;

private:
    std::streambuf* target_;
};

class EscapedStreams {
public:
    EscapedStreams();
    ~EscapedStreams();
    EscapedStreams(const EscapedStreams&) = delete;
    EscapedStreams& operator=(const EscapedStreams&) = delete;

private:
    ControlEscapingBuffer out_;
    ControlEscapingBuffer err_;
};

}  // namespace kestrel::cli
