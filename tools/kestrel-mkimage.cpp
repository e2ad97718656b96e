// kestrel-mkimage [--layout cd|dvd|dual] [--raw mode1|mode2] OUTPUT
//
// Writes a small sample disc image to open in Kestrel: a few directories, a dozen short text
// files of varied sizes and dates, and for "dual" a second layer with files of its own. With
// --raw, OUTPUT is a raw image of 2352-byte sectors in that mode, its cue sheet written beside
// it (OUTPUT with the extension .cue).

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "isobuilder/IsoBuilder.h"
#include "isobuilder/RawEncoder.h"

namespace {

using namespace std::string_view_literals;
using kestrel::isobuilder::IsoBuilder;
using kestrel::isobuilder::Layout;
using kestrel::isobuilder::RawMode;
using kestrel::isobuilder::RecordDate;
using kestrel::isobuilder::textFile;

constexpr const char* kLabel = "KESTREL_SAMPLE";
constexpr const char* kUsage =
    "usage: kestrel-mkimage [--layout cd|dvd|dual] [--raw mode1|mode2] OUTPUT\n";

RecordDate date(int year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute) {
    return {static_cast<uint8_t>(year - 1900), month, day, hour, minute, 0, 0};
}

// Directories are added level by level and every directory's records in name order, the way
// mastering tools arrange them.
IsoBuilder sampleVolume(Layout layout) {
    IsoBuilder volume(layout, kLabel);
    const int root = IsoBuilder::kRoot;
    const int data = volume.addDirectory(root, "DATA");
    const int docs = volume.addDirectory(root, "DOCS");
    volume.addFile(root, textFile("KESTREL.CFG;1", "volume = sample\nregion = any\n",
                                  date(2003, 2, 3, 12, 0)));
    const int movies = volume.addDirectory(root, "MOVIES");
    volume.addFile(root, textFile("README.TXT;1",
                                  "Kestrel sample disc.\n"
                                  "Every file here is short text; some are padded with zeros.\n",
                                  date(2003, 2, 3, 12, 5)));

    volume.addFile(data, textFile("CONFIG.INI;1", "[display]\nwidth=640\nheight=480\n",
                                  date(2002, 11, 20, 9, 30)));
    const int levels = volume.addDirectory(data, "LEVELS");
    volume.addFile(data,
                   textFile("STRINGS.DAT;1", "HELLO\0WORLD\0"sv, date(2002, 12, 1, 18, 45), 6000));

    volume.addFile(docs, textFile("CHANGELOG.TXT;1", "1.1 - faster loading\n1.0 - first release\n",
                                  date(2003, 1, 15, 10, 0)));
    volume.addFile(docs, textFile("LICENSE.TXT;1", "Free to copy for testing Kestrel.\n",
                                  date(2001, 6, 1, 8, 0)));
    volume.addFile(docs, textFile("MANUAL.TXT;1", "Chapter 1: Getting started\n",
                                  date(2003, 1, 30, 16, 20), 20000));

    volume.addFile(movies, textFile("CREDITS.STR;1", "credits movie placeholder\n",
                                    date(2002, 10, 5, 22, 10), 150000));
    volume.addFile(movies, textFile("INTRO.STR;1", "intro movie placeholder\n",
                                    date(2002, 10, 5, 21, 55), 600000));

    volume.addFile(levels, textFile("BONUS_STAGE_ONE.MAP;1", "map: bonus stage one\n",
                                    date(2003, 1, 2, 14, 0), 4096));
    volume.addFile(levels,
                   textFile("LEVEL01.MAP;1", "map: green hills\n", date(2002, 9, 9, 9, 9), 3000));
    volume.addFile(
        levels, textFile("LEVEL02.MAP;1", "map: frozen lake\n", date(2002, 9, 10, 11, 40), 5000));
    return volume;
}

IsoBuilder secondLayer() {
    IsoBuilder volume(Layout::Dvd, kLabel);
    const int root = IsoBuilder::kRoot;
    const int extras = volume.addDirectory(root, "EXTRAS");
    volume.addFile(root, textFile("LAYER1.TXT;1", "This file lives on the second layer.\n",
                                  date(2003, 2, 4, 10, 0)));
    volume.addFile(
        extras, textFile("BONUS.TXT;1", "Bonus material on layer 1.\n", date(2003, 2, 4, 10, 15)));
    volume.addFile(extras, textFile("TRAILER.STR;1", "trailer movie placeholder\n",
                                    date(2003, 2, 4, 10, 30), 250000));
    return volume;
}

void writeSample(const std::string& layout, const std::string& output) {
    if (layout == "cd") {
        sampleVolume(Layout::CdRomXa).writeTo(output);
    } else if (layout == "dvd") {
        sampleVolume(Layout::Dvd).writeTo(output);
    } else {
        IsoBuilder layer0 = sampleVolume(Layout::Dvd);
        // Layer 1's system area overlays the last 16 sectors of layer 0.
        layer0.setVolumeSectors(layer0.volumeSectors() + 16);
        writeDualLayer(output, layer0, secondLayer());
    }
}

// The cooked sample is written first, beside OUTPUT, and encoded from there.
void writeRawSample(const std::string& layout, RawMode mode, const std::string& output) {
    const std::string cooked = output + ".cooked";
    writeSample(layout, cooked);
    const std::string cue = std::filesystem::path(output).replace_extension(".cue").string();
    kestrel::isobuilder::writeRawImage(cooked, output, cue, {mode, {}});
    std::filesystem::remove(cooked);
}

}  // namespace

int main(int argc, char** argv) {
    std::string layout = "cd";
    std::string raw;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--layout" && i + 1 < argc) {
            layout = argv[++i];
        } else if (arg == "--raw" && i + 1 < argc) {
            raw = argv[++i];
        } else if (output.empty() && !arg.starts_with("-")) {
            output = arg;
        } else {
            std::fputs(kUsage, stderr);
            return 1;
        }
    }
    // A raw image holds one layer.
    if (output.empty() || (layout != "cd" && layout != "dvd" && layout != "dual") ||
        (!raw.empty() && ((raw != "mode1" && raw != "mode2") || layout == "dual"))) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    try {
        if (raw.empty()) {
            writeSample(layout, output);
        } else {
            writeRawSample(layout, raw == "mode1" ? RawMode::Mode1 : RawMode::Mode2, output);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrel-mkimage: %s\n", error.what());
        return 1;
    }
    return 0;
}
