// The Disc Map and the sector view on the sample image and its raw twins: every extent drawn
// where the core maps it, in its kind's colour; hovering says what whois says; a click on a
// file finds its row, selected rows are hatched; the sector view shows a sector's own bytes
// and each part of a raw one in its colour.
#include <QHelpEvent>
#include <QToolTip>
#include <set>
#include <utility>

#include "dialogs/DiscMapDlg.h"
#include "dialogs/DiscMapView.h"
#include "dialogs/SectorViewDlg.h"
#include "image/ExtentMap.h"
#include "io/ImageFile.h"
#include "support/RawImages.h"
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

class DiscMapTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        std::filesystem::copy_file(KESTREL_SAMPLE_IMAGE, sample);
    }

    void openMapOf(const std::string& path) {
        browseTo(path);
        window->handleSystemCommand(C::kDiscMapCommand);
        ASSERT_NE(window->discMap(), nullptr);
        ASSERT_TRUE(mapShown());
        // Four pixels a sector: every sector a cell of its own.
        view()->setZoom(-2);
    }
    bool mapShown() const {
        QDeadlineTimer deadline(30000);
        while (window->discMap()->mapping() && !deadline.hasExpired()) {
            QTest::qWait(5);
        }
        return !window->discMap()->mapping();
    }
    DiscMapView* view() const { return window->discMap()->view(); }

    static ExtentMap coreMap(const std::string& path) {
        const auto file = ImageFile::openForReading(path);
        const auto volume = readVolume(*file);
        return *mapVolume(*file, *volume);
    }

    QStringList selectedRows() const {
        QStringList names;
        for (const auto* item : list()->selectedItems()) {
            names.append(item->text(0));
        }
        return names;
    }

    // The bytes the view's hex columns show, line by line.
    static std::vector<uint8_t> shownBytes(const CSectorViewDlg& view) {
        std::vector<uint8_t> bytes;
        for (const QString& line : view.shownText().split(QChar('\n'), Qt::SkipEmptyParts)) {
            const auto hex = line.section(QChar('|'), 0, 0).split(QChar(' '), Qt::SkipEmptyParts);
            for (qsizetype i = 1; i < hex.size(); ++i) {
                bytes.push_back(static_cast<uint8_t>(hex[i].toUInt(nullptr, 16)));
            }
        }
        return bytes;
    }

    std::string sample = dir.file("sample.iso");
};

TEST_F(DiscMapTest, EveryExtentIsDrawnAtItsLbasInItsKindsColour) {
    openMapOf(sample);
    const ExtentMap expected = coreMap(sample);
    ASSERT_EQ(view()->model()->sectors(), expected.volumeSectors);
    for (const auto& extent : expected.extents) {
        // An extent another overlaps is drawn where the other does not.
        if (extent.sectors == 0 || extent.shared) {
            continue;
        }
        for (const uint64_t lba : {uint64_t{extent.lba}, extent.lba + extent.sectors - 1}) {
            const QPoint point = view()->pointOf(lba);
            const auto drawn = view()->segmentAt(point);
            ASSERT_TRUE(drawn) << lba;
            EXPECT_EQ(std::pair(drawn->lba, drawn->sectors),
                      std::pair(uint64_t{extent.lba}, extent.sectors));
            EXPECT_EQ(drawn->kind, static_cast<MapKind>(extent.kind)) << lba;
            EXPECT_EQ(view()->viewport()->grab().toImage().pixelColor(point),
                      mapKindColour(drawn->kind))
                << lba;
        }
    }
}

TEST_F(DiscMapTest, HoveringSaysWhatWhoisSays) {
    openMapOf(sample);
    for (const auto& [lba, whois] :
         {std::pair{16, "16\tdescriptors\tvolume descriptors"}, std::pair{18, "18\tgap\tgap"},
          std::pair{30, "30\tfile\t/DATA/STRINGS.DAT"},
          std::pair{118, "118\tfile\t/MOVIES/INTRO.STR"}}) {
        const QPoint point = view()->pointOf(lba);
        QHelpEvent hover(QEvent::ToolTip, point, view()->viewport()->mapToGlobal(point));
        QApplication::sendEvent(view()->viewport(), &hover);
        EXPECT_EQ(QToolTip::text(), QString(whois)) << lba;
    }
}

TEST_F(DiscMapTest, ClickingAFilesExtentSelectsItsRowAndAnythingElseNothing) {
    struct Case {
        uint32_t lba;
        QString directory;
        QStringList rows;
    };
    openMapOf(sample);
    for (const auto& [lba, directory, rows] :
         {Case{30, "DATA", {"STRINGS.DAT"}}, Case{118, "MOVIES", {"INTRO.STR"}},
          Case{16, "KESTREL_SAMPLE", {}}, Case{18, "KESTREL_SAMPLE", {}}}) {
        selectDirectory(1);
        QTest::mouseClick(view()->viewport(), Qt::LeftButton, {}, view()->pointOf(lba));
        EXPECT_EQ(tree()->currentItem()->text(0), directory) << lba;
        EXPECT_EQ(selectedRows(), rows) << lba;
    }
}

