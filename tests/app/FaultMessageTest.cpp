// A refused run through the window: the message that ends it names the image and the reason.
#include <sys/stat.h>

#include "support/FileAccess.h"
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using FaultMessageTest = WindowFixture;

TEST_F(FaultMessageTest, DummyOnAReadOnlyImageEndsWithAMessageNamingTheImageAndTheReason) {
    // The worker thread, started below, inherits this.
    WithoutAccessOverride access;
    if (!access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    browseTo(image);
    ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
    const auto before = readFileBytes(image);
    selectRows({"A.TXT"});

    click(CKestrelDlg::kDummyButton);
    ASSERT_TRUE(operationEnds());

    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, Message::Kind::Refusal);
    EXPECT_EQ(messages[0].text,
              QString::fromStdString("These files were not replaced with a dummy file:\n\nA.TXT: "
                                     "Cannot open " +
                                     image + " for writing: Permission denied"));
    EXPECT_EQ(readFileBytes(image), before);
}

}  // namespace
}  // namespace kestrel::test
