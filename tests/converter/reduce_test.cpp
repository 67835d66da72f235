// SPDX-License-Identifier: GPL-3.0-or-later
#include "bands.h"
#include "layout_choice.h"
#include "nearest.h"
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
    // The palette the converter gives this photo at 16 colours: a change to how its colours are
    // gathered shows here before it shows in anyone's files.
    uint32_t hash = 2166136261u;
    for (const Rgb& c : reduced(photo, 16).palette)
        for (const uint8_t v : {c.r, c.g, c.b})
            hash = (hash ^ v) * 16777619u;
    EXPECT_EQ(hash, 2475208617u);
    // And of a palette picture, whose colours are counted by index: four entries to a colour cube,
    // unevenly used.
    pcx::Image ramp;
    ramp.width = 96;
    ramp.height = 64;
    for (int i = 0; i < 256; ++i)
        ramp.palette.push_back(Rgb{uint8_t(i), uint8_t(i / 2), uint8_t(255 - i)});
    for (uint32_t y = 0; y < ramp.height; ++y)
        for (uint32_t x = 0; x < ramp.width; ++x)
            ramp.pixels.push_back(uint8_t((x * x + 3 * y) % 256));
    hash = 2166136261u;
    for (const Rgb& c : reduced(ramp, 16).palette)
        for (const uint8_t v : {c.r, c.g, c.b})
            hash = (hash ^ v) * 16777619u;
    EXPECT_EQ(hash, 129557423u);
    // Floors well below what libimagequant reaches, to catch a broken remap, not to grade it.
    auto expectClose = [](const pcx::Image& in, int n, double floor) {
        const pcx::Image out = reduced(in, n);
        EXPECT_LE(out.palette.size(), size_t(n));
        std::vector<bool> used(out.palette.size());
        for (uint8_t p : out.pixels) {
            ASSERT_LT(p, out.palette.size());
            used[p] = true;
        }
        EXPECT_EQ(std::count(used.begin(), used.end(), false), 0) << "unused palette entries at " << n;
        EXPECT_GT(psnr(in, out), floor) << n << " colours, " << in.width << " pixels wide";
    };
    for (const auto& [n, floor] : std::vector<std::pair<int, double>>{{256, 38}, {16, 28}, {4, 22}, {2, 18}})
        expectClose(photo, n, floor);
    // Longer runs take every pixel from an entry of this small picture of 501 colours at 256.
    expectClose(loadTestFile("sdl_sample.pcx"), 256, 38);
    // A megapixel picture (the photo tiled, beside a white band) takes another way to its palette.
    pcx::Image large;
    large.width = large.height = 1024;
    large.indexed = false;
    for (uint32_t y = 0; y < large.height; ++y)
        for (uint32_t x = 0; x < large.width; ++x) {
            const Rgb c = x < 100 ? Rgb{255, 255, 255} : photo.at(x % photo.width, y % photo.height);
            large.pixels.insert(large.pixels.end(), {c.r, c.g, c.b, 255});
        }
    expectClose(large, 256, 38);
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

    // The same through the reduction, which checks the whole picture against the error it
    // measured while moving the colours: red pixels between black ones stay red.
    for (uint32_t y = 0; y < 1024; ++y)
        for (uint32_t x = 0; x < 1024; ++x) {
            uint8_t* p = large.pixels.data() + 4 * (size_t(y) * 1024 + x);
            p[0] = y % 4 != 0 && x % 2 != 0 ? 100 : 0;
            p[1] = p[0] ? uint8_t((x + y) % 64) : 0;
        }
    const pcx::Image out = reduced(large, 32);
    size_t lost = 0;
    for (uint32_t y = 0; y < 1024; y += 3)
        for (uint32_t x = 1; x < 1024; x += 2)
            lost += y % 4 != 0 && out.at(x, y).r < 50;
    EXPECT_EQ(lost, 0u);
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
}