TEST_F(DiscMapTest, RowsSelectedInTheListAreHatchedOnTheMap) {
    openMapOf(sample);
    selectDirectory(2);
    ASSERT_EQ(tree()->currentItem()->text(0), "DATA");
    using Extents = std::set<std::pair<uint64_t, uint64_t>>;
    for (const auto& [rows, hatched] :
         {std::pair{QStringList{"STRINGS.DAT", "CONFIG.INI"}, Extents{{28, 1}, {29, 3}}},
          std::pair{QStringList{"CONFIG.INI"}, Extents{{28, 1}}},
          std::pair{QStringList{}, Extents{}}}) {
        selectRows(rows);
        Extents shown;
        for (const auto& segment : view()->highlights()) {
            shown.insert({segment.lba, segment.sectors});
        }
        EXPECT_EQ(shown, hatched) << rows.join(",").toStdString();
    }
}

TEST_F(DiscMapTest, TheMapFollowsTheImageOpened) {
    openMapOf(sample);
    browseTo(image);
    ASSERT_TRUE(mapShown());
    EXPECT_EQ(view()->model()->sectors(), coreMap(image).volumeSectors);
}

TEST_F(DiscMapTest, TheMapShowsThePresentedLayer) {
    IsoBuilder layer0{Layout::Dvd, "LAYER_ZERO"};
    IsoBuilder layer1{Layout::Dvd, "LAYER_ONE"};
    layer0.addFile(IsoBuilder::kRoot, textFile("L0.BIN;1", "layer zero"));
    layer0.setVolumeSectors(600);
    layer1.addFile(IsoBuilder::kRoot, textFile("L1.BIN;1", "layer one data"));
    const std::string dual = dir.file("dual.iso");
    isobuilder::writeDualLayer(dual, layer0, layer1);
    openMapOf(dual);
    const auto filesMapped = [this] {
        QStringList paths;
        for (const auto& extent : view()->model()->map().extents) {
            for (const auto& owner : extent.owners) {
                paths.append(QString::fromStdString(owner.path));
            }
        }
        return paths;
    };
    EXPECT_EQ(filesMapped(), QStringList{"/L0.BIN"});
    click(C::kSwitchLayersButton);
    ASSERT_TRUE(mapShown());
    EXPECT_EQ(filesMapped(), QStringList{"/L1.BIN"});
}

// Sectors the image holds past the volume's end are free space of their own, drawn as such.
TEST_F(DiscMapTest, TheFreeSpaceLineSaysWhereTheGapsAndTheSectorsPastTheVolumeLie) {
    const QString gaps =
        "Free: 1 sector (2.0 KB) in 1 gap of the volume, the largest 1 sector "
        "(2.0 KB) at LBA 18";
    for (const auto& [appended, free] :
         {std::pair{0, gaps + "; the image holds nothing past the volume's end."},
          std::pair{100, gaps + "; 100 sectors (204.8 KB) past the volume's end, from LBA 418."}}) {
        std::filesystem::resize_file(sample, (418 + appended) * 2048);
        openMapOf(sample);
        EXPECT_EQ(window->discMap()->freeSpaceText(), free);
        ASSERT_EQ(view()->model()->sectors(), 418u + appended);
        const QPoint last = view()->pointOf(418 + appended - 1);
        EXPECT_EQ(view()->segmentAt(last)->kind, appended ? MapKind::PastVolume : MapKind::File);
    }
}

TEST_F(DiscMapTest, TheSectorViewMovesByItsButtonsAndItsLbaBoxAndSaysWhatItCannotShow) {
    struct Step {
        std::function<void(CSectorViewDlg&)> act;
        uint64_t lba;
        QString info;  // how the line above the bytes starts
    };
    const auto typed = [](const QString& text) {
        return [text](CSectorViewDlg& view) {
            view.lbaEdit()->setText(text);
            QTest::keyClick(view.lbaEdit(), Qt::Key_Return);
        };
    };
    const auto press = [](const char* button) {
        return [button](CSectorViewDlg& view) {
            for (auto* found : view.findChildren<QPushButton*>()) {
                if (found->text() == button) {
                    found->click();
                }
            }
        };
    };
    browseTo(sample);
    window->showSectors(16);
    const std::vector<Step> steps{
        {press("&Next"), 17, "2048-byte sector at byte 34816 "},
        {press("&Previous"), 16, "2048-byte sector at byte 32768 "},
        {typed("29"), 29, "2048-byte sector at byte 59392 "},
        {typed("418"), 418, "Sector 418 could not be read: LBA 418 is past the end of "},
        {typed("x1"), 418, "\"x1\" is not an LBA"},
    };
    for (const auto& step : steps) {
        auto& view = *window->sectorView();
        step.act(view);
        EXPECT_EQ(view.lba(), step.lba);
        EXPECT_TRUE(view.infoText().startsWith(step.info)) << view.infoText().toStdString();
        EXPECT_EQ(view.sector().bytes.empty(), step.lba >= 418);
    }
}

