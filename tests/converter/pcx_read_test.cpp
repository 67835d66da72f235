// SPDX-License-Identifier: GPL-3.0-or-later
#include "pcx.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace testutil;
using pcx::Error;
using pcx::Rgb;

namespace {

Rgb rgb(int r, int g, int b) { return Rgb{uint8_t(r), uint8_t(g), uint8_t(b)}; }

pcx::Image decodeBytes(const std::vector<uint8_t>& b, Error expect = Error::None)
{
    pcx::Image img;
    EXPECT_EQ(pcx::decodeMemory(b.data(), b.size(), img), expect) << pcx::errorText(expect);
    return img;
}

std::vector<uint8_t> row(std::initializer_list<int> v)
{
    return std::vector<uint8_t>(v.begin(), v.end());
}

// A 4x4 8-bit picture with its palette.
Crafted fourByFour()
{
    Crafted c;
    c.xmax = 3;
    c.ymax = 3;
    c.bytesPerLine = 4;
    c.lines.assign(4, row({1, 2, 3, 4}));
    c.trailingPalette.assign(256, Rgb{9, 9, 9});
    return c;
}

// Compares with netpbm's reader when it is installed.
void expectSameAsPcxtoppm(const std::filesystem::path& file, const pcx::Image& ours, int tolerance = 0)
{
    if (!haveProgram("pcxtoppm"))
        return;
    Rgb8 ref;
    ASSERT_TRUE(readPpmFrom("pcxtoppm " + shellQuote(file.string()), ref)) << file;
    const Rgb8 got = toRgb(ours);
    ASSERT_EQ(got.width, ref.width) << file;
    ASSERT_EQ(got.height, ref.height) << file;
    size_t differing = 0;
    for (size_t i = 0; i < got.rgb.size(); ++i)
        if (std::abs(int(got.rgb[i]) - int(ref.rgb[i])) > tolerance)
            ++differing;
    EXPECT_EQ(differing, 0u) << file;
}

}  // namespace

TEST(PcxRead, EveryTestFileDecodesLikeNetpbm)
{
    if (!haveProgram("pcxtoppm"))
        GTEST_SKIP() << "pcxtoppm is not installed";
    for (const auto& f : testFiles()) {
        pcx::Image img;
        ASSERT_EQ(pcx::decodeFile(f.string(), img), Error::None) << f;
        // pcxtoppm scales 32-bit files by alpha/256, so an opaque 255 reads as 254; ImageMagick
        // and GraphicsMagick keep the stored values, as we do.
        const auto h = readFile(f);
        const bool withAlpha = h[3] == 8 && h[65] == 4;
        expectSameAsPcxtoppm(f, img, withAlpha ? 1 : 0);
    }
}

