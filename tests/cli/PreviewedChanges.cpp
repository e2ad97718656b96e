#include "PreviewedChanges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace kestrel::test {

void expectChangesPreviewed(const nlohmann::json& changes, const std::vector<uint8_t>& before,
                            const std::vector<uint8_t>& after) {
    std::vector<bool> previewed(before.size());
    for (const auto& change : changes) {
        const uint64_t offset = change.at("offset");
        const uint64_t length = change.at("length");
        ASSERT_LE(offset + length, before.size()) << "at " << offset;
        std::fill_n(previewed.begin() + static_cast<ptrdiff_t>(offset), length, true);
        std::string old;
        for (size_t i = 0; i < change.at("shownBytes").get<size_t>(); ++i) {
            char pair[4];
            std::snprintf(pair, sizeof pair, "%s%02x", i ? " " : "", before[offset + i]);
            old += pair;
        }
        EXPECT_EQ(change.at("old"), old) << "at " << offset;
    }
    for (size_t at = 0; at < std::min(before.size(), after.size()); ++at) {
        EXPECT_TRUE(after[at] == before[at] || previewed[at]) << "byte " << at;
    }
}

}  // namespace kestrel::test
