#include "ModuleWriter.h"

#include <algorithm>

namespace sonvale::test {
namespace {

constexpr int kChannels = 4;
constexpr int kRowsPerPattern = 64;
constexpr int kSampleBytes = 64; // two periods of a 32-byte square wave
constexpr int kPeriodC = 428;    // ProTracker's middle C

void PutBigEndian16(std::vector<uint8_t>& out, size_t at, int value) {
    out[at] = static_cast<uint8_t>((value >> 8) & 0xFF);
    out[at + 1] = static_cast<uint8_t>(value & 0xFF);
}

void PutCell(std::vector<uint8_t>& out, size_t at, int sample, int period, int effect, int param) {
    out[at] = static_cast<uint8_t>((sample & 0xF0) | ((period >> 8) & 0x0F));
    out[at + 1] = static_cast<uint8_t>(period & 0xFF);
    out[at + 2] = static_cast<uint8_t>(((sample & 0x0F) << 4) | (effect & 0x0F));
    out[at + 3] = static_cast<uint8_t>(param);
}

} // namespace

std::vector<uint8_t> WriteModule(const ModuleSpec& spec) {
    const int orders = std::clamp(spec.orders, 1, 64);
    const size_t headerSize = 20 + 31 * 30 + 2 + 128 + 4;
    const size_t patternSize = kRowsPerPattern * kChannels * 4;
    std::vector<uint8_t> out(headerSize + orders * patternSize + kSampleBytes, 0);

    std::copy_n(spec.title.begin(), std::min<size_t>(spec.title.size(), 20), out.begin());
    const size_t sample1 = 20;
    const char name[] = "square";
    std::copy_n(name, sizeof name - 1, out.begin() + sample1);
    PutBigEndian16(out, sample1 + 22, kSampleBytes / 2); // length in words
    out[sample1 + 24] = 0;                               // finetune
    out[sample1 + 25] = 64;                              // volume
    PutBigEndian16(out, sample1 + 26, 0);                // loop start
    PutBigEndian16(out, sample1 + 28, kSampleBytes / 2); // loop length: the whole sample

    const size_t songLength = 20 + 31 * 30;
    out[songLength] = static_cast<uint8_t>(orders);
    out[songLength + 1] = 127;
    for (int o = 0; o < orders; ++o) {
        out[songLength + 2 + o] = static_cast<uint8_t>(o);
    }
    const char tag[] = "M.K.";
    std::copy_n(tag, 4, out.begin() + songLength + 2 + 128);

    const int lastRow = std::clamp(spec.rows, 1, kRowsPerPattern) - 1;
    for (int p = 0; p < orders; ++p) {
        const size_t base = headerSize + p * patternSize;
        auto cell = [&](int row, int channel) { return base + (row * kChannels + channel) * 4; };
        if (p == 0) {
            // Channels 1 and 2 (left and right on an Amiga) hold the note.
            PutCell(out, cell(0, 0), 1, kPeriodC, 0xF, spec.speed);
            PutCell(out, cell(0, 1), 1, kPeriodC, 0, 0);
        }
        if (p == spec.jumpBackAfter) {
            PutCell(out, cell(lastRow, 3), 0, 0, 0xB, 0);
        } else if (lastRow < kRowsPerPattern - 1) {
            PutCell(out, cell(lastRow, 2), 0, 0, 0xD, 0);
        }
    }

    const size_t data = headerSize + orders * patternSize;
    for (int i = 0; i < kSampleBytes; ++i) {
        const int v = (i % 32) < 16 ? spec.amplitude : -spec.amplitude;
        out[data + i] = static_cast<uint8_t>(static_cast<int8_t>(v));
    }
    return out;
}

double PlayedSeconds(const ModuleSpec& spec) {
    const int orders = std::clamp(spec.orders, 1, 64);
    const int played = spec.jumpBackAfter >= 0 ? std::min(spec.jumpBackAfter + 1, orders) : orders;
    const int rows = std::clamp(spec.rows, 1, kRowsPerPattern);
    // At 125 BPM a tick is 20 ms.
    return played * rows * spec.speed * 0.02;
}

} // namespace sonvale::test
