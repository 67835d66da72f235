// SPDX-License-Identifier: GPL-3.0-or-later
#include "reduce.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <set>

using namespace testutil;
using pcx::Rgb;

namespace {

pcx::Image loadTestFile(const std::string& name)
{
    pcx::Image img;
    EXPECT_EQ(pcx::decodeFile(std::string(PCX_TEST_DATA) + "/" + name, img), pcx::Error::None) << name;
    return img;
}

std::set<uint32_t> coloursOf(const pcx::Image& img)
{
    std::set<uint32_t> s;
    for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x) {
            const Rgb c = img.at(x, y);
            s.insert(uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b);
        }
    return s;
}

double psnr(const pcx::Image& a, const pcx::Image& b)
{
    double se = 0;
    for (uint32_t y = 0; y < a.height; ++y)
        for (uint32_t x = 0; x < a.width; ++x) {
            const Rgb p = a.at(x, y), q = b.at(x, y);
            se += std::pow(p.r - q.r, 2) + std::pow(p.g - q.g, 2) + std::pow(p.b - q.b, 2);
        }
    const double mse = se / (3.0 * a.width * a.height);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

pcx::Image reduced(const pcx::Image& in, int colors, bool dither = false)
{
    pcx::ReduceOptions o;
    o.colors = colors;
    o.dither = dither;
    pcx::Image out;
    EXPECT_EQ(pcx::reduce(in, o, out), pcx::ReduceError::None);
    return out;
}

}  // namespace

TEST(Reduce, PicturesThatFitKeepTheirExactColours)
{
    // Palette files with 200, 16 and 4 colours; a 24-bit file with only two colours.
    for (const auto& [file, n] : std::vector<std::pair<std::string, int>>{
             {"pillow_8bit_200c.pcx", 200}, {"netpbm_4planes.pcx", 16}, {"netpbm_2bit.pcx", 4}, {"allegro_mask.pcx", 2}}) {
        const pcx::Image in = loadTestFile(file);
        ASSERT_EQ(coloursOf(in).size(), size_t(n)) << file;
        for (int colors : {n, 256}) {
            const pcx::Image out = reduced(in, colors);
            EXPECT_EQ(toRgb(out).rgb, toRgb(in).rgb) << file << " at " << colors;
            EXPECT_EQ(out.palette.size(), size_t(n)) << file;
        }
        // One colour too many is not a fit.
        if (n > 2) {
            EXPECT_LE(reduced(in, n - 1).palette.size(), size_t(n - 1)) << file;
        }
    }
}

TEST(Reduce, PhotosGetAtMostNColoursAllUsedAndClose)
{
    const pcx::Image photo = loadTestFile("netpbm_24bit.pcx");
    ASSERT_GT(coloursOf(photo).size(), 256u);
    // Floors well below what libimagequant reaches, to catch a broken remap, not to grade it.
    for (const auto& [n, floor] : std::vector<std::pair<int, double>>{{256, 38}, {16, 28}, {4, 22}, {2, 18}}) {
        const pcx::Image out = reduced(photo, n);
        EXPECT_LE(out.palette.size(), size_t(n));
        std::vector<bool> used(out.palette.size());
        for (uint8_t p : out.pixels) {
            ASSERT_LT(p, out.palette.size());
            used[p] = true;
        }
        EXPECT_EQ(std::count(used.begin(), used.end(), false), 0) << "unused palette entries at " << n;
        EXPECT_GT(psnr(photo, out), floor) << n << " colours";
    }
    // Dithering is an option, and it changes the picture.
    EXPECT_NE(reduced(photo, 16, true).pixels, reduced(photo, 16, false).pixels);
}

