// What the window tells of each kind of image, and for dual-layer images Switch Layers and the
// record edits on layer 1, whose records come from the layer-1 copy.
#include <QRegularExpression>
#include <QStringEncoder>

#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

constexpr uint32_t kLayerZeroSectors = 600;

// 74 characters: Rock Ridge keeps them all, Joliet the first 64.
const QString kLongName =
    "A file name longer than sixty-four characters, as Rock Ridge keeps it.text";

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

    // An image genisoimage makes with `options` of one file, kLongName, holding "long".
    std::string madeByGenisoimage(const std::string& name, const std::string& options) const {
        const auto tree = dir.path() / (name + ".tree");
        std::filesystem::create_directories(tree);
        writeFileBytes((tree / kLongName.toStdString()).string(), {'l', 'o', 'n', 'g'});
        const std::string path = dir.file(name);
        EXPECT_TRUE(commandOutput("genisoimage -quiet " + options + " -o '" + path + "' '" +
                                  tree.string() + "' 2>&1"));
        return path;
    }

    IsoBuilder layer0{Layout::Dvd, "LAYER_ZERO"};
    IsoBuilder layer1{Layout::Dvd, "LAYER_ONE"};
    std::string dualLayer = dir.file("dual.iso");
    std::string singleLayer = dir.file("single.iso");
};

// On layer 1 a master chosen on layer 0 is refused and Undo reverts edits; Switch Layers goes
// back to layer 0.
TEST_F(LayerSwitchTest, LayerOneRefusesALayerZeroMasterAndUndoesItsEditsAndSwitchLayersIsHeld) {
    browseTo(dualLayer);
    selectRows({"L0.BIN"});
    click(C::kMasterFileButton);
    click(C::kSwitchLayersButton);
    EXPECT_EQ(text(C::kDiscKindText), "Dual-Layer DVD (DVD9) - Layer 1");
    EXPECT_EQ(column(0), QStringList{"L1.BIN"});
    EXPECT_EQ(text(C::kMasterFileText), "Selected Master File: L0.BIN");
    const auto before = readFileBytes(dualLayer);
    const auto copyBefore = readFileBytes(layerCopy);
    selectRows({"L1.BIN"});
    click(C::kRelinkButton);
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1);  // refused without asking the Patch Option first
    EXPECT_TRUE(messages[0].startsWith(
        "Refusal: L1.BIN could not be patched:\n\nthe master file L0.BIN is on layer 0"))
        << messages[0].toStdString();
    EXPECT_TRUE(messages[0].endsWith("No file was patched."));
    EXPECT_EQ(readFileBytes(dualLayer), before);
    EXPECT_EQ(readFileBytes(layerCopy), copyBefore);

    // Browsing to a dual-layer image while Dummy runs leaves Switch Layers held to the end.
    QString switchLayersDuring;
    onProgress([&](const QString&, int) {
        if (switchLayersDuring.isEmpty()) {
            browseTo(dualLayer);
        }
        switchLayersDuring += enabled(C::kSwitchLayersButton) ? "on " : "off ";
    });
    selectRows({"L1.BIN"});
    click(C::kDummyButton);
    ASSERT_TRUE(operationEnds());
    EXPECT_TRUE(switchLayersDuring.startsWith("off") && !switchLayersDuring.contains("on"));
    EXPECT_TRUE(enabled(C::kSwitchLayersButton));
    click(C::kSwitchLayersButton);
    EXPECT_EQ(column(0), QStringList{"L1.BIN"});
    // On layer 1, Undo puts back a record edit in the image and the copy, then the Dummy.
    selectRows({"L1.BIN"});
    modifySize("2");
    prompter->answers = {Answer::Yes, Answer::Yes};
    pressUndoKeys();
    pressUndoKeys();
    EXPECT_EQ(readFileBytes(dualLayer), before);
    EXPECT_EQ(readFileBytes(layerCopy), copyBefore);
    click(C::kSwitchLayersButton);
    EXPECT_EQ(text(C::kDiscKindText), "Dual-Layer DVD (DVD9) - Layer 0");
    EXPECT_EQ(column(0), QStringList{"L0.BIN"});
}

