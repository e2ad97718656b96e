// kestrel-disc-map-bench SCRATCH_FOLDER [ROUNDS]
//
// Times the Disc Map of a single-layer DVD image of 4.7 GB holding 10,000 files in 100
// folders, through the real window offscreen: from the Disc Map command to the map made (on
// its worker) and its first paint, the whole strip in view. Also times the core's mapVolume
// alone, for comparison. The image is sparse: about 30 MB on disk in SCRATCH_FOLDER, removed
// at the end.

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "SideBySide.h"
#include "app/KestrelDlg.h"
#include "dialogs/DiscMapDlg.h"
#include "dialogs/DiscMapView.h"
#include "image/ExtentMap.h"
#include "io/ImageFile.h"
#include "isobuilder/IsoBuilder.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;
using isobuilder::FileSpec;
using isobuilder::IsoBuilder;
using isobuilder::Layout;

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 100;
constexpr int kDefaultRounds = 5;
// A single-layer DVD's sectors: 4,700,372,992 bytes.
constexpr uint32_t kDvdSectors = 2'295'104;
constexpr uint32_t kFirstFileLba = 4096;
// Each file takes 200 sectors of a slot of 229, leaving gaps between them.
constexpr uint32_t kFileSectors = 200;
constexpr uint32_t kSlotSectors = 229;

std::string writeImage(const fs::path& folder) {
    IsoBuilder volume(Layout::Dvd, "MAP_BENCH");
    uint32_t lba = kFirstFileLba;
    for (int folderIndex = 0; folderIndex < kFolders; ++folderIndex) {
        const int directory =
            volume.addDirectory(IsoBuilder::kRoot, "DIR" + std::to_string(folderIndex));
        for (int file = 0; file < kFilesPerFolder; ++file) {
            volume.addFile(
                directory,
                FileSpec{
                    "FILE" + std::to_string(file) + ".BIN;1", kFileSectors * 2048, lba, {}, {}, 0});
            lba += kSlotSectors;
        }
    }
    volume.setVolumeSectors(kDvdSectors);
    const std::string path = (folder / "map-bench-dvd.iso").string();
    volume.writeTo(path);
    return path;
}

double coreMapMs(const std::string& path) {
    QElapsedTimer timer;
    timer.start();
    const auto file = ImageFile::openForReading(path);
    const auto volume = readVolume(*file);
    const auto map = mapVolume(*file, *volume);
    if (!map || map->extents.size() < kFolders * kFilesPerFolder) {
        throw std::runtime_error("the core did not map every file");
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// From the command to the map made and painted once; the map window closed again after.
double windowMapMs(CKestrelDlg& window) {
    QElapsedTimer timer;
    timer.start();
    window.handleSystemCommand(CKestrelDlg::kDiscMapCommand);
    CDiscMapDlg* map = window.discMap();
    while (map->mapping()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    map->view()->viewport()->grab();
    const double elapsed = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    if (map->view()->model() == nullptr || !map->statusText().isEmpty()) {
        throw std::runtime_error("the map was not made: " + map->statusText().toStdString());
    }
    delete map;
    return elapsed;
}

void runBenchmark(const fs::path& folder, int rounds) {
    const std::string image = writeImage(folder);
    ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
    CKestrelDlg window(nullptr, (folder / "layer1.tmp").string());
    window.show();
    window.openChosenImage(QString::fromStdString(image));
    if (window.discMap() != nullptr || window.selectedIsoPath() != image) {
        throw std::runtime_error("the image did not open");
    }
    std::vector<double> core;
    std::vector<double> shown;
    windowMapMs(window);  // warm-up: the image's directories in the page cache
    for (int round = 0; round < rounds; ++round) {
        core.push_back(coreMapMs(image));
        shown.push_back(windowMapMs(window));
    }
    std::printf("Disc Map of a 4.7 GB DVD image (%u sectors), %d files in %d folders, %d rounds\n",
                kDvdSectors, kFolders * kFilesPerFolder, kFolders, rounds);
    std::printf("  core mapVolume alone:                 median %7.1f ms, best %7.1f ms\n",
                bench::median(core), *std::ranges::min_element(core));
    std::printf(
        "  window: map made and first paint:     median %7.1f ms, best %7.1f ms"
        " (target: under 200 ms)\n",
        bench::median(shown), *std::ranges::min_element(shown));
    fs::remove(image);
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc < 2 || argc > 3 || !fs::is_directory(argv[1])) {
        std::fprintf(stderr, "usage: kestrel-disc-map-bench SCRATCH_FOLDER [ROUNDS]\n");
        return 2;
    }
    try {
        runBenchmark(fs::absolute(argv[1]), argc == 3 ? std::atoi(argv[2]) : kDefaultRounds);
    } catch (const std::exception& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "kestrel-disc-map-bench: FAILED: %s\n", failure.what());
        return 1;
    }
    return 0;
}
