// Where the image and the journal share an XFS file system with shared extents, Dummy and
// Overwrite clone a large file's old blocks into the entry instead of copying them: once the
// edit has written the image, the entry holds the very blocks the image held, and undo puts
// them back byte for byte.
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "ops/Blanking.h"
#include "ops/Overwrite.h"
#include "ops/SessionFixtures.h"
#include "support/SharedExtentsMount.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

// The device addresses of the 4 KiB blocks that hold the file's bytes.
std::set<uint64_t> deviceBlocks(const std::string& path) {
    constexpr uint32_t kExtents = 512;
    // In 64-bit words, for the alignment of the structure the kernel fills in.
    std::vector<uint64_t> request(
        (sizeof(fiemap) + kExtents * sizeof(fiemap_extent)) / sizeof(uint64_t) + 1);
    auto* map = reinterpret_cast<fiemap*>(request.data());
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = kExtents;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool mapped = descriptor >= 0 && ::ioctl(descriptor, FS_IOC_FIEMAP, map) == 0;
    ::close(descriptor);
    std::set<uint64_t> blocks;
    for (uint32_t i = 0; mapped && i < map->fm_mapped_extents; ++i) {
        const fiemap_extent& extent = map->fm_extents[i];
        for (uint64_t at = 0; at < extent.fe_length; at += 4096) {
            blocks.insert(extent.fe_physical + at);
        }
    }
    return blocks;
}

// More than one piece of those saved for undo with one sync each.
constexpr uint32_t kFileBytes = 18 << 20;

class SharedExtentsTest : public SessionTest {
protected:
    void SetUp() override {
        std::string whyNot;
        auto made = SharedExtentsMount::make(whyNot);
        if (!made) {
            GTEST_SKIP() << whyNot;
        }
        mount.emplace(std::move(*made));
        if (const char* state = std::getenv("XDG_STATE_HOME")) {
            inheritedState = state;
        }
        ::setenv("XDG_STATE_HOME", mount->file("state").c_str(), 1);
        image = mount->file("image.iso");
        // ODD.BIN starts at an odd sector, inside a block of the file system, so that each
        // piece saved has its first and last bytes copied and the blocks between them cloned;
        // EVEN.BIN starts on a block boundary, and its pieces are cloned whole.
        files = {{"ODD.BIN", 31, kFileBytes}, {"EVEN.BIN", 32 + kFileBytes / 2048, kFileBytes}};
        auto builder = rootFiles(Layout::CdRomXa, "SHARED", files);
        builder.writeTo(image);
        open();
        before = readFileBytes(image);
        writeFileBytes(dir.file("replacement"), pattern(kFileBytes, 99));
    }
    void TearDown() override {
        if (!mount) {
            return;
        }
        session.reset();
        mount.reset();
        inheritedState ? ::setenv("XDG_STATE_HOME", inheritedState->c_str(), 1)
                       : ::unsetenv("XDG_STATE_HOME");
    }

    // The entry the journal made last.
    std::string newestEntry() const {
        std::string newest;
        for (const auto& item : fs::directory_iterator(session->journal()->folder())) {
            if (item.path().extension() == ".edit" && item.path().string() > newest) {
                newest = item.path().string();
            }
        }
        return newest;
    }

    std::optional<SharedExtentsMount> mount;
    std::optional<std::string> inheritedState;
    Bytes before;
};

TEST_F(SharedExtentsTest, DummyAndOverwriteKeepTheImagesOldBlocksAndUndoPutsThemBack) {
    const auto dummy = [&](const char* name) {
        return blankFiles(snapshot({name}), recorder).failures.empty();
    };
    const auto overwrite = [&](const char* name) {
        return overwriteFile(snapshot({name}), dir.file("replacement"), recorder).ok();
    };
    const struct {
        const char* name;
        std::function<bool(const char*)> edit;
        const char* file;
        uint64_t copiedBlocks;  // at the ends of its two pieces
    } edits[] = {
        {"Dummy", dummy, "ODD.BIN", 4},
        {"Overwrite", overwrite, "ODD.BIN", 4},
        {"Dummy", dummy, "EVEN.BIN", 0},
    };
    for (const auto& edit : edits) {
        SCOPED_TRACE(std::string(edit.name) + " of " + edit.file);
        const auto imageBlocks = deviceBlocks(image);
        ASSERT_TRUE(edit.edit(edit.file));
        ASSERT_NE(readFileBytes(image), before);
        std::set<uint64_t> kept;
        std::ranges::set_intersection(imageBlocks, deviceBlocks(newestEntry()),
                                      std::inserter(kept, kept.end()));
        EXPECT_GE(kept.size(), kFileBytes / 4096 - edit.copiedBlocks);
        const auto last = session->journal()->lastUndoable();
        ASSERT_TRUE(last && *last);
        ASSERT_TRUE(session->undo((*last)->id));
        EXPECT_TRUE(readFileBytes(image) == before);
    }
}

}  // namespace
}  // namespace kestrel