TEST(Reduce, EveryPixelGoesToItsNearestColour)
{
    // Enough pixels for the nearest-colour table, colours everywhere, black and white, and every
    // colour around (130, 130, 130).
    pcx::Image img;
    img.width = 256;
    img.height = 160;
    img.indexed = false;
    img.pixels = {0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 255};
    for (int r = 124; r < 136; ++r)
        for (int g = 124; g < 136; ++g)
            for (int b = 124; b < 136; ++b)
                img.pixels.insert(img.pixels.end(), {uint8_t(r), uint8_t(g), uint8_t(b), 255});
    uint32_t seed = 7;
    while (img.pixels.size() < size_t(img.width) * img.height * 4) {
        seed = seed * 1103515245u + 12345u;
        img.pixels.insert(img.pixels.end(), {uint8_t(seed >> 8), uint8_t(seed >> 16), uint8_t(seed >> 24), 255});
    }
    // Colour (248, 250, 250) lies as near (246, 250, 250) as (250, 250, 250), and no colour of its
    // 4x4x4 cube lies nearer the first: when that has the lower index, it still wins.
    for (size_t i = 0; i < img.pixels.size(); i += 4 * 61)
        std::copy_n(std::array<uint8_t, 3>{248, 250, 250}.begin(), 3, img.pixels.begin() + i);

    // The same colours as a palette picture, whose colours are looked up once each.
    pcx::Image palettePicture;
    palettePicture.width = img.width;
    palettePicture.height = img.height;
    for (size_t i = 0; i < 256; ++i)
        palettePicture.palette.push_back(Rgb{img.pixels[4 * i], img.pixels[4 * i + 1], img.pixels[4 * i + 2]});
    for (size_t i = 0; i < size_t(img.width) * img.height; ++i)
        palettePicture.pixels.push_back(uint8_t(i * 7 % 256));

    auto expectNearest = [&](const std::vector<Rgb>& palette, const char* what) {
        // The entry a search of every entry finds, the lowest index winning a tie, with its
        // distance and the least distance of every other entry.
        auto search = [&](Rgb c, int& best, int& second) {
            size_t nearest = 0;
            best = second = INT32_MAX;
            for (size_t k = 0; k < palette.size(); ++k) {
                const int d = (c.r - palette[k].r) * (c.r - palette[k].r) + (c.g - palette[k].g) * (c.g - palette[k].g) +
                              (c.b - palette[k].b) * (c.b - palette[k].b);
                if (d < best) {
                    second = best;
                    best = d;
                    nearest = k;
                } else if (d < second) {
                    second = d;
                }
            }
            return nearest;
        };
        pcx::EntryRows rows(palette.size());
        rows.set(palette);
        for (const pcx::Image* picture : {&img, &palettePicture}) {
            pcx::Image indexed;
            indexed.width = img.width;
            indexed.height = img.height;
            indexed.palette = palette;
            pcx::mapToNearest(*picture, indexed);
            ASSERT_EQ(indexed.pixels.size(), size_t(img.width) * img.height) << what;
            size_t wrong = 0, wrongTwo = 0;
            for (size_t i = 0; i < indexed.pixels.size(); ++i) {
                const Rgb c = picture->at(uint32_t(i % img.width), uint32_t(i / img.width));
                int best, second, foundSecond;
                size_t owner = 0;
                const size_t nearest = search(c, best, second);
                wrong += indexed.pixels[i] != nearest;
                wrongTwo += rows.nearestTwo(c, owner, foundSecond) != best || owner != nearest || foundSecond != second;
            }
            EXPECT_EQ(wrong, 0u) << what << (picture == &img ? "" : ", palette picture");
            EXPECT_EQ(wrongTwo, 0u) << what << ": the two nearest";
        }
    };

    // A few entries, some close together, two of them equal (the lower index wins).
    std::vector<Rgb> few;
    for (int i = 0; i < 20; ++i)
        few.push_back(Rgb{uint8_t(i * 13), uint8_t(200 - i * 7), uint8_t(i % 3 * 100 + i)});
    few.push_back(Rgb{1, 1, 1});
    few.push_back(Rgb{2, 1, 1});
    few[17] = few[4];
    few[2] = Rgb{246, 250, 250};
    few[9] = Rgb{250, 250, 250};
    expectNearest(few, "22 entries");
    expectNearest({few[4], few[17], few[2]}, "three entries, two alike");
    expectNearest({Rgb{9, 200, 31}}, "one entry");

    // More than 64 entries, 64 of them two apart around (130, 130, 130): there a cube of colours
    // has more candidates than its list holds.
    std::vector<Rgb> many;
    for (int i = 0; i < 150; ++i) {
        seed = seed * 1103515245u + 12345u;
        many.push_back(Rgb{uint8_t((seed >> 8) % 200), uint8_t((seed >> 16) % 200), uint8_t((seed >> 24) % 200)});
    }
    many[40] = Rgb{246, 250, 250};
    for (int r = 127; r < 135; r += 2)
        for (int g = 127; g < 135; g += 2)
            for (int b = 127; b < 135; b += 2)
                many.push_back(Rgb{uint8_t(r), uint8_t(g), uint8_t(b)});
    many.push_back(Rgb{250, 250, 250});
    expectNearest(many, "215 entries");
}

TEST(Reduce, FewColoursKeepRowEndsThatEveryReaderReadsAlike)
{
    // 23 pixels a row leave seven in the last byte of a 1-bit plane (see planarRowEndsAgree).
    const pcx::Image photo = loadTestFile("sdl_sample.pcx");
    ASSERT_EQ(photo.width % 8, 7u);
    const pcx::Image out = reduced(photo, 4);
    EXPECT_TRUE(pcx::planarRowEndsAgree(out));
    EXPECT_NE(pcx::chooseSmallest(pcx::Image(out), true).layout, pcx::Layout::Byte);
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

// Converters run side by side are each given a share of the cores through OMP_NUM_THREADS; their
// own row bands must keep to it, or they crowd each other out.
TEST(Bands, KeepToTheCoresTheProgramAllows)
{
    EXPECT_EQ(pcx::coresAllowed("1", 8), 1u);
    EXPECT_EQ(pcx::coresAllowed("3", 8), 3u);
    EXPECT_EQ(pcx::coresAllowed(nullptr, 8), 8u);
    EXPECT_EQ(pcx::coresAllowed("", 8), 8u);
    EXPECT_EQ(pcx::coresAllowed("0", 8), 8u);
    EXPECT_EQ(pcx::coresAllowed("many", 8), 8u);
}
