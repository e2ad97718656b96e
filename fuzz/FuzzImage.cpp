#include "fuzz/FuzzImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/ImageChecks.h"

namespace kestrel::fuzz {

namespace {

// Zero runs shorter than this stay inside a chunk: a chunk header costs six bytes.
constexpr size_t kZeroGapToSplit = 16;
constexpr size_t kMaxChunk = 0xFFFF;

uint64_t readLe(std::span<const uint8_t> bytes, size_t& at, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width && at < bytes.size(); ++i, ++at) {
        value |= uint64_t{bytes[at]} << (8 * i);
    }
    return value;
}

void appendLe(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void checked(bool ok, const std::string& what) {
    if (!ok) {
        std::perror(what.c_str());
        std::abort();
    }
}

}  // namespace

void writeImage(std::span<const uint8_t> input, const std::string& path) {
    size_t at = 0;
    const uint64_t length = std::min(readLe(input, at, 4), kMaxImageLength);
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    checked(descriptor >= 0, "open " + path);
    checked(::ftruncate(descriptor, static_cast<off_t>(length)) == 0, "ftruncate " + path);
    while (at < input.size()) {
        const uint64_t offset = readLe(input, at, 4);
        const size_t announced = readLe(input, at, 2);
        const size_t count = std::min(announced, input.size() - at);
        const auto bytes = input.subspan(at, count);
        at += count;
        if (offset >= length) {
            continue;
        }
        const size_t kept = std::min<uint64_t>(count, length - offset);
        checked(::pwrite(descriptor, bytes.data(), kept, static_cast<off_t>(offset)) ==
                    static_cast<ssize_t>(kept),
                "pwrite " + path);
    }
    checked(::close(descriptor) == 0, "close " + path);
}

std::vector<uint8_t> describeImage(std::span<const uint8_t> image) {
    std::vector<uint8_t> input;
    appendLe(input, std::min<uint64_t>(image.size(), kMaxImageLength), 4);
    size_t at = 0;
    while (at < image.size()) {
        if (image[at] == 0) {
            ++at;
            continue;
        }
        size_t end = at;
        for (size_t zeros = 0;
             end < image.size() && end - at < kMaxChunk && zeros < kZeroGapToSplit; ++end) {
            zeros = image[end] == 0 ? zeros + 1 : 0;
        }
        while (image[end - 1] == 0) {
            --end;
        }
        appendLe(input, at, 4);
        appendLe(input, end - at, 2);
        input.insert(input.end(), image.begin() + static_cast<ptrdiff_t>(at),
                     image.begin() + static_cast<ptrdiff_t>(end));
        at = end;
    }
    return input;
}

std::vector<uint8_t> readWholeFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return bytes;
    }
    struct stat status {};
    checked(::fstat(descriptor, &status) == 0, "fstat " + path);
    bytes.resize(static_cast<size_t>(status.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(descriptor, bytes.data() + done, bytes.size() - done);
        checked(got > 0, "read " + path);
        done += static_cast<size_t>(got);
    }
    ::close(descriptor);
    return bytes;
}

Scratch::Scratch() {
    // Memory-backed when the system offers it: the targets write an image per input. A
    // process that libFuzzer ends abruptly leaves its folder, so scripts/fuzz names one of
    // its own, which it removes.
    const char* chosen = std::getenv("KESTREL_FUZZ_SCRATCH");
    const char* base = chosen != nullptr                           ? chosen
                       : std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                   : "/tmp";
    std::string pattern = std::string(base) + "/kestrel-fuzz-XXXXXX";
    checked(::mkdtemp(pattern.data()) != nullptr, "mkdtemp " + pattern);
    folder_ = pattern;
}

Scratch::~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

const Scratch& scratch() {
    static const Scratch folder;
    return folder;
}

std::optional<Session> openDescribedImage(std::span<const uint8_t> input) {
    const auto image = scratch().path("image.iso");
    writeImage(input, image);
    return checks::openImage(image, scratch().path("layer1.tmp"));
}

std::optional<Session> openDescribedRawImage(std::span<const uint8_t> input) {
    const size_t sheetLength = input.size() < 2 ? 0 : input[0] | size_t{input[1]} << 8;
    const auto rest = input.subspan(std::min<size_t>(input.size(), 2));
    const auto sheet = rest.first(std::min(sheetLength, rest.size()));
    const auto bin = scratch().path("image.bin");
    const auto cue = scratch().path("image.cue");
    writeImage(rest.subspan(sheet.size()), bin);
    std::filesystem::remove(cue);
    if (!sheet.empty()) {
        std::ofstream(cue, std::ios::binary)
            .write(reinterpret_cast<const char*>(sheet.data()),
                   static_cast<std::streamsize>(sheet.size()));
    }
    return checks::openImage(sheet.empty() ? bin : cue, scratch().path("layer1.tmp"));
}

}  // namespace kestrel::fuzz