TEST(Reduce, LongerRunsStayWithinTheErrorBudget)
{
    const pcx::Image photo = loadTestFile("pillow_24bit.pcx");
    pcx::ReduceOptions exact;
    exact.colors = 64;
    exact.runBudget = 0;
    pcx::Image plain;
    ASSERT_EQ(pcx::reduce(photo, exact, plain), pcx::ReduceError::None);
    auto runs = [](const pcx::Image& img) {
        size_t n = 0;
        for (size_t i = 0; i < img.pixels.size(); ++i)
            n += i % img.width == 0 || img.pixels[i] != img.pixels[i - 1];
        return n;
    };
    auto squaredError = [&](const pcx::Image& img) {
        double mse = std::pow(10.0, -psnr(photo, img) / 10) * 255 * 255;
        return mse;
    };
    for (double budget : {0.02, 0.1}) {
        pcx::Image extended = plain;
        const int tolerance = pcx::extendRunsWithin(photo, extended, budget);
        EXPECT_GT(tolerance, 0);
        EXPECT_LT(runs(extended), runs(plain));
        EXPECT_LE(squaredError(extended), squaredError(plain) * (1 + budget) + 1e-9) << budget;
    }

    // A megapixel picture is searched on every fourth row. Here those rows are one flat colour
    // while the others alternate two far colours exactly: what the sampled rows allow would
    // ruin the rest, and every trial that proves so must be undone.
    pcx::Image large, indexed;
    large.width = large.height = indexed.width = indexed.height = 1024;
    large.indexed = false;
    indexed.palette = {Rgb{0, 0, 0}, Rgb{100, 0, 0}};
    indexed.pixels.resize(size_t(1024) * 1024);
    for (uint32_t y = 0; y < 1024; ++y)
        for (uint32_t x = 0; x < 1024; ++x) {
            const uint8_t i = y % 4 != 0 && x % 2 != 0;
            indexed.pixels[size_t(y) * 1024 + x] = i;
            const Rgb c = indexed.palette[i];
            large.pixels.insert(large.pixels.end(), {c.r, c.g, c.b, 255});
        }
    const std::vector<uint8_t> exactPixels = indexed.pixels;
    pcx::extendRunsWithin(large, indexed, 0.1);
    EXPECT_TRUE(indexed.pixels == exactPixels) << "any run costs more than the budget of a picture without error";
}

TEST(Reduce, FewColoursGoToTheMeanOfTheirCluster)
{
    // Four pairs of near colours, unevenly used; four colours should land on the pair means.
    const std::vector<std::pair<Rgb, Rgb>> pairs = {{Rgb{10, 10, 10}, Rgb{14, 10, 10}},
                                                    {Rgb{200, 30, 30}, Rgb{200, 38, 30}},
                                                    {Rgb{30, 200, 30}, Rgb{30, 200, 34}},
                                                    {Rgb{90, 90, 250}, Rgb{94, 94, 250}}};
    pcx::Image img;
    img.width = 64;
    img.height = 32;
    img.indexed = false;
    for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x) {
            const auto& pr = pairs[(x / 16 + y / 8) % 4];
            const Rgb c = (x * 7 + y * 3) % 2 ? pr.first : pr.second;
            img.pixels.insert(img.pixels.end(), {c.r, c.g, c.b, 255});
        }
    auto expectNearPairMeans = [&](const pcx::Image& out, const char* what) {
        ASSERT_EQ(out.palette.size(), 4u) << what;
        size_t far = 0;
        for (uint32_t y = 0; y < img.height; ++y)
            for (uint32_t x = 0; x < img.width; ++x) {
                const Rgb c = img.at(x, y), q = out.at(x, y);
                far += std::abs(c.r - q.r) + std::abs(c.g - q.g) + std::abs(c.b - q.b) > 5;
            }
        EXPECT_EQ(far, 0u) << what;
    };
    expectNearPairMeans(reduced(img, 4), "reduced");

    // From a poor start (every pixel on one wrong colour), the refinement still finds them.
    pcx::Image poor;
    poor.width = img.width;
    poor.height = img.height;
    poor.palette = {Rgb{0, 0, 0}, Rgb{255, 255, 255}, Rgb{128, 128, 128}, Rgb{255, 0, 255}};
    poor.pixels.assign(size_t(img.width) * img.height, 0);
    for (size_t i = 0; i < poor.pixels.size(); i += 3)
        poor.pixels[i] = uint8_t(i % 4);
    pcx::refineFewColours(img, poor, 20);
    expectNearPairMeans(poor, "refined");
}