// A cell of many sectors that starts in a gap shows the extent it holds, however small.
TEST_F(DiscMapTest, ASmallFileInAWideGapShowsAtEveryZoom) {
    IsoBuilder volume{Layout::CdRomXa, "SPARSE"};
    volume.addFile(IsoBuilder::kRoot, recordOnly("SMALL.BIN;1", 1000, 2048));
    volume.setVolumeSectors(4000);
    const std::string sparse = dir.file("sparse.iso");
    volume.writeTo(sparse);
    openMapOf(sparse);
    for (const int zoom : {-2, 0, 3, 6, 9}) {
        view()->setZoom(zoom);
        const QPoint point = view()->pointOf(1000);
        EXPECT_EQ(view()->viewport()->grab().toImage().pixelColor(point),
                  mapKindColour(MapKind::File))
            << zoom;
    }
}

TEST_F(DiscMapTest, ViewSectorsOpensAtTheFirstSelectedRowsLbaOrSaysWhyNot) {
    const auto viewSectors = [this] {
        for (auto* action : list()->actions()) {
            if (action->text() == "View &Sectors...") {
                action->trigger();
            }
        }
    };
    struct Case {
        QStringList rows;
        int lba;  // -1: no sector view
        QString message;
    };
    browseTo(image);
    // The first of the two in list order, whichever was selected first.
    const QString first =
        column(0).indexOf("A.TXT") < column(0).indexOf("B.TXT") ? "A.TXT" : "B.TXT";
    const int firstLba = cell(first, 1).toInt();
    for (const auto& [rows, lba, message] :
         {Case{{}, -1, "Notice: Select a file to view its sectors."},
          Case{{"ZERO.BIN"},
               -1,
               "Notice: ZERO.BIN has no sectors to view: its record gives LBA -65536."},
          Case{{"B.TXT", "A.TXT"}, firstLba, {}}}) {
        selectRows(rows);
        viewSectors();
        EXPECT_EQ(takeMessages(), message.isEmpty() ? QStringList() : QStringList{message});
        ASSERT_EQ(window->sectorView() != nullptr, lba >= 0) << rows.join(",").toStdString();
        if (lba >= 0) {
            EXPECT_EQ(window->sectorView()->lba(), uint64_t(lba));
        }
    }
}

TEST_F(DiscMapTest, TheSectorViewShowsACookedSectorsBytes) {
    browseTo(sample);
    for (const uint32_t lba : {0u, 16u, 29u, 118u}) {
        window->showSectors(lba);
        ASSERT_NE(window->sectorView(), nullptr);
        const auto expected = readBytesAt(sample, uint64_t{lba} * 2048, 2048);
        EXPECT_EQ(shownBytes(*window->sectorView()),
                  std::vector<uint8_t>(expected.begin(), expected.end()))
            << lba;
    }
}

TEST_F(DiscMapTest, TheSectorViewShowsARawSectorWholeEachPartInItsColour) {
    struct Case {
        RawMode mode;
        std::vector<std::pair<size_t, SectorPart>> parts;
    };
    using enum SectorPart;
    const Case cases[] = {
        {RawMode::Mode1,
         {{0, Sync},
          {11, Sync},
          {12, Header},
          {15, Header},
          {16, UserData},
          {2063, UserData},
          {2064, Edc},
          {2067, Edc},
          {2068, Reserved},
          {2075, Reserved},
          {2076, Ecc},
          {2351, Ecc}}},
        {RawMode::Mode2,
         {{12, Header},
          {16, Subheader},
          {23, Subheader},
          {24, UserData},
          {2071, UserData},
          {2072, Edc},
          {2076, Ecc}}},
    };
    constexpr uint32_t kLba = 16;
    for (const auto& [mode, parts] : cases) {
        const auto twin = writeRawTwin(sample, {mode, {}});
        browseTo(twin.cue);
        window->showSectors(kLba);
        const auto& view = *window->sectorView();
        const auto expected = readBytesAt(twin.bin, uint64_t{kLba} * 2352, 2352);
        EXPECT_EQ(shownBytes(view), std::vector<uint8_t>(expected.begin(), expected.end()));
        for (const auto& [offset, part] : parts) {
            EXPECT_EQ(view.shownColourAt(offset), sectorPartColour(part)) << offset;
        }
    }
}

}  // namespace
}  // namespace kestrel::test
