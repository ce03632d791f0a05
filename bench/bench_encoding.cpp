// Packing and checksum of image data: one 9216-byte block, and the whole image.
#include <benchmark/benchmark.h>

#include <vector>

#include "Encoding.h"
#include "FirmwareImage.h"

namespace {

void PackAndChecksum(benchmark::State& state, int length) {
    const std::uint8_t* image = LoadFirmwareImage();
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(PackedLength(length)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Pack7Bit(packed.data(), image, length));
        benchmark::DoNotOptimize(Crc32Compute(image, static_cast<std::size_t>(length)));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * length);
}

void BM_Pack7Bit(benchmark::State& state) {
    const std::uint8_t* image = LoadFirmwareImage();
    const int length = static_cast<int>(state.range(0));
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(PackedLength(length)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Pack7Bit(packed.data(), image, length));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * length);
}

void BM_Crc32Compute(benchmark::State& state) {
    const std::uint8_t* image = LoadFirmwareImage();
    const auto length = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(Crc32Compute(image, length));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(length));
}

void BM_PackAndChecksumBlock(benchmark::State& state) { PackAndChecksum(state, 9216); }
void BM_PackAndChecksumImage(benchmark::State& state) { PackAndChecksum(state, IMAGE_SIZE); }

}  // namespace

BENCHMARK(BM_PackAndChecksumBlock);
BENCHMARK(BM_PackAndChecksumImage);
BENCHMARK(BM_Pack7Bit)->Arg(9216)->Arg(IMAGE_SIZE);
BENCHMARK(BM_Crc32Compute)->Arg(9216)->Arg(IMAGE_SIZE);
