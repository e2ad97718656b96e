// kestrel-cli patch: every kind of edit, on images of every maker and container, exported as
// a VCDIFF patch that xdelta3 applies to the original image to give the edited one, byte for
// byte; and the journals from which no patch can be made.
#include <gtest/gtest.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "CliRun.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using Arguments = std::vector<std::string>;

struct PatchedImage {
    const char* name;
    const char* make;  // {image} and {tree} stand for the image's path and a folder of files
    const char* file;  // what xdelta3 patches: the image, or a raw image's BIN file
};

const PatchedImage kImages[] = {
    {"Genisoimage", "genisoimage -quiet -J -R -o {image}.iso {tree}", "{image}.iso"},
    {"Xorriso", "xorriso -as mkisofs -quiet -J -R -o {image}.iso {tree}", "{image}.iso"},
    {"BuilderCd", KESTREL_MKIMAGE " --layout cd {image}.iso", "{image}.iso"},
    {"RawBinCue", KESTREL_MKIMAGE " --raw mode1 {image}.bin", "{image}.bin"},
    {"DualLayer", KESTREL_MKIMAGE " --layout dual {image}.iso", "{image}.iso"},
};

struct EditRun {
    const char* name;
    // Commands after "kestrel-cli"; {image}, {replacement} and {plan} are filled in.
    std::vector<Arguments> commands;
    bool small;          // a few record edits: the patch is a few hundred bytes
    bool grows = false;  // Replace adds sectors at the volume's end, which layer 0 cannot
};

const char* const kPlan =
    R"({"plan": 1, "edits": [{"op": "set-record", "file": "/README.TXT", "size": 2},)"
    R"( {"op": "dummy", "files": ["/DOCS/MANUAL.TXT"]}]})";

const EditRun kEdits[] = {
    {"Relink",
     {{"relink", "{image}", "--master", "/DOCS/MANUAL.TXT", "--with-size", "/README.TXT"}},
     true},
    {"SetRecord", {{"set-record", "{image}", "--size", "3", "/README.TXT"}}, true},
    {"Dummy", {{"dummy", "{image}", "/DOCS/MANUAL.TXT"}}, false},
    {"Overwrite", {{"overwrite", "{image}", "/DOCS/MANUAL.TXT", "{replacement}"}}, false},
    {"Plan", {{"apply", "{image}", "{plan}"}}, false},
    {"UndoAmongEdits",
     {{"set-record", "{image}", "--size", "1", "/README.TXT"},
      {"relink", "{image}", "--master", "/README.TXT", "/DOCS/MANUAL.TXT"},
      {"undo", "{image}"},
      {"set-record", "{image}", "--size", "7", "/DOCS/MANUAL.TXT"}},
     true},
    // The second leaves the bytes as the first left them: they are the original's only as
    // the first found them.
    {"SameEditTwice",
     {{"set-record", "{image}", "--size", "3", "/README.TXT"},
      {"set-record", "{image}", "--size", "3", "/README.TXT"}},
     true},
    // README.TXT's record given MANUAL.TXT's data, which one Dummy then writes twice and an
    // Overwrite again.
    {"OverlappingWrites",
     {{"relink", "{image}", "--master", "/DOCS/MANUAL.TXT", "--with-size", "/README.TXT"},
      {"dummy", "{image}", "/README.TXT", "/DOCS/MANUAL.TXT"},
      {"overwrite", "{image}", "/README.TXT", "{replacement}"}},
     false},
    // The image grows, is cut back by the undo (which keeps what it cut) and grows again: the
    // patch carries the added sectors whole.
    {"ReplaceGrowingUndoneAndRemade",
     {{"replace", "{image}", "/README.TXT", "{replacement}"},
      {"undo", "{image}"},
      {"replace", "{image}", "/README.TXT", "{replacement}"}},
     false,
     true},
};

void PrintTo(const PatchedImage& image, std::ostream* out) {
    *out << image.name;
}

void PrintTo(const EditRun& edits, std::ostream* out) {
    *out << edits.name;
}

std::string filled(std::string text, const std::string& name, const std::string& value) {
    for (size_t at; (at = text.find(name)) != std::string::npos;) {
        text.replace(at, name.size(), value);
    }
    return text;
}

