// Writes the deterministic placeholder firmware image (327680 bytes) that the program embeds
// when no real image is configured:
//
//   tarnet-make-image app/resources/firmware.bin
//
// The content is chosen to exercise the encoder, not to mean anything: a byte counter (every
// value), runs of groups that have bit 7 set in every position and in every combination of
// positions (every leading byte of the 7-to-8 packing), runs of 0x00, 0xFF, 0x7F and 0x80, and
// xorshift noise for the rest. Same output on every platform and every run.
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr std::size_t IMAGE_SIZE = 327680;

std::vector<std::uint8_t> MakeImage() {
    std::vector<std::uint8_t> image;
    image.reserve(IMAGE_SIZE);

    // 0x0000: counter, 16 times through all byte values.
    for (int i = 0; i < 4096; ++i) image.push_back(static_cast<std::uint8_t>(i));

    // Then 128 groups of 7 whose bit-7 pattern counts 0..127 (first byte = bit 6 of the
    // pattern), low bits a counter; padded so that the groups line up with the packing groups of
    // the first block.
    while (image.size() % 7 != 0) image.push_back(0x55);
    for (int pattern = 0; pattern < 128; ++pattern) {
        for (int j = 0; j < 7; ++j) {
            const bool high = (pattern >> (6 - j)) & 1;
            image.push_back(static_cast<std::uint8_t>((high ? 0x80 : 0x00) | ((pattern + j) & 0x7F)));
        }
    }

    // Runs of the four boundary values.
    for (std::uint8_t value : {0x00, 0xFF, 0x7F, 0x80}) {
        for (int i = 0; i < 1024; ++i) image.push_back(value);
    }

    // The rest: xorshift32 noise.
    std::uint32_t state = 0x7A12E7u;
    while (image.size() < IMAGE_SIZE) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }
    const std::vector<std::uint8_t> image = MakeImage();
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "%s: write failed\n", argv[1]);
        return 1;
    }
    return 0;
}
