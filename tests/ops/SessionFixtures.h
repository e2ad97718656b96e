// What the core tests share: sample images, a session that opens or stops the test with the
// reason, the names a directory lists, the bytes a record edit writes, an observer that
// records what a run showed, and a fixture that opens each kind of disc as the window does.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/BlockTransfer.h"
#include "ops/Session.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel::test {

using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::string>;

struct Placed {
    std::string name;  // without the version, which is ";1"
    uint32_t lba;
    uint32_t size;
};

// Each file holds pattern(..., seed + its place in the list) through its whole extent, so
// that the bytes behind its data show whether an operation reached past it.
inline IsoBuilder rootFiles(Layout layout, const std::string& label,
                            const std::vector<Placed>& files, uint8_t seed = 1) {
    IsoBuilder builder(layout, label);
    for (size_t i = 0; i < files.size(); ++i) {
        const auto& [name, lba, size] = files[i];
        builder.addFile(
            IsoBuilder::kRoot,
            fileAt(name + ";1", lba, size, pattern((size / 2048 + 1) * 2048, uint8_t(seed + i))));
    }
    return builder;
}

// Root: DOCS, then ODD, whose three-byte identifier is padded in the path table, then A.TXT,
// B.TXT and C.TXT of 700 bytes. DOCS holds MANUAL.TXT and DEEP; DEEP holds a record naming
// DOCS, its parent, as a child, then sixty files whose records fill more than a sector.
inline IsoBuilder sampleVolume(Layout layout = Layout::CdRomXa, uint8_t systemUse = 14) {
    IsoBuilder builder(layout, "SAMPLE");
    builder.setSystemUseLength(systemUse);
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    builder.addDirectory(IsoBuilder::kRoot, "ODD");
    const int deep = builder.addDirectory(docs, "DEEP");
    for (const char* name : {"A.TXT;1", "B.TXT;1", "C.TXT;1"}) {
        builder.addFile(IsoBuilder::kRoot, textFile(name, std::string(700, name[0])));
    }
    builder.addFile(docs, textFile("MANUAL.TXT;1", "the manual"));
    builder.addFile(deep, recordOnly("UP", builder.directoryLba(docs), 2048, 2));
    for (int i = 0; i < 60; ++i) {
        builder.addFile(deep, textFile("PART_" + std::to_string(i) + ".BIN;1", "part"));
    }
    return builder;
}

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

// A little-endian field, as in the path table.
inline Bytes le32(uint32_t value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

// Runs `run` while no file may grow past `bytes`: a write beyond fails with EFBIG, as on a
// full disk, instead of raising SIGXFSZ.
inline OperationReport withFileSizeLimit(rlim_t bytes,
                                         const std::function<OperationReport()>& run) {
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    auto report = run();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    return report;
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

enum class Disc { Cd, Dvd5, Dvd9LayerZero, Dvd9LayerOne };

class SessionTest : public ::testing::Test {
protected:
    SessionTest() { std::filesystem::create_directory(out); }

    // Opens the image as the window does: a DVD is checked for a second layer, which must be
    // there when `dualLayer`, and layer 1 is then presented when asked.
    void open(bool dualLayer = false, bool presentLayerOne = false) {
        session = openSession(image, copy);
        using enum DualLayerCheck::Verdict;
        if (session->volume().isDvd) {
            ASSERT_EQ(session->checkDualLayer().verdict, dualLayer ? DualLayer : SingleLayer);
        }
        if (presentLayerOne) {
            ASSERT_TRUE(session->switchLayers());
        }
    }

    // Writes and opens an image of BIG.BIN of several sectors, K.BIN of one, T.BIN of under 100
    // bytes and the empty Z.BIN, each followed in its extent by bytes that must stay; on layer
    // 1 they hold other bytes than on layer 0. Z.BIN's record is moved far past the image's
    // end: it has no data to run past it.
    void openDisc(Disc disc) {
        layerOne = disc == Disc::Dvd9LayerOne;
        base = disc == Disc::Cd ? 30 : 300;
        seed = layerOne ? 20 : 10;
        // Layer 1 starts 32768 bytes before the end of layer 0.
        dataStart = layerOne ? (base + 24) * 2048 - 32768 : 0;
        files = {{"BIG.BIN", base, 5000},
                 {"K.BIN", base + 3, 1000},
                 {"T.BIN", base + 4, 40},
                 {"Z.BIN", base + 5, 0}};
        const auto layout = disc == Disc::Cd ? Layout::CdRomXa : Layout::Dvd;
        auto zero = rootFiles(layout, "DISC", files, 10);
        auto one = rootFiles(layout, "DISC", files, 20);
        zero.setVolumeSectors(base + 24);
        one.setVolumeSectors(base + 24);
        const bool dualLayer = layerOne || disc == Disc::Dvd9LayerZero;
        dualLayer ? writeDualLayer(image, zero, one) : zero.writeTo(image);
        presented = layerOne ? one : zero;
        overwriteBytes(image, recordInImage("Z.BIN"), recordFields(0xFFFF0000));
        open(dualLayer, layerOne);
    }

    // Where the fields of a file's record lie: in the presented file, or in the image.
    uint64_t recordFieldsAt(const std::string& name) const {
        return presented->recordOffset(IsoBuilder::kRoot, name + ";1") + 2;
    }
    uint64_t recordInImage(const std::string& name) const {
        return dataStart + recordFieldsAt(name);
    }
    uint64_t dataInImage(int file) const { return dataStart + uint64_t{files[file].lba} * 2048; }

    OperationSnapshot snapshot(const Rows& rows) const {
        return session->snapshot(IsoBuilder::kRoot, rows);
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    std::string copy = dir.file("layer1.tmp");
    std::string out = dir.file("out");
    std::optional<Session> session;
    Recorder recorder;
    // What openDisc made.
    bool layerOne = false;
    uint32_t base = 0;
    uint8_t seed = 0;  // of the presented files' bytes
    uint64_t dataStart = 0;
    std::vector<Placed> files;
    std::optional<IsoBuilder> presented;
};

}  // namespace kestrel::test