TEST_F(LayerSwitchTest, ALayerCopyOrCheckThatFailsIsReportedAndSwitchingStaysOff) {
    writeFileBytes(dir.file("not-a-folder"), {'x'});
    layerCopy = dir.file("not-a-folder") + "/93213_43.tmp";
    makeWindow();
    // A DVD whose first volume is recorded as 10 sectors, too few for a second to start in,
    // is reported, and what it is replaces what the image before was.
    overwriteBytes(singleLayer, 0x8050, {10, 0, 0, 0, 0, 0, 0, 10});
    for (const auto& [path, start, reason, kind] :
         {std::tuple(dualLayer, "Notice: Can't Make File\n\n", "not-a-folder",
                     "Dual-Layer DVD (DVD9) - Layer 0"),
          std::tuple(singleLayer, "Notice: Error Reading File\n\n", "too short for a second volume",
                     "Single-Layer DVD (DVD5)")}) {
        browseTo(path);
        const auto messages = takeMessages();
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].startsWith(start) && messages[0].contains(reason))
            << messages[0].toStdString();
        EXPECT_EQ(text(C::kDiscKindText), kind);
        EXPECT_FALSE(enabled(C::kSwitchLayersButton));
    }
}

// In turn in one window, so that each image follows one of another kind: what the window says
// it is, its first row's long name, and what each record edit on that row says. Relink and
// Modify TOC bring the row's Joliet and UDF records along, or say they could not.
TEST_F(LayerSwitchTest, EachKindOfImageShowsWhatItIsItsLongNamesAndWhatItsEditsLeave) {
    if (!haveCommand("genisoimage")) {
        GTEST_SKIP() << "genisoimage is not installed";
    }
    // An image whose file's Joliet record points elsewhere: no Joliet record shares its data.
    const auto astray = madeByGenisoimage("astray.iso", "-J");
    const auto bytes = readFileBytes(astray);
    const qsizetype name =
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                static_cast<qsizetype>(bytes.size()))
            .indexOf(QByteArray(QStringEncoder(QStringEncoder::Utf16BE)(kLongName.left(64))));
    ASSERT_GT(name, 33);  // the record's identifier is its 34th byte on
    overwriteBytes(astray, name - 33 + 2, extentField(3));
    const QString patched = "Notice: File(s) Patched";
    const QString astrayPatched =
        patched + "\n\nThe Joliet view of %1 (what Windows shows) was not updated";
    const std::vector<std::tuple<std::string, QString, QString, QString>> kinds{
        {dualLayer, "Dual-Layer DVD (DVD9) - Layer 0", "", patched},
        {image, "CD-ROM", "", patched},
        {singleLayer, "Single-Layer DVD (DVD5)", "", patched},
        {madeByGenisoimage("plain.iso", ""), "ISO 9660", "", patched},
        {madeByGenisoimage("joliet.iso", "-J"), "ISO 9660 - Joliet", kLongName.left(64), patched},
        {astray, "ISO 9660 - Joliet", "", astrayPatched},
        {madeByGenisoimage("both.iso", "-J -R"), "ISO 9660 - Joliet, Rock Ridge", kLongName,
         patched},
        {madeByGenisoimage("udf.iso", "-udf"), "ISO 9660 - UDF 1.02", "", patched},
    };
    const auto shown = [this] {
        return takeMessages()
            .replaceInStrings(QRegularExpression("(?s)^Question .*"), "question")
            .replaceInStrings(QRegularExpression("(?s)(was not updated): .*"), "\\1");
    };
    for (const auto& [path, kindText, tooltip, edited] : kinds) {
        SCOPED_TRACE(path);
        browseTo(path);
        EXPECT_TRUE(takeMessages().empty());
        EXPECT_EQ(text(C::kDiscKindText), kindText);
        EXPECT_EQ(enabled(C::kSwitchLayersButton), path == dualLayer);
        ASSERT_GT(list()->topLevelItemCount(), 0);
        const QString row = list()->topLevelItem(0)->text(0);
        EXPECT_EQ(list()->topLevelItem(0)->toolTip(3), tooltip);

        const QStringList said{edited.contains("%1") ? edited.arg(row) : edited};
        selectRows({row});
        click(C::kMasterFileButton);
        prompter->answers.push_back(Answer::Yes);
        click(C::kRelinkButton);
        EXPECT_EQ(shown(), QStringList{"question"} + said);
        for (const bool reopened : {false, true}) {
            if (reopened) {
                browseTo(path);
            }
            selectRows({row});
            modifySize("2");
            EXPECT_EQ(shown(), said);
        }
        // The long name is found again through the Joliet record, which the edit followed.
        EXPECT_EQ(list()->topLevelItem(0)->toolTip(0), tooltip);
        EXPECT_EQ(cell(row, 2), "2");
    }
}

}  // namespace
}  // namespace kestrel::test