// Each test keeps its journal and layer-1 copy in folders of its own.
class PatchTest {
protected:
    PatchTest() {
        ::setenv("XDG_STATE_HOME", folder_.file("state").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", folder_.file("cache").c_str(), 1);
    }

    // Makes the image, and a copy of the file xdelta3 patches as it was before any edit.
    void make(const PatchedImage& image) {
        const fs::path tree = folder_.path() / "tree";
        fs::create_directories(tree / "DOCS");
        std::ofstream(tree / "README.TXT") << "read me\n";
        std::ofstream(tree / "DOCS" / "MANUAL.TXT") << std::string(5000, 'm');
        const std::string base = folder_.file("image");
        ASSERT_TRUE(commandOutput(filled(filled(image.make, "{image}", base), "{tree}", tree) +
                                  " 2>/dev/null"));
        image_ = fs::path(filled(image.file, "{image}", base));
        if (image_.extension() == ".bin") {
            image_.replace_extension(".cue");
        }
        patched_ = filled(image.file, "{image}", base);
        original_ = folder_.file("original") + fs::path(patched_).extension().string();
        fs::copy_file(patched_, original_);
    }

    CliRun run(const Arguments& command) const {
        std::ofstream(folder_.file("replacement")) << std::string(7000, 'r');
        std::ofstream(folder_.file("plan.json")) << kPlan;
        Arguments arguments;
        for (const auto& argument : command) {
            arguments.push_back(filled(filled(filled(argument, "{image}", image_.string()),
                                              "{replacement}", folder_.file("replacement")),
                                       "{plan}", folder_.file("plan.json")));
        }
        return runCli(arguments);
    }

    // The original with one byte of the system area, which no edit writes, changed.
    std::string wrongSource() const {
        const std::string wrong = folder_.file("wrong") + fs::path(original_).extension().string();
        fs::copy_file(original_, wrong);
        overwriteBytes(wrong, 100, {0x5a});
        return wrong;
    }

    TempDir folder_;
    fs::path image_;        // as kestrel-cli is given it
    std::string patched_;   // the file the edits change
    std::string original_;  // its copy before them
};

class PatchOfEdits : public PatchTest,
                     public ::testing::TestWithParam<std::tuple<PatchedImage, EditRun>> {};

TEST_P(PatchOfEdits, Xdelta3TurnsTheOriginalIntoTheEditedImageAndRefusesAnyOther) {
    const auto& [image, edits] = GetParam();
    make(image);
    if (edits.grows && std::string(image.name) == "DualLayer") {
        // Layer 1 follows layer 0 in the image, so layer 0 cannot grow: refused, unwritten.
        const auto refused = run(edits.commands.front());
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("cannot grow at its end"), std::string::npos) << refused.err;
        EXPECT_TRUE(readFileBytes(patched_) == readFileBytes(original_));
        return;
    }
    for (const auto& command : edits.commands) {
        const auto edited = run(command);
        ASSERT_EQ(edited.status, 0) << command.front() << ": " << edited.err;
    }
    const std::string patch = folder_.file("edits.vcdiff");
    const auto written = run({"patch", "{image}", "--format", "vcdiff", "-o", patch});
    ASSERT_EQ(written.status, 0) << written.err;

    const std::string out = folder_.file("out");
    ASSERT_TRUE(commandOutput("xdelta3 -d -f -s " + original_ + " " + patch + " " + out));
    EXPECT_TRUE(readFileBytes(out) == readFileBytes(patched_));
    if (edits.small) {
        EXPECT_LT(fs::file_size(patch), 400u);
    }
    const std::string wrong = wrongSource();
    EXPECT_FALSE(
        commandOutput("xdelta3 -d -f -s " + wrong + " " + patch + " " + out + " 2>/dev/null"));
    EXPECT_EQ(run({"patch", "--check", original_, patch}).status, 0);
    const auto misfit = run({"patch", "--check", wrong, patch});
    EXPECT_EQ(misfit.status, 1);
    EXPECT_NE(misfit.out.find("does not fit"), std::string::npos) << misfit.out;
}

INSTANTIATE_TEST_SUITE_P(EveryImageAndEdit, PatchOfEdits,
                         ::testing::Combine(::testing::ValuesIn(kImages),
                                            ::testing::ValuesIn(kEdits)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    std::get<1>(info.param).name;
                         });