TEST(Reduce, EachRoundMapsEveryPixelToItsNearestColour)
{
    // Enough pixels for the nearest-colour table, colours everywhere, entries close together,
    // and two equal entries, whose lower index must win.
    pcx::Image img;
    img.width = 256;
    img.height = 160;
    img.indexed = false;
    uint32_t seed = 7;
    for (size_t i = 0; i < size_t(img.width) * img.height; ++i) {
        seed = seed * 1103515245u + 12345u;
        img.pixels.insert(img.pixels.end(), {uint8_t(seed >> 8), uint8_t(seed >> 16), uint8_t(seed >> 24), 255});
    }
    pcx::Image indexed;
    indexed.width = img.width;
    indexed.height = img.height;
    indexed.pixels.assign(size_t(img.width) * img.height, 0);
    for (int i = 0; i < 20; ++i)
        indexed.palette.push_back(Rgb{uint8_t(i * 13), uint8_t(200 - i * 7), uint8_t(i % 3 * 100 + i)});
    indexed.palette.push_back(Rgb{1, 1, 1});
    indexed.palette.push_back(Rgb{2, 1, 1});
    indexed.palette[17] = indexed.palette[4];
    // Colour (248, 250, 250) lies as near entry 2 as entry 9, and no colour of its 4x4x4 cube
    // lies nearer entry 2: the lower index still wins.
    indexed.palette[2] = Rgb{246, 250, 250};
    indexed.palette[9] = Rgb{250, 250, 250};
    for (size_t i = 0; i < img.pixels.size(); i += 4 * 61)
        std::copy_n(std::array<uint8_t, 3>{248, 250, 250}.begin(), 3, img.pixels.begin() + i);
    const std::vector<Rgb> before = indexed.palette;
    pcx::refineFewColours(img, indexed, 1);
    size_t wrong = 0;
    for (size_t i = 0; i < indexed.pixels.size(); ++i) {
        const Rgb c{img.pixels[4 * i], img.pixels[4 * i + 1], img.pixels[4 * i + 2]};
        size_t nearest = 0;
        int best = INT32_MAX;
        for (size_t k = 0; k < before.size(); ++k) {
            const int d = (c.r - before[k].r) * (c.r - before[k].r) + (c.g - before[k].g) * (c.g - before[k].g) +
                          (c.b - before[k].b) * (c.b - before[k].b);
            if (d < best) {
                best = d;
                nearest = k;
            }
        }
        wrong += indexed.pixels[i] != nearest;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(Reduce, FewColoursKeepRowEndsThatEveryReaderReadsAlike)
{
    // 23 pixels a row leave seven in the last byte of a 1-bit plane (see planarRowEndsAgree).
    const pcx::Image photo = loadTestFile("sdl_sample.pcx");
    ASSERT_EQ(photo.width % 8, 7u);
    const pcx::Image out = reduced(photo, 4);
    EXPECT_TRUE(pcx::planarRowEndsAgree(out));
    EXPECT_NE(pcx::chooseSmallest(out, true).layout, pcx::Layout::Byte);
    // With 16 colours, settling 7 of every 23 pixels would cost far more than the 5% allowed:
    // the picture keeps its pixels and goes to the 8-bit layout.
    EXPECT_FALSE(pcx::planarRowEndsAgree(reduced(photo, 16)));
}

TEST(Reduce, FailuresSayWhyInTheirOwnWords)
{
    // The converter prints these after the input's name, and the program shows them as the
    // reason a file failed: they stay word for word.
    const std::vector<std::pair<pcx::ReduceError, std::string>> texts = {
        {pcx::ReduceError::BadColourCount, "the colour count must be 2 to 256"},
        {pcx::ReduceError::NoPixels, "the image has no pixels"},
        {pcx::ReduceError::QuantiserUnavailable, "cannot start the colour quantiser"},
        {pcx::ReduceError::QuantiserRefused, "the colour quantiser cannot take this image"},
        {pcx::ReduceError::QuantisationFailed, "colour quantisation failed"},
        {pcx::ReduceError::RemapFailed, "colour remapping failed"},
        {pcx::ReduceError::OutOfMemory, "not enough memory"},
    };
    for (const auto& [code, text] : texts)
        EXPECT_EQ(pcx::errorText(code), text);

    const pcx::Image photo = loadTestFile("netpbm_24bit.pcx");
    pcx::Image out = photo;
    for (int colors : {1, 257}) {
        pcx::ReduceOptions o;
        o.colors = colors;
        EXPECT_EQ(pcx::reduce(photo, o, out), pcx::ReduceError::BadColourCount) << colors;
        EXPECT_TRUE(out.pixels.empty() && out.palette.empty()) << colors;
    }
    EXPECT_EQ(pcx::reduce(pcx::Image{}, pcx::ReduceOptions{}, out), pcx::ReduceError::NoPixels);
}
