#include "image/EditorState.h"

#include <gtest/gtest.h>

#include "app/DirectoryItems.h"

namespace kestrel {
namespace {

TEST(EditorState, LayerDataOffsetAddsTheLayerOneStartOnlyWhileLayerOneIsPresented) {
    EditorState state;
    state.chooseImage("/images/dvd9.iso");
    state.layer0Bytes = 4'000'000'000LL;
    EXPECT_EQ(state.layerDataOffset(0), 0);
    EXPECT_EQ(state.layerDataOffset(0xFFFFFFFFu), int64_t{0xFFFFFFFF} * 2048);

    state.imagePath = "/cache/layer1.tmp";
    EXPECT_TRUE(state.presentsLayerOne());
    EXPECT_EQ(state.layerDataOffset(0), 4'000'000'000LL - 32768);
    EXPECT_EQ(state.layerDataOffset(10), 4'000'000'000LL - 32768 + 20480);
}

TEST(EditorState, ChoosingAnImagePresentsItsLayerZeroAndForgetsTheLayerCopy) {
    EditorState state;
    state.imagePath = "/cache/layer1.tmp";
    state.layerCopyMade = true;
    state.masterLba = 77;
    state.chooseImage("/images/b.iso");
    EXPECT_EQ(state.selectedIsoPath, "/images/b.iso");
    EXPECT_EQ(state.imagePath, "/images/b.iso");
    EXPECT_FALSE(state.presentsLayerOne());
    EXPECT_FALSE(state.layerCopyMade);
    EXPECT_EQ(state.masterLba, 77u);
}

TEST(EditorState, DirectoryZeroAndUnknownNumbersAreNoDirectory) {
    EditorState state;
    state.dirExtent = {0, 23 * 2048, 24 * 2048};
    EXPECT_FALSE(state.hasDirectory(0));
    EXPECT_TRUE(state.hasDirectory(1));
    EXPECT_TRUE(state.hasDirectory(2));
    EXPECT_FALSE(state.hasDirectory(3));
}

TEST(DirectoryItems, TheFirstMatchWinsAndTheNullItemIsDirectoryZero) {
    DirectoryItems<const void*> items;
    int root = 0;
    int child = 0;
    items.assign(1, &root);
    items.assign(2, &child);
    items.assign(5, &child);  // a stale slot behind a live one
    EXPECT_EQ(items.find(&root), 1u);
    EXPECT_EQ(items.find(&child), 2u);
    EXPECT_EQ(items.find(nullptr), 0u);
    int unknown = 0;
    EXPECT_EQ(items.find(&unknown), 0u);

    items.clear();
    EXPECT_EQ(items.find(&root), 0u);
}

}  // namespace
}  // namespace kestrel
