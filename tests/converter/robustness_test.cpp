// SPDX-License-Identifier: GPL-3.0-or-later
// The reader against damaged input. Built on its own with AddressSanitizer and
// UndefinedBehaviorSanitizer, so an out-of-bounds read or an overflow fails the test run.
#include "conversion_check.h"
#include "layout_choice.h"
#include "palette_check.h"
#include "pcx.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <random>

using namespace testutil;

namespace {

// Decodes and checks what a caller relies on; any outcome but a crash or a broken image is fine.
void decodeAndCheck(const std::vector<uint8_t>& bytes, const std::string& what)
{
    pcx::Limits limits;
    limits.maxPixels = uint64_t(1) << 24;
    pcx::Image img;
    const pcx::Error e = pcx::decodeMemory(bytes.data(), bytes.size(), img, limits);
    if (e != pcx::Error::None) {
        ASSERT_TRUE(img.pixels.empty()) << what;
        return;
    }
    const size_t pixels = size_t(img.width) * img.height;
    ASSERT_EQ(img.pixels.size(), pixels * (img.indexed ? 1 : 4)) << what;
    // Memory follows the file's real content: a run pair gives at most 63 bytes, and a byte
    // at most 8 one-bit pixels.
    ASSERT_LE(img.pixels.size(), bytes.size() * 63 / 2 * 8 + 1024) << what;
    if (img.indexed) {
        ASSERT_FALSE(img.palette.empty()) << what;
        for (uint8_t p : img.pixels)
            ASSERT_LT(p, img.palette.size()) << what;
        // What we read, we can write back.
        const pcx::Choice c = pcx::chooseSmallest(pcx::Image(img), true);
        ASSERT_GT(c.size, 0u) << what;
    }
}

}  // namespace

TEST(Robustness, MutatedCopiesOfTheTestFiles)
{
    std::mt19937 rng(20240607);
    for (const auto& f : testFiles()) {
        const auto original = readFile(f);
        ASSERT_GT(original.size(), 128u);
        for (int round = 0; round < 150; ++round) {
            auto b = original;
            const std::string what = f.filename().string() + " round " + std::to_string(round);
            switch (round % 6) {
            case 0:  // a few bytes anywhere
                for (int k = 0; k < 4; ++k)
                    b[rng() % b.size()] = uint8_t(rng());
                break;
            case 1:  // the header only
                for (int k = 0; k < 3; ++k)
                    b[rng() % 128] = uint8_t(rng());
                break;
            case 2:  // cut anywhere
                b.resize(rng() % b.size());
                break;
            case 3: {  // a header number set to an extreme
                static const size_t fields[] = {4, 6, 8, 10, 66};
                const size_t at = fields[rng() % 5];
                const uint16_t v = (rng() % 2) ? uint16_t(0xFFFF) : uint16_t(rng() % 4);
                b[at] = uint8_t(v);
                b[at + 1] = uint8_t(v >> 8);
                break;
            }
            case 4:  // bits and planes from all combinations
                b[3] = uint8_t(rng() % 10);
                b[65] = uint8_t(rng() % 6);
                break;
            case 5: {  // bytes removed from the pixel data: runs out of step
                const size_t from = 128 + rng() % (b.size() - 128);
                const size_t count = std::min<size_t>(1 + rng() % 7, b.size() - from);
                b.erase(b.begin() + long(from), b.begin() + long(from + count));
                break;
            }
            }
            decodeAndCheck(b, what);
            if (HasFatalFailure())
                return;
        }
    }
}

TEST(Robustness, CraftedBadFiles)
{
    Crafted base;
    base.xmax = 15;
    base.ymax = 15;
    base.bytesPerLine = 16;
    base.lines.assign(16, std::vector<uint8_t>(16, 7));
    std::vector<std::vector<uint8_t>> files;
    for (uint8_t bits : {0, 1, 2, 3, 4, 8, 16, 255})
        for (uint8_t planes : {0, 1, 2, 3, 4, 5, 255}) {
            Crafted c = base;
            c.bits = bits;
            c.planes = planes;
            files.push_back(c.bytes());
        }
    for (uint16_t bpl : {0, 1, 2, 15, 17, 0xFFFF}) {
        Crafted c = base;
        c.bytesPerLine = bpl;
        files.push_back(c.bytes());
    }
    // Largest window, tiny file; and a header with nothing after it.
    Crafted big = base;
    big.xmax = big.ymax = 0xFFFF;
    big.bytesPerLine = 0xFFFF;
    files.push_back(big.bytes());
    files.push_back(header(base));
    // Runs of length zero and a count at the very end.
    auto zero = header(base);
    for (int i = 0; i < 600; ++i)
        zero.insert(zero.end(), {0xC0, 1});
    files.push_back(zero);
    for (size_t i = 0; i < files.size(); ++i)
        decodeAndCheck(files[i], "crafted " + std::to_string(i));
}

// Every corpus file through the whole conversion, as the fuzz target runs it, but past its size
// limit: the seeds and most finds are larger than the 512 pixels it lets through.
TEST(Robustness, FuzzCorpusReplays)
{
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(PCX_CORPUS)) {
        const auto bytes = readFile(e.path());
        decodeAndCheck(bytes, e.path().filename().string());
        EXPECT_EQ(pcx::checkConversion(bytes.data(), bytes.size(), uint64_t(1) << 16), "") << e.path().filename();
        ++n;
    }
    EXPECT_GT(n, 0u);
}

// The palette reader over its corpus and damaged copies of it: anything but a crash, an entry
// count out of range or a file that does not write back is fine.
TEST(Robustness, PaletteCorpusAndDamagedCopies)
{
    std::mt19937 rng(20261210);
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(PALETTE_CORPUS)) {
        const auto original = readFile(e.path());
        EXPECT_EQ(pcx::checkPalette(original.data(), original.size()), "") << e.path().filename();
        for (int round = 0; round < 300; ++round) {
            auto b = original;
            if (round % 3 == 0 && !b.empty())
                b.resize(rng() % b.size());
            else
                for (int k = 0; k < 3 && !b.empty(); ++k)
                    b[rng() % b.size()] = round % 3 == 1 ? uint8_t(rng()) : uint8_t("0123456789 \n-#"[rng() % 15]);
            ASSERT_EQ(pcx::checkPalette(b.data(), b.size()), "") << e.path().filename() << " round " << round;
        }
        ++n;
    }
    EXPECT_GT(n, 0u);
}
