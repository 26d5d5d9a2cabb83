// Throughput of the serial frame assembler against what the serial line can
// deliver: 115200 baud with a start bit, 8 data bits, no parity and 2 stop
// bits is 11 bits a byte, 10,473 bytes per second (11,520 would be the
// 10-bit byte of 8N1).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "protocol/assembler.h"
#include "protocol/commands.h"
#include "protocol/serialline.h"

using namespace talvane;

namespace {
constexpr double kBaud = serial::kBaudRate;
constexpr double kBitsPerByte8N2 = serial::kBitsPerByte;
constexpr double kBitsPerByte8N1 = 10.0;
constexpr double kLineBytesPerSecond = kBaud / kBitsPerByte8N2;
constexpr int kFrames = 400000;
constexpr int kJunkEvery = 5;  // every 5th frame is preceded by junk
constexpr int kPasses = 5;

std::vector<std::uint8_t> makeStream(int& framesOut)
{
    const CommandFrame samples[] = {
        build::powerStateQuery().seal(), build::routeSet(4, 2).seal(), build::inputStatusQuery(3).seal(),
        build::arcSet(5, true).seal(),   build::edidQuery(1).seal(),   build::beepSet(false).seal(),
    };
    // Noise on the line: never a header pair, so every frame is still found.
    const std::uint8_t junk[] = {0x00, 0x12, 0x5B, 0xEF, 0xFF, 0x33, 0xA5, 0x00, 0x7E};
    std::vector<std::uint8_t> stream;
    stream.reserve(std::size_t(kFrames) * (kCommandFrameSize + 3));
    for (int i = 0; i < kFrames; ++i) {
        if (i % kJunkEvery == 0)
            for (int j = 0; j < 1 + i % 7; ++j)
                stream.push_back(junk[(i + j) % sizeof junk]);
        const CommandFrame& f = samples[i % (sizeof samples / sizeof samples[0])];
        stream.insert(stream.end(), f.bytes.begin(), f.bytes.end());
    }
    framesOut = kFrames;
    return stream;
}
}  // namespace

int main()
{
    int expectedFrames = 0;
    const std::vector<std::uint8_t> stream = makeStream(expectedFrames);

    double best = 0;
    for (int pass = 0; pass < kPasses; ++pass) {
        long frames = 0;
        long valid = 0;
        FrameAssembler assembler([&](const CommandFrame& f) {
            ++frames;
            valid += f.checksumValid();
        });
        const auto start = std::chrono::steady_clock::now();
        for (std::uint8_t b : stream)
            assembler.feed(b);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (frames != expectedFrames || valid != expectedFrames) {
            std::fprintf(stderr, "assembler found %ld frames (%ld valid), expected %d\n", frames, valid, expectedFrames);
            return 1;
        }
        const double rate = double(stream.size()) / took.count();
        std::printf("pass %d: %zu bytes, %ld frames in %.1f ms\n", pass + 1, stream.size(), frames, took.count() * 1e3);
        if (rate > best)
            best = rate;
    }
    std::printf("frame assembler: %.0f bytes/s (best of %d passes)\n", best, kPasses);
    std::printf("serial line 115200 8N2 (11 bits a byte): %.0f bytes/s (8N1, 10 bits a byte: %.0f bytes/s)\n",
                kLineBytesPerSecond, kBaud / kBitsPerByte8N1);
    std::printf("ratio: %.0fx the 8N2 line (%.0fx the 8N1 figure)\n", best / kLineBytesPerSecond,
                best / (kBaud / kBitsPerByte8N1));
    return 0;
}
