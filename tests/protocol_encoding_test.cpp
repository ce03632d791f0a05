#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Encoding.h"
#include "Unpack7Bit.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pack(const Bytes& src) {
    Bytes out(static_cast<std::size_t>(PackedLength(static_cast<int>(src.size()))) + 1, 0xEE);
    const int n = Pack7Bit(out.data(), src.data(), static_cast<int>(src.size()));
    EXPECT_EQ(out.back(), 0xEE) << "wrote past the packed length";
    out.resize(static_cast<std::size_t>(n));
    return out;
}

Bytes Unpack(const Bytes& packed) {
    return testsupport::Unpack7Bit(packed.data(), packed.size());
}

Bytes Groups(std::uint32_t value, int groups) {
    Bytes out(static_cast<std::size_t>(groups));
    Write7BitGroups(out.data(), value, groups);
    return out;
}

}  // namespace

TEST(Encoding, PackingWritesOneExtraByteForEveryStartedGroupOfSeven) {
    const std::pair<int, int> cases[] = {{1, 2}, {7, 8}, {8, 10}, {14, 16}, {15, 18}, {9216, 10533}, {16383, 18724}};
    for (const auto& [length, packed] : cases) {
        EXPECT_EQ(PackedLength(length), packed) << length;
        EXPECT_EQ(Pack(Bytes(static_cast<std::size_t>(length), 0x5A)).size(), static_cast<std::size_t>(packed)) << length;
    }
}

TEST(Encoding, PackingNothingOrANegativeLengthWritesNothing) {
    std::uint8_t dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    const std::uint8_t src[1] = {0x80};
    EXPECT_EQ(Pack7Bit(dst, src, 0), 0);
    EXPECT_EQ(Pack7Bit(dst, src, -5), 0);
    EXPECT_EQ(PackedLength(-5), 0);
    for (std::uint8_t b : dst) EXPECT_EQ(b, 0xEE);
}

TEST(Encoding, PackingMatchesTheWorkedExamples) {
    EXPECT_EQ(Pack({0x80, 0x01, 0xFF, 0x7F, 0x00, 0x81, 0xC0, 0x25}),
              (Bytes{0x53, 0x00, 0x01, 0x7F, 0x7F, 0x00, 0x01, 0x40, 0x00, 0x25}));
    EXPECT_EQ(Pack({0x80}), (Bytes{0x40, 0x00}));
    // Bit 7 in the first place of a group sets bit 6 of the leading byte, in the seventh bit 0.
    EXPECT_EQ(Pack({0xFF, 0, 0, 0, 0, 0, 0}), (Bytes{0x40, 0x7F, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Pack({0, 0, 0, 0, 0, 0, 0x80}), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0x00}));
    EXPECT_EQ(Pack({0, 0, 0, 0, 0, 0, 0, 0x80}), (Bytes{0x00, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00}));
}

TEST(Encoding, RandomBlocksSurviveARoundTripThroughAnIndependentUnpacker) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        const std::size_t length = round < 20 ? static_cast<std::size_t>(round) : rng() % 16384;
        Bytes data(length);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        const Bytes packed = Pack(data);
        for (std::uint8_t b : packed) ASSERT_LT(b, 0x80) << "a packed byte has bit 7 set";
        ASSERT_EQ(Unpack(packed), data) << "length " << length;
    }
}

TEST(Encoding, ChecksumIsCrc32JamcrcWithoutFinalInversion) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32Compute(digits, sizeof digits), 0x340BC6D9u);
    EXPECT_EQ(Crc32Compute(nullptr, 0), 0xFFFFFFFFu);
    const std::uint8_t example[] = {0x80, 0x01, 0xFF, 0x7F, 0x00, 0x81, 0xC0, 0x25};
    EXPECT_EQ(Crc32Compute(example, sizeof example), 0x90DE0094u);

    std::uint32_t running = CRC32_INIT;
    for (std::uint8_t b : digits) running = Crc32Update(running, b);
    EXPECT_EQ(running, 0x340BC6D9u);
}

TEST(Encoding, NumbersGoOutLeastSignificantSevenBitsFirst) {
    EXPECT_EQ(Groups(0xA2400, 5), (Bytes{0x00, 0x48, 0x28, 0x00, 0x00}));
    EXPECT_EQ(Groups(0xEFFFF, 5), (Bytes{0x7F, 0x7F, 0x3B, 0x00, 0x00}));
    EXPECT_EQ(Groups(0xA0000, 5), (Bytes{0x00, 0x00, 0x28, 0x00, 0x00}));
    EXPECT_EQ(Groups(0xFFFFFFFF, 5), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F}));
    EXPECT_EQ(Groups(0x90DE0094, 5), (Bytes{0x14, 0x01, 0x78, 0x06, 0x09}));
    EXPECT_EQ(Groups(9216, 2), (Bytes{0x00, 0x48}));
    EXPECT_EQ(Groups(16383, 2), (Bytes{0x7F, 0x7F}));
}

TEST(Encoding, ReadingGroupsReversesWritingInThirtyTwoBits) {
    for (std::uint32_t v : {0u, 1u, 0xA2400u, 0xEFFFFu, 0x90DE0094u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Read7BitGroups(Groups(v, 5).data(), 5), v);
    }
    EXPECT_EQ(Read7BitGroups(Groups(9216, 2).data(), 2), 9216u);
    EXPECT_EQ(Read7BitGroups(Groups(16383, 2).data(), 2), 16383u);
    // Bits 4 to 6 of a fifth group do not fit into 32 bits and fall away.
    const std::uint8_t top[] = {0x00, 0x00, 0x00, 0x00, 0x7F};
    EXPECT_EQ(Read7BitGroups(top, 5), 0xF0000000u);
}