TEST(PcxRead, CraftedLayoutsDecodeToTheirPixels)
{
    TempDir dir;
    const Rgb red{255, 0, 0}, green{0, 255, 0}, blue{0, 0, 255}, grey{128, 128, 128};

    // 2 bits x 1 plane, width 5 with padding bits, a non-zero window origin and an odd line.
    Crafted two;
    two.bits = 2;
    two.xmin = 10;
    two.ymin = 7;
    two.xmax = 14;
    two.ymax = 8;
    two.bytesPerLine = 3;
    two.headerPalette = {red, green, blue, grey};
    two.lines = {row({0b00011011, 0b11000000, 0xFF}), row({0b11100100, 0b01111111, 0})};
    {
        const auto bytes = two.bytes();
        const pcx::Image img = decodeBytes(bytes);
        ASSERT_EQ(img.width, 5u);
        ASSERT_EQ(img.height, 2u);
        EXPECT_EQ(img.at(0, 0), red);
        EXPECT_EQ(img.at(1, 0), green);
        EXPECT_EQ(img.at(2, 0), blue);
        EXPECT_EQ(img.at(3, 0), grey);
        EXPECT_EQ(img.at(4, 0), grey);
        EXPECT_EQ(img.at(0, 1), grey);
        EXPECT_EQ(img.at(4, 1), green);
        writeFile(dir / "two.pcx", bytes);
        expectSameAsPcxtoppm(dir / "two.pcx", img);
    }

    // 4 bits x 1 plane.
    Crafted four;
    four.bits = 4;
    four.xmax = 2;
    four.bytesPerLine = 2;
    four.headerPalette.assign(16, grey);
    four.headerPalette[1] = red;
    four.headerPalette[15] = blue;
    four.lines = {row({0x1F, 0x00})};
    {
        const pcx::Image img = decodeBytes(four.bytes());
        EXPECT_EQ(img.at(0, 0), red);
        EXPECT_EQ(img.at(1, 0), blue);
        EXPECT_EQ(img.at(2, 0), grey);
    }

    // 1 bit x 3 planes: bit p of the index comes from plane p.
    Crafted three;
    three.bits = 1;
    three.planes = 3;
    three.xmax = 8;  // nine pixels: two bytes per plane
    three.bytesPerLine = 2;
    three.headerPalette = {Rgb{}, red, green, Rgb{1, 2, 3}, blue, Rgb{}, Rgb{}, grey};
    three.lines = {row({0x80, 0x80, 0xC0, 0x80, 0x20, 0x80})};
    {
        const auto bytes = three.bytes();
        const pcx::Image img = decodeBytes(bytes);
        EXPECT_EQ(img.at(0, 0), rgb(1, 2, 3));  // planes 0 and 1 set
        EXPECT_EQ(img.at(1, 0), green);
        EXPECT_EQ(img.at(2, 0), blue);
        EXPECT_EQ(img.at(3, 0), Rgb{});
        EXPECT_EQ(img.at(8, 0), grey);
        writeFile(dir / "three.pcx", bytes);
        expectSameAsPcxtoppm(dir / "three.pcx", img);
    }

    // One bit in one plane: the header palette, or black and white when it is all zero.
    Crafted mono;
    mono.bits = 1;
    mono.xmax = 3;
    mono.bytesPerLine = 2;
    mono.headerPalette = {red, blue};
    mono.lines = {row({0xA0, 0x00})};
    {
        const pcx::Image img = decodeBytes(mono.bytes());
        EXPECT_EQ(img.at(0, 0), blue);
        EXPECT_EQ(img.at(1, 0), red);
        mono.headerPalette.clear();
        const auto bytes = mono.bytes();
        const pcx::Image bw = decodeBytes(bytes);
        EXPECT_EQ(bw.at(0, 0), rgb(255, 255, 255));
        EXPECT_EQ(bw.at(1, 0), Rgb{});
        writeFile(dir / "mono.pcx", bytes);
        expectSameAsPcxtoppm(dir / "mono.pcx", bw);
    }

    // 8 bits with and without the trailing palette, in every version, both encodings; the
    // uncompressed file keeps bytes of 192 and more as plain values.
    for (uint8_t version : {0, 1, 2, 3, 4, 5}) {
        for (uint8_t encoding : {0, 1}) {
            Crafted eight;
            eight.version = version;
            eight.encoding = encoding;
            eight.xmax = 2;
            eight.ymax = 1;
            eight.bytesPerLine = 3;
            eight.lines = {row({0, 200, 255}), row({7, 7, 193})};
            const pcx::Image grey8 = decodeBytes(eight.bytes());
            EXPECT_EQ(grey8.at(1, 0), rgb(200, 200, 200));
            EXPECT_EQ(grey8.at(2, 1), rgb(193, 193, 193));
            eight.trailingPalette.assign(256, Rgb{});
            eight.trailingPalette[200] = red;
            eight.trailingPalette[193] = blue;
            const pcx::Image pal = decodeBytes(eight.bytes());
            EXPECT_EQ(pal.at(1, 0), red);
            EXPECT_EQ(pal.at(2, 1), blue);
        }
    }

    // 24 and 32 bits: planes R, G, B (and alpha, ignored) in turn, odd padding per plane.
    Crafted direct;
    direct.planes = 4;
    direct.xmax = 1;
    direct.bytesPerLine = 3;
    direct.lines = {row({10, 11, 99, 20, 21, 99, 30, 31, 99, 0, 128, 99})};
    {
        const pcx::Image img = decodeBytes(direct.bytes());
        EXPECT_FALSE(img.indexed);
        EXPECT_EQ(img.at(0, 0), rgb(10, 20, 30));
        EXPECT_EQ(img.at(1, 0), rgb(11, 21, 31));
    }
}

TEST(PcxRead, RunCarriesOverIntoTheNextScanLine)
{
    Crafted c;
    c.xmax = 3;
    c.ymax = 1;
    c.bytesPerLine = 4;
    c.trailingPalette.assign(256, Rgb{});
    for (int i = 0; i < 256; ++i)
        c.trailingPalette[i] = Rgb{uint8_t(i), 0, 0};
    auto bytes = header(c);
    // Six pixels of 5 across the line end, then 9 and 200 (escaped).
    bytes.insert(bytes.end(), {0xC6, 5, 9, 0xC1, 200});
    bytes.push_back(12);
    for (const Rgb& p : c.trailingPalette)
        bytes.insert(bytes.end(), {p.r, p.g, p.b});
    const pcx::Image img = decodeBytes(bytes);
    EXPECT_EQ(img.pixels, (std::vector<uint8_t>{5, 5, 5, 5, 5, 5, 9, 200}));
}

