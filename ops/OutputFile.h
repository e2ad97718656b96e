// A file that extraction writes outside the image. It replaces a file of the same name, as
// saving does, but never follows a symbolic link, never writes into a device or a pipe, and
// never replaces the image it reads from.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/Result.h"

namespace kestrel {

class OutputFile {
public:
    // Creates `path`, or empties the regular file there, unless it is one of `protectedFiles`.
    static Result<OutputFile> create(const std::string& path,
                                     const std::vector<std::string>& protectedFiles);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    Result<void> write(std::span<const uint8_t> bytes);
    Result<void> close();
    // Closes and removes a file whose content is known to be wrong, and returns `why` it is
    // wrong, saying also when the file could not be removed.
    Error discard(Error why);

private:
    OutputFile(int descriptor, std::string path)
        : descriptor_(descriptor), path_(std::move(path)) {}

    int descriptor_ = -1;
    std::string path_;
};

}  // namespace kestrel
