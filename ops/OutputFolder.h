// A folder that extraction writes into, held open. Every folder made below it, and every file
// written into it, is reached through the descriptor of the folder it lies in, never along a
// path: a symbolic link planted where a folder or a file from the image goes is refused, not
// followed, so nothing is written outside the folder chosen.
#pragma once

#include <string>

#include "io/Result.h"

namespace kestrel {

class OutputFolder {
public:
    // The folder `path`, followed as it is named. With `make`, one that is not there yet is
    // made, and only it: its parent must be there.
    static Result<OutputFolder> open(const std::string& path, bool make = false);

    OutputFolder(OutputFolder&& other) noexcept;
    OutputFolder& operator=(OutputFolder&&) = delete;
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;
    ~OutputFolder();

    // The folder `name` in this one, made when missing; refused, naming it, when a symbolic
    // link or anything but a folder has that name.
    Result<OutputFolder> enter(const std::string& name) const;

    int descriptor() const { return descriptor_; }
    // `name` in this folder, as messages name it.
    std::string pathOf(const std::string& name) const;

private:
    OutputFolder(int descriptor, std::string path)
        : descriptor_(descriptor), path_(std::move(path)) {}

    int descriptor_ = -1;
    std::string path_;
};

}  // namespace kestrel