TEST(PcxRead, BadInputGivesItsOwnError)
{
    const Crafted good = fourByFour();
    const auto ok = good.bytes();
    decodeBytes(ok);

    auto with = [&](auto change) {
        Crafted c = good;
        change(c);
        return c.bytes();
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Error expect;
    };
    std::vector<Case> cases = {
        {"empty", {}, Error::NotPcx},
        {"garbage", std::vector<uint8_t>(300, 'x'), Error::NotPcx},
        {"header cut short", std::vector<uint8_t>(ok.begin(), ok.begin() + 60), Error::Truncated},
        {"version 6", with([](Crafted& c) { c.version = 6; }), Error::BadVersion},
        {"encoding 2", with([](Crafted& c) { c.encoding = 2; }), Error::BadEncoding},
        {"3 bits", with([](Crafted& c) { c.bits = 3; }), Error::Unsupported},
        {"8 bits x 2 planes", with([](Crafted& c) { c.planes = 2; }), Error::Unsupported},
        {"4 bits x 2 planes", with([](Crafted& c) { c.bits = 4; c.planes = 2; }), Error::Unsupported},
        {"no planes", with([](Crafted& c) { c.planes = 0; }), Error::Unsupported},
        {"inverted width", with([](Crafted& c) { c.xmin = 5; c.xmax = 4; }), Error::BadDimensions},
        {"inverted height", with([](Crafted& c) { c.ymin = 9; c.ymax = 0; }), Error::BadDimensions},
        {"bytes per line too small", with([](Crafted& c) { c.bytesPerLine = 3; }), Error::BytesPerLineTooSmall},
        {"bytes per line zero", with([](Crafted& c) { c.bytesPerLine = 0; }), Error::BytesPerLineTooSmall},
        {"decompression bomb", with([](Crafted& c) { c.xmax = c.ymax = 15999; c.bytesPerLine = 16000; }),
         Error::LargerThanFile},
        {"uncompressed data missing", with([](Crafted& c) { c.encoding = 0; c.ymax = 300; }), Error::LargerThanFile},
    };
    // Pixel data that stops two lines early (and no palette).
    {
        Crafted c = good;
        c.trailingPalette.clear();
        c.ymax = 5;
        cases.push_back({"data cut short", c.bytes(), Error::Truncated});
    }
    // A count byte as the very last byte.
    {
        Crafted c = good;
        c.trailingPalette.clear();
        auto b = c.bytes();
        b.resize(b.size() - 1);
        b.push_back(0xC2);
        cases.push_back({"run without its value", b, Error::Truncated});
    }
    // The palette marker followed by only part of the palette.
    {
        auto b = ok;
        b.resize(b.size() - 400);
        cases.push_back({"palette cut short", b, Error::PaletteTruncated});
    }
    for (const Case& c : cases) {
        pcx::Image img;
        img.width = 77;
        EXPECT_EQ(pcx::decodeMemory(c.bytes.data(), c.bytes.size(), img), c.expect) << c.what;
        EXPECT_TRUE(img.pixels.empty() && img.width == 0) << c.what << ": nothing half-decoded escapes";
        EXPECT_STRNE(pcx::errorText(c.expect), pcx::errorText(Error::None));
    }

    pcx::Limits small;
    small.maxPixels = 15;
    pcx::Image img;
    EXPECT_EQ(pcx::decodeMemory(ok.data(), ok.size(), img, small), Error::TooLarge);
    EXPECT_EQ(pcx::decodeFile("/nonexistent/file.pcx", img), Error::CannotOpen);
    EXPECT_EQ(pcx::decodeFile("/", img), Error::NotRegularFile);
}

TEST(PcxRead, AStreamIsReadNoFurtherThanItsPictureCanNeed)
{
    const Crafted good = fourByFour();
    const auto ok = good.bytes();
    // Each pixel byte coded alone, the palette and 4096 bytes of padding: 5,025 bytes at most.
    auto padded = ok, beyond = ok;
    padded.resize(128 + 2 * 16 + 769 + 4096, 0);
    beyond.resize(padded.size() + 1, 0);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Error expect;
    };
    const std::vector<Case> cases = {
        {"a file", ok, Error::None},
        {"padded as far as it may be", padded, Error::None},
        {"one byte more", beyond, Error::LongerThanPicture},
        {"header cut short", std::vector<uint8_t>(ok.begin(), ok.begin() + 60), Error::Truncated},
        {"not PCX", std::vector<uint8_t>(300, 'x'), Error::NotPcx},
        {"empty", {}, Error::NotPcx},
    };
    for (const Case& c : cases) {
        // The whole stream waits in the pipe, which holds far more than these.
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], c.bytes.data(), c.bytes.size()), ssize_t(c.bytes.size())) << c.what;
        close(fds[1]);
        std::vector<uint8_t> read;
        EXPECT_EQ(pcx::readStream(fds[0], read), c.expect) << c.what;
        close(fds[0]);
        if (c.expect == Error::None) {
            EXPECT_TRUE(read == c.bytes) << c.what;
        }
    }
    // Limits apply before the pixel data is read.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], ok.data(), ok.size()), ssize_t(ok.size()));
    close(fds[1]);
    pcx::Limits small;
    small.maxPixels = 15;
    std::vector<uint8_t> read;
    EXPECT_EQ(pcx::readStream(fds[0], read, small), Error::TooLarge);
    close(fds[0]);
}