// A patch of a dual-layer image is of its one file; the layer-1 copy that an edit of layer 1
// also writes is no part of it.
class PatchOfLayerOne : public PatchTest, public ::testing::Test {};

TEST_F(PatchOfLayerOne, CarriesTheImageAlone) {
    make(kImages[4]);
    ASSERT_EQ(run({"set-record", "{image}", "--layer", "1", "--size", "5", "/LAYER1.TXT"}).status,
              0);
    const std::string patch = folder_.file("edits.vcdiff");
    ASSERT_EQ(run({"patch", "{image}", "-o", patch}).status, 0);
    const std::string out = folder_.file("out");
    ASSERT_TRUE(commandOutput("xdelta3 -d -f -s " + original_ + " " + patch + " " + out));
    EXPECT_TRUE(readFileBytes(out) == readFileBytes(patched_));
}

// Entries written before ranges kept their count of zero blocks, which users' journals hold:
// read from their tables, they are patched and undone as they always were.
uint64_t loadLe(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value |= uint64_t{bytes[i]} << (8 * i);
    }
    return value;
}

void storeLe(uint8_t* bytes, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Rewrites every counted range of the entries under `journals` as one of the kind before,
// its count dropped (a cloned range's taken into the padding before its old bytes, which stay
// where they are) and its checksum taken again; returns how many it rewrote.
int writeAsEarlierEntries(const fs::path& journals) {
    constexpr size_t kHead = 16;
    constexpr size_t kChecksum = 8;
    constexpr size_t kCountAt = 25;  // a range's, after its target, offset, length and blocks
    constexpr size_t kClonedCountAt = 33;
    constexpr size_t kCount = 8;
    int rewritten = 0;
    for (const auto& item : fs::recursive_directory_iterator(journals)) {
        if (item.path().extension() != ".edit") {
            continue;
        }
        const auto entry = readFileBytes(item.path().string());
        std::vector<uint8_t> earlier(entry.begin(), entry.begin() + 16);
        for (size_t at = 16; at + kHead + kChecksum <= entry.size();) {
            uint32_t type = static_cast<uint32_t>(loadLe(&entry[at], 4));
            const uint64_t length = loadLe(&entry[at + 8], 8);
            std::vector<uint8_t> payload(entry.begin() + at + kHead,
                                         entry.begin() + at + kHead + length);
            std::vector<uint8_t> checksum(entry.begin() + at + kHead + length,
                                          entry.begin() + at + kHead + length + kChecksum);
            uint64_t hashed = 0;
            if (type == 7) {
                payload.erase(payload.begin() + kCountAt, payload.begin() + kCountAt + kCount);
                type = 2;
                hashed = payload.size();
            } else if (type == 8) {
                hashed = loadLe(&payload[kCountAt], 8);
                payload.erase(payload.begin() + kClonedCountAt,
                              payload.begin() + kClonedCountAt + kCount);
                payload.insert(payload.begin() + static_cast<ptrdiff_t>(hashed - kCount), kCount,
                               0);
                type = 5;
            }
            if (hashed != 0) {
                std::vector<uint8_t> head(kHead, 0);
                storeLe(head.data(), type, 4);
                storeLe(head.data() + 8, payload.size(), 8);
                XXH3_state_t* state = XXH3_createState();
                XXH3_64bits_reset(state);
                XXH3_64bits_update(state, head.data(), head.size());
                XXH3_64bits_update(state, payload.data(), hashed);
                storeLe(checksum.data(), XXH3_64bits_digest(state), 8);
                XXH3_freeState(state);
                ++rewritten;
            }
            earlier.insert(earlier.end(), entry.begin() + at, entry.begin() + at + kHead);
            storeLe(&earlier[earlier.size() - kHead], type, 4);
            storeLe(&earlier[earlier.size() - 8], payload.size(), 8);
            earlier.insert(earlier.end(), payload.begin(), payload.end());
            earlier.insert(earlier.end(), checksum.begin(), checksum.end());
            at += kHead + length + kChecksum;
        }
        writeFileBytes(item.path().string(), earlier);
    }
    return rewritten;
}

class PatchOfEarlierEntries : public PatchTest, public ::testing::TestWithParam<EditRun> {};

TEST_P(PatchOfEarlierEntries, RebuildsTheEditedImageAndUndoesToTheOriginal) {
    const EditRun& edits = GetParam();
    make(kImages[2]);
    for (const auto& command : edits.commands) {
        ASSERT_EQ(run(command).status, 0) << command.front();
    }
    ASSERT_GT(writeAsEarlierEntries(folder_.path() / "state"), 0);
    const std::string patch = folder_.file("edits.vcdiff");
    const auto written = run({"patch", "{image}", "-o", patch});
    ASSERT_EQ(written.status, 0) << written.err;
    const std::string out = folder_.file("out");
    ASSERT_TRUE(commandOutput("xdelta3 -d -f -s " + original_ + " " + patch + " " + out));
    EXPECT_TRUE(readFileBytes(out) == readFileBytes(patched_));
    for (int undos = 0; undos < 8 && run({"undo", "{image}"}).status == 0; ++undos) {
    }
    EXPECT_TRUE(readFileBytes(patched_) == readFileBytes(original_));
}

INSTANTIATE_TEST_SUITE_P(EveryEdit, PatchOfEarlierEntries, ::testing::ValuesIn(kEdits),
                         [](const auto& info) { return std::string(info.param.name); });

// Where the journal cannot give the bytes an image held before, no patch is made, the
// reason names the edit, and no file is left.
struct Refusal {
    const char* name;
    std::vector<Arguments> commands;  // after a Dummy of MANUAL.TXT, edit 1
    std::optional<uint64_t> since;
    // Done to the journal's folder or the image after the commands.
    void (*meddle)(const fs::path& journal, const std::string& image);
    std::vector<const char*> says;
};

fs::path onlyJournal(const fs::path& state) {
    return fs::directory_iterator(state / "kestrel" / "journal")->path();
}

const Refusal kRefusals[] = {
    {"SinceNamesNoEntry", {}, 5, nullptr, {"holds no edit number 5"}},
    {"EntryPruned",
     {{"set-record", "{image}", "--size", "1", "/README.TXT"}},
     1,
     [](const fs::path& journal, const std::string&) { fs::remove(journal / "000001.edit"); },
     {"Cannot go back over edit 1: it was pruned"}},
    {"EditWithoutUndo",
     {{"set-record", "{image}", "--no-undo", "--size", "1", "/README.TXT"}},
     {},
     nullptr,
     {"edit 1 (Dummy of MANUAL.TXT", "an edit made without undo after it"}},
    {"EntryCutShort",
     {},
     {},
     [](const fs::path& journal, const std::string&) {
         const auto entry = journal / "000001.edit";
         fs::resize_file(entry, fs::file_size(entry) - 3);
     },
     {"edit 1 (Dummy of MANUAL.TXT", "it is not complete"}},
    {"ImageChangedByAnotherProgram",
     {},
     {},
     [](const fs::path&, const std::string& image) {
         overwriteBytes(image, 40000, {1, 2, 3});
     },
     {"was changed since, by another program"}},
};

class PatchRefused : public PatchTest, public ::testing::TestWithParam<Refusal> {};

TEST_P(PatchRefused, NamingTheEditAndWritingNothing) {
    const Refusal& refusal = GetParam();
    make(kImages[2]);
    ASSERT_EQ(run({"dummy", "{image}", "/DOCS/MANUAL.TXT"}).status, 0);
    for (const auto& command : refusal.commands) {
        ASSERT_EQ(run(command).status, 0);
    }
    if (refusal.meddle != nullptr) {
        refusal.meddle(onlyJournal(folder_.path() / "state"), patched_);
    }
    const auto image = readFileBytes(patched_);
    const std::string patch = folder_.file("edits.vcdiff");
    Arguments command = {"patch", "{image}", "-o", patch};
    if (refusal.since) {
        command.insert(command.end(), {"--since", std::to_string(*refusal.since)});
    }
    const auto refused = run(command);
    EXPECT_EQ(refused.status, 1);
    for (const std::string said : refusal.says) {
        EXPECT_NE(refused.err.find(said), std::string::npos) << refused.err;
    }
    EXPECT_FALSE(fs::exists(patch));
    EXPECT_TRUE(readFileBytes(patched_) == image);
}

INSTANTIATE_TEST_SUITE_P(Journals, PatchRefused, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::test
