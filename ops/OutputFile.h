// A file that extraction writes outside the image. Where a file of that name is already
// there, it is written under a new temporary name in the same folder and put in place under
// its own name only once complete, so a file that fails leaves the older file as it was; a
// free name is written at once. A file that fails is removed. It never replaces a symbolic
// link, a device, a pipe or a folder of that name, nor the image it reads from.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "io/Result.h"

namespace kestrel {

class OutputFile {
public:
    // Starts the file that is to become `path`, unless what has that name may not be
    // replaced: anything but a regular file, or one of `protectedFiles`.
    static Result<OutputFile> create(const std::string& path,
                                     const std::vector<std::string>& protectedFiles);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    Result<void> write(std::span<const uint8_t> bytes);
    // Closes the file and puts it in place under its name, replacing an older file there;
    // when that fails, the file is discarded.
    Result<void> commit();
    // Closes and removes a file whose content is known to be wrong, and returns `why` it is
    // wrong, saying also when the file could not be removed.
    Error discard(Error why);

private:
    OutputFile(int descriptor, std::string path, std::string temporary,
               std::vector<std::string> protectedFiles)
        : descriptor_(descriptor),
          path_(std::move(path)),
          temporary_(std::move(temporary)),
          protectedFiles_(std::move(protectedFiles)) {}

    int descriptor_ = -1;
    std::string path_;
    std::string temporary_;  // empty when the file is written under its own name
    std::vector<std::string> protectedFiles_;
};

}  // namespace kestrel
