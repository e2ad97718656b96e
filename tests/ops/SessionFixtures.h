// What the core tests share: a session that opens or stops the test with the reason, the
// names a directory lists, an observer that records what a run showed, and the bytes a
// record patch must write.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/BlockTransfer.h"
#include "ops/Session.h"

namespace kestrel::test {

using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::string>;

// Throws, which fails the test with the reason, when the image cannot be opened.
inline Session openSession(const std::string& image, const std::string& layerCopy) {
    auto session = Session::open(image, layerCopy);
    if (!session) {
        throw std::runtime_error("cannot open " + image + ": " + session.error().message);
    }
    return std::move(*session);
}

// As the list shows them: last record first. Nothing when the directory cannot be listed.
inline Rows listedNames(Session& session, DirectoryNumber directory = 1) {
    Rows names;
    if (const auto listing = session.listDirectory(directory)) {
        for (const auto& row : listing->rows) {
            names.push_back(row.name);
        }
    }
    return names;
}

// Record offsets 2-9 (the extent) and, with a size, 10-17, little-endian then big-endian.
inline Bytes recordFields(uint32_t lba, std::optional<uint32_t> size = std::nullopt) {
    Bytes bytes(size ? 16 : 8);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = bytes[7 - i] = static_cast<uint8_t>(lba >> (8 * i));
        if (size) {
            bytes[8 + i] = bytes[15 - i] = static_cast<uint8_t>(*size >> (8 * i));
        }
    }
    return bytes;
}

class Recorder : public OperationObserver {
public:
    void beginFile(const std::string& rowName) override {
        begun.push_back(rowName);
        percents.emplace_back();
    }
    void showPercent(int percent) override { percents.back().push_back(percent); }
    bool stopRequested() override {
        ++stopQuestions;
        return stopWhen && stopWhen(*this);
    }

    Rows begun;
    std::vector<std::vector<int>> percents;  // per begun file
    int stopQuestions = 0;
    std::function<bool(const Recorder&)> stopWhen;
};

}  // namespace kestrel::test
