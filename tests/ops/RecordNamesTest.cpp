// The names a new record may carry at each level, and the order a directory keeps its records
// in, which other makers' readers rely on when they search a directory.
#include <gtest/gtest.h>

#include <algorithm>

#include "ops/RecordNames.h"

namespace kestrel {
namespace {

TEST(RecordNames, EachLevelTakesItsOwnNamesAndOffersOneThatFits) {
    const struct {
        const char* name;
        NameLevel level;
        const char* identifier;  // or, when refused, the name offered instead
        bool refused;
    } cases[] = {
        {"README.TXT", NameLevel::One, "README.TXT;1", false},
        {"README", NameLevel::One, "README.;1", false},
        {"readme.txt", NameLevel::One, "README.TXT", true},
        {"LONGNAME9.TXT", NameLevel::One, "LONGNAME.TXT", true},
        {"A.HTML", NameLevel::One, "A.HTM", true},
        {"A.B.C", NameLevel::One, "A_B.C", true},
        {"LONGNAME9.HTML", NameLevel::Two, "LONGNAME9.HTML;1", false},
        {"new notes.txt", NameLevel::Two, "NEW_NOTES.TXT", true},
        {"A;1", NameLevel::Two, "A_1", true},
        {"new notes.txt", NameLevel::Four, "new notes.txt", false},
        {"a/b", NameLevel::Four, "A_B", true},
        {"..", NameLevel::Two, "_", true},
    };
    for (const auto& [name, level, identifier, refused] : cases) {
        SCOPED_TRACE(name);
        const auto made = fileIdentifierFor(name, level);
        EXPECT_EQ(!made, refused);
        if (made) {
            EXPECT_EQ(*made, identifier);
        } else {
            EXPECT_NE(made.error().message.find("--name " + std::string(identifier)),
                      std::string::npos)
                << made.error().message;
        }
    }
}

TEST(RecordNames, RecordsSortByNameThenExtensionThenTheHigherVersion) {
    std::vector<std::string> ordered{"B;1",   "AB.C;1",   "A.TXT;1", "A_B.TXT;1",
                                     "AB.;1", "A.TXT;10", "A.TXT;2"};
    std::ranges::sort(ordered, [](const std::string& a, const std::string& b) {
        return compareIdentifiers(a, b) < 0;
    });
    // Names are padded with spaces, which come before every d-character: AB before A_B.
    EXPECT_EQ(ordered, (std::vector<std::string>{"A.TXT;10", "A.TXT;2", "A.TXT;1", "AB.;1",
                                                 "AB.C;1", "A_B.TXT;1", "B;1"}));
}

}  // namespace
}  // namespace kestrel
