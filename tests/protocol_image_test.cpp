#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <vector>

#include "FirmwareImage.h"

TEST(FirmwareImage, EmbeddedImageIsTheConfiguredFileByteForByte) {
    std::FILE* f = std::fopen(TARNET_FIRMWARE_IMAGE_FILE, "rb");
    ASSERT_NE(f, nullptr) << TARNET_FIRMWARE_IMAGE_FILE;
    std::vector<std::uint8_t> file(IMAGE_SIZE + 1);
    const std::size_t n = std::fread(file.data(), 1, file.size(), f);
    std::fclose(f);
    ASSERT_EQ(n, static_cast<std::size_t>(IMAGE_SIZE));
    file.resize(n);

    const FirmwareImage image = EmbeddedFirmwareImage();
    EXPECT_EQ(image.data(), LoadFirmwareImage());
    EXPECT_EQ(image.size(), 327680u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), file.begin()));
}

TEST(FirmwareImage, BlockViewPointsIntoTheImageByDeviceAddress) {
    const std::uint8_t* image = LoadFirmwareImage();
    const auto first = ImageBlockView(image, 0xA0000, 9216);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->data(), image);
    EXPECT_EQ(first->size(), 9216u);

    const auto last = ImageBlockView(image, 0xEFFFF, 1);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->data(), image + 327679);
    EXPECT_EQ(last->size(), 1u);

    const auto largest = ImageBlockView(image, 0xF0000 - 16383, 16383);
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->data(), image + IMAGE_SIZE - 16383);

    const auto empty = ImageBlockView(image, 0xF0000, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0u);
}

TEST(FirmwareImage, BlockViewRefusesEveryRangeThatLeavesTheImage) {
    constexpr auto INT64_MAX_VALUE = std::numeric_limits<std::int64_t>::max();
    constexpr auto INT64_MIN_VALUE = std::numeric_limits<std::int64_t>::min();
    const std::pair<std::int64_t, std::int64_t> outside[] = {
        {0xEFFFF, 2},           // one byte past the end
        {0xF0000, 1},
        {0x9FFFF, 1},           // below the base address
        {0x9FFFF, 0},
        {0xA0000, 16384},       // longer than a block message carries
        {0xA0000, -1},
        {-1, 1},
        {INT64_MAX_VALUE, 16383},          // would overflow a naive A + L
        {INT64_MAX_VALUE, INT64_MAX_VALUE},
        {0xA0000, INT64_MAX_VALUE},
        {0xA0000, INT64_MIN_VALUE},
        {INT64_MIN_VALUE, 16383},
        {0xFFFFFFFF, 1},        // a 32-bit wrap-around back into the image must not pass
        {0x1000A0000, 1},
    };
    for (const auto& [address, length] : outside) {
        EXPECT_FALSE(IsRangeInsideImage(address, length)) << address << " + " << length;
        EXPECT_FALSE(ImageBlockView(LoadFirmwareImage(), address, length)) << address << " + " << length;
    }
    EXPECT_FALSE(ImageBlockView(nullptr, 0xA0000, 1));
}
