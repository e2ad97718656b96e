// Dual-layer images in the window: the disc-kind text, Switch Layers, and the operations on
// layer 1, whose records come from the layer-1 copy and whose data lies in the image.
#include <sys/stat.h>

#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using C = CKestrelDlg;
using Kind = Message::Kind;

constexpr uint32_t kLayerZeroSectors = 600;

class LayerSwitchTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        layer0.addFile(IsoBuilder::kRoot, textFile("L0.BIN;1", "layer zero"));
        layer0.setVolumeSectors(kLayerZeroSectors);
        layer1.addFile(IsoBuilder::kRoot, textFile("L1.BIN;1", "layer one data"));
        isobuilder::writeDualLayer(dualLayer, layer0, layer1);
        layer0.writeTo(singleLayer);
    }

    // Where layer 1's data of a row listed on layer 1 lies in the image.
    uint64_t layerOneDataOffset(const QString& row) const {
        return uint64_t{cell(row, 1).toUInt()} * 2048 + kLayerZeroSectors * 2048 - 32768;
    }

    IsoBuilder layer0{Layout::Dvd, "LAYER_ZERO"};
    IsoBuilder layer1{Layout::Dvd, "LAYER_ONE"};
    std::string dualLayer = dir.file("dual.iso");
    std::string singleLayer = dir.file("single.iso");
};

TEST_F(LayerSwitchTest, SwitchLayersPresentsEitherVolumeOfADualLayerImage) {
    browseTo(dualLayer);
    EXPECT_EQ(text(C::kDiscKindText), "Dual-Layer DVD (DVD9) - Layer 0");
    EXPECT_TRUE(enabled(C::kSwitchLayersButton));
    struct stat copy {};
    ASSERT_EQ(::stat(layerCopy.c_str(), &copy), 0);
    EXPECT_EQ(copy.st_mode & 0777, 0600u);

    click(C::kSwitchLayersButton);
    EXPECT_EQ(text(C::kDiscKindText), "Dual-Layer DVD (DVD9) - Layer 1");
    EXPECT_EQ(tree()->topLevelItem(0)->text(0), "LAYER_ONE");
    EXPECT_EQ(column(0), QStringList{"L1.BIN"});
    EXPECT_EQ(readBytesAt(dualLayer, layerOneDataOffset("L1.BIN"), 14), "layer one data");

    click(C::kSwitchLayersButton);
    EXPECT_EQ(text(C::kDiscKindText), "Dual-Layer DVD (DVD9) - Layer 0");
    EXPECT_EQ(tree()->topLevelItem(0)->text(0), "LAYER_ZERO");
    EXPECT_EQ(column(0), QStringList{"L0.BIN"});
    EXPECT_TRUE(takeMessages().empty());

    // Browsing to the image again makes the copy again.
    std::filesystem::remove(layerCopy);
    browseTo(dualLayer);
    EXPECT_TRUE(std::filesystem::exists(layerCopy));
}

TEST_F(LayerSwitchTest, OnlyAnImageWithALayerOneCopyCanSwitch) {
    browseTo(singleLayer);
    EXPECT_EQ(text(C::kDiscKindText), "Single-Layer DVD (DVD5)");
    EXPECT_FALSE(enabled(C::kSwitchLayersButton));
    EXPECT_FALSE(std::filesystem::exists(layerCopy));

    // A CD chosen after a dual-layer image must not offer that image's layer 1.
    browseTo(dualLayer);
    EXPECT_TRUE(enabled(C::kSwitchLayersButton));
    browseTo(image);
    EXPECT_EQ(text(C::kDiscKindText), "CD-ROM");
    EXPECT_FALSE(enabled(C::kSwitchLayersButton));
}

TEST_F(LayerSwitchTest, ACopyThatCannotBeMadeIsReportedAndLeavesSwitchingOff) {
    writeFileBytes(dir.file("not-a-folder"), {'x'});
    layerCopy = dir.file("not-a-folder") + "/93213_43.tmp";
    makeWindow();
    browseTo(dualLayer);
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, Kind::Notice);
    EXPECT_TRUE(messages[0].text.startsWith("Can't Make File\n\n"))
        << messages[0].text.toStdString();
    EXPECT_TRUE(messages[0].text.contains("not-a-folder")) << messages[0].text.toStdString();
    EXPECT_EQ(text(C::kDiscKindText), "Dual-Layer DVD (DVD9) - Layer 0");
    EXPECT_FALSE(enabled(C::kSwitchLayersButton));
}

TEST_F(LayerSwitchTest, OperationsOnLayerOneMoveTheImagesBytesAndHoldSwitchLayers) {
    browseTo(dualLayer);
    click(C::kSwitchLayersButton);
    selectRows({"L1.BIN"});
    const auto before = readFileBytes(dualLayer);
    const auto copyBefore = readFileBytes(layerCopy);
    TempDir out;
    prompter->folders.push_back(fromLocalPath(out.path().string()));
    std::vector<bool> switchLayersDuring;
    QObject::connect(control<QProgressBar>(C::kProgressBar), &QProgressBar::valueChanged,
                     window.get(),
                     [&] { switchLayersDuring.push_back(enabled(C::kSwitchLayersButton)); });

    click(C::kExtractButton);
    ASSERT_TRUE(operationEnds());
    EXPECT_EQ(std::filesystem::file_size(out.file("L1.BIN")), 14u);
    EXPECT_EQ(readBytesAt(out.file("L1.BIN"), 0, 14), "layer one data");
    click(C::kDummyButton);
    ASSERT_TRUE(operationEnds());

    EXPECT_EQ(readFileBytes(dualLayer),
              withBytesAt(before, layerOneDataOffset("L1.BIN"), std::vector<uint8_t>(14, 0)));
    EXPECT_EQ(readFileBytes(layerCopy), copyBefore);
    ASSERT_FALSE(switchLayersDuring.empty());
    EXPECT_TRUE(std::ranges::none_of(switchLayersDuring, [](bool on) { return on; }));
    EXPECT_TRUE(enabled(C::kSwitchLayersButton));
    EXPECT_EQ(text(C::kDiscKindText), "Dual-Layer DVD (DVD9) - Layer 1");
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "Selected Files Extracted");
    EXPECT_EQ(messages[1].text, "File Replaced With a Dummy File");
}

}  // namespace
}  // namespace kestrel::test
