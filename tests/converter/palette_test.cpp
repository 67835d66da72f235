// SPDX-License-Identifier: GPL-3.0-or-later
// Palette files, the mapping to a given or shared palette, and the pooled colours.
#include "cli.h"
#include "oklab.h"
#include "palette_file.h"
#include "palette_map.h"
#include "pixels.h"
#include "pooled.h"
#include "protect.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <climits>
#include <numeric>
#include <set>
#include <tuple>

using namespace testutil;
using pcx::Rgb;

namespace {

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string readBytes(const std::vector<uint8_t>& b, const std::string& name, pcx::PaletteFile& out)
{
    pcx::MemorySource src(b.data(), b.size());
    return pcx::readPalette(src, name, out);
}

std::vector<uint8_t> raw768(uint8_t first, uint8_t rest)
{
    std::vector<uint8_t> b(768, rest);
    b[0] = first;
    return b;
}

// An R, G, B, A picture of one row.
pcx::Image rgbaRow(const std::vector<std::array<uint8_t, 4>>& pixels)
{
    pcx::Image img;
    img.width = uint32_t(pixels.size());
    img.height = 1;
    img.indexed = false;
    for (const auto& p : pixels)
        img.pixels.insert(img.pixels.end(), p.begin(), p.end());
    return img;
}

pcx::TargetPalette given(const std::vector<Rgb>& entries, int key = -1, Rgb keyColour = {}, int a = -1, int b = -1,
                         size_t count = 0)
{
    pcx::TargetPalette t;
    EXPECT_EQ(pcx::givenTarget(entries, key, keyColour, a, b, count, t), "");
    return t;
}

const Rgb magenta{255, 0, 255};

}  // namespace

TEST(PaletteFile, ReadsEveryFormatByItsContent)
{
    pcx::Image allegro;
    ASSERT_EQ(pcx::decodeFile(std::string(PCX_TEST_DATA) + "/allegro_allegro.pcx", allegro), pcx::Error::None);
    pcx::Image planes;
    ASSERT_EQ(pcx::decodeFile(std::string(PCX_TEST_DATA) + "/netpbm_4planes.pcx", planes), pcx::Error::None);
    std::vector<uint8_t> act = raw768(10, 20);
    act.insert(act.end(), {0, 16, 0, 5});
    std::vector<Rgb> act16(16, Rgb{20, 20, 20});
    // .act files whose first colours spell a text palette's first line.
    std::vector<uint8_t> gimpAct = bytesOf("GIMP Palette\n"), jascAct = bytesOf("JASC-PAL\n0100\n1\n1 2 3\n");
    gimpAct.resize(768);
    jascAct.resize(772);
    jascAct[769] = 1;
    jascAct[770] = jascAct[771] = 0xFF;
    act16[0].r = 10;
    struct Case {
        std::string what, name;
        std::vector<uint8_t> bytes;
        std::vector<Rgb> entries;  // empty: those of the picture
        std::string format;
        int transparent = -1;
    };
    const std::vector<Case> cases = {
        {"8-bit PCX", "g.pcx", readFile(std::string(PCX_TEST_DATA) + "/allegro_allegro.pcx"), allegro.palette, "8-bit PCX"},
        {"header palette", "g.pcx", readFile(std::string(PCX_TEST_DATA) + "/netpbm_4planes.pcx"), planes.palette, "16-colour PCX"},
        {"JASC, CR LF, a duplicate kept", "g.pal", bytesOf("JASC-PAL\r\n0100\r\n3\r\n1 2 3\r\n255 0 255\r\n1 2 3\r\n"),
         {Rgb{1, 2, 3}, magenta, Rgb{1, 2, 3}}, "JASC-PAL"},
        {"GIMP with a name and comments", "g.gpl",
         bytesOf("GIMP Palette\nName: Game\nColumns: 4\n# the sky\n  0  10 200\tSky\n#\n\n255 255 255 White\n"),
         {Rgb{0, 10, 200}, Rgb{255, 255, 255}}, "GIMP palette"},
        {".act with count and transparent index", "x.bin", act, act16, "Photoshop ACT", 5},
        {"6-bit VGA values scaled", "g.pal", raw768(63, 32), {}, "raw 6-bit VGA palette"},
        {"one value over 63: 8-bit", "g.pal", raw768(64, 32), {}, "raw 8-bit palette"},
        {"an .act is always 8-bit", "G.ACT", raw768(63, 32), {}, "Photoshop ACT"},
        {"an .act that reads like GIMP text", "g.act", gimpAct, {}, "Photoshop ACT"},
        {"an .act that reads like JASC text", "g.act", jascAct, {Rgb{'J', 'A', 'S'}}, "Photoshop ACT"},
    };
    for (const auto& c : cases) {
        pcx::PaletteFile p;
        ASSERT_EQ(readBytes(c.bytes, c.name, p), "") << c.what;
        EXPECT_EQ(p.format, c.format) << c.what;
        EXPECT_EQ(p.transparent, c.transparent) << c.what;
        if (!c.entries.empty()) {
            EXPECT_EQ(p.entries, c.entries) << c.what;
        }
    }
    pcx::PaletteFile vga, eight, act8;
    readBytes(raw768(63, 32), "g.pal", vga);
    readBytes(raw768(64, 32), "g.pal", eight);
    readBytes(raw768(63, 32), "g.act", act8);
    ASSERT_EQ(vga.entries.size(), 256u);
    EXPECT_EQ(vga.entries[0], (Rgb{255, 130, 130}));
    EXPECT_EQ(eight.entries[0], (Rgb{64, 32, 32}));
    EXPECT_EQ(act8.entries[0], (Rgb{63, 32, 32}));
}

TEST(PaletteFile, RefusesMalformedFilesNamingTheFileAndLine)
{
    std::string jasc300 = "JASC-PAL\n0100\n300\n";
    for (int i = 0; i < 300; ++i)
        jasc300 += "1 2 3\n";
    std::string gimp257 = "GIMP Palette\n";
    for (int i = 0; i < 257; ++i)
        gimp257 += "1 2 3\n";
    std::vector<uint8_t> count0 = raw768(1, 1), beyond = raw768(1, 1);
    count0.insert(count0.end(), {0, 0, 0xFF, 0xFF});
    beyond.insert(beyond.end(), {0, 16, 0, 16});
    pcx::Image rgb;
    Crafted eightNoPalette;
    eightNoPalette.xmax = eightNoPalette.ymax = 1;
    eightNoPalette.bytesPerLine = 2;
    eightNoPalette.lines = {{1, 2}, {3, 4}};
    Crafted truecolour = eightNoPalette;
    truecolour.planes = 3;
    truecolour.lines = {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}};
    const std::vector<std::tuple<std::string, std::vector<uint8_t>, std::string>> cases = {
        {"p.pal", bytesOf(jasc300), "p.pal: line 3: 300 entries; a palette holds 1 to 256"},
        {"p.pal", bytesOf("JASC-PAL\n0100\n3\n1 2 3\n4 5 6\n"), "p.pal: line 5: the file ends after 2 of 3 entries"},
        {"p.pal", bytesOf("JASC-PAL\n0100\n1\n1 2 3\n4 5 6\n"), "p.pal: line 5: more entries than the 1 on line 3"},
        {"p.pal", bytesOf("JASC-PAL\n0100\n2\n1 2 3\n4 256 6\n"), "p.pal: line 5: 256 is over 255"},
        {"p.gpl", bytesOf("GIMP Palette\nName: x\n1 2 3\n12 34\n"), "p.gpl: line 4: not three numbers 0 to 255"},
        {"p.gpl", bytesOf("GIMP Palette\n1 -2 3\n"), "p.gpl: line 2: not three numbers 0 to 255"},
        {"p.gpl", bytesOf(gimp257), "p.gpl: line 258: a 257th entry; a palette holds at most 256"},
        {"p.gpl", bytesOf("GIMP Palette\n# nothing\n"), "p.gpl: a GIMP palette without entries"},
        {"p.act", std::vector<uint8_t>(700, 1), "p.act: not a palette file; palettes are read from an 8-bit PCX or one of "
                                               "16 colours or fewer, JASC-PAL, GIMP .gpl, Photoshop .act (768 or 772 bytes) "
                                               "and raw 768-byte VGA .pal files"},
        {"p.act", count0, "p.act: an .act entry count of 0 (at byte 768); a palette holds 1 to 256"},
        {"p.act", beyond, "p.act: an .act transparent index of 16 beyond its 16 entries"},
        {"p.pcx", eightNoPalette.bytes(), "p.pcx: an 8-bit PCX without its 256-colour palette"},
        {"p.pcx", truecolour.bytes(), "p.pcx: a 24-bit PCX has no palette"},
        {"p.pal", {}, "p.pal: not a palette file; palettes are read from an 8-bit PCX or one of 16 colours or fewer, "
                      "JASC-PAL, GIMP .gpl, Photoshop .act (768 or 772 bytes) and raw 768-byte VGA .pal files"},
    };
    for (const auto& [name, bytes, message] : cases) {
        pcx::PaletteFile p;
        EXPECT_EQ(readBytes(bytes, name, p), message);
        EXPECT_TRUE(p.entries.empty()) << message;
    }
}

TEST(PaletteFile, EveryPaletteWrittenReadsBackToTheSameEntriesAndIndex)
{
    // As -palette-out writes a file and -palette reads it: each format, count and transparent
    // index a palette may carry.
    const std::vector<std::tuple<std::string, pcx::PaletteFormat, bool>> formats = {
        {"p.pal", pcx::PaletteFormat::Jasc, true}, {"p.gpl", pcx::PaletteFormat::Gimp, true},
        {"p.act", pcx::PaletteFormat::Act, true},  {"p.pcx", pcx::PaletteFormat::Pcx, true},
        {"p.pal", pcx::PaletteFormat::Raw, false}, {"p.pal", pcx::PaletteFormat::Vga, false}};
    TempDir dir;
    for (const auto& [name, format, byName] : formats) {
        if (byName) {
            pcx::PaletteFormat f;
            ASSERT_TRUE(pcx::paletteFormatFor(name, f));
            EXPECT_EQ(f, format);
        }
        const bool six = format == pcx::PaletteFormat::Vga;
        const bool counted = format != pcx::PaletteFormat::Pcx && format != pcx::PaletteFormat::Raw && !six;
        for (const size_t count : {1, 2, 16, 255, 256}) {
            // A duplicate among them, values over 63 (raw), on the 6-bit grid (VGA).
            std::vector<Rgb> entries;
            for (size_t i = 0; i < count; ++i) {
                const auto v = [&](size_t k) {
                    const unsigned x = unsigned((i * 37 + k * 101 + 200) % 256);
                    return uint8_t(six ? (x % 64 * 255 + 31) / 63 : x);
                };
                entries.push_back(i == 1 ? entries[0] : Rgb{v(0), v(1), v(2)});
            }
            std::vector<int> keys = {-1, 0, int(count) - 1};
            if (format == pcx::PaletteFormat::Act)
                for (int k = 1; k + 1 < int(count); ++k)
                    keys.push_back(k);
            for (const int key : keys) {
                // The files themselves for the ends, their bytes in memory for the indices between.
                pcx::PaletteFile back;
                if (key == -1 || key == 0 || key == int(count) - 1) {
                    const std::string path = (dir / name).string();
                    ASSERT_EQ(pcx::writePaletteFile(path, entries, key, byName ? nullptr : &format), "") << name;
                    ASSERT_EQ(pcx::readPaletteFile(path, back), "") << name;
                } else {
                    ASSERT_EQ(readBytes(pcx::paletteBytes(entries, format, key), name, back), "") << name;
                }
                std::vector<Rgb> expected = entries;
                if (!counted)
                    expected.resize(256);  // 768 bytes or an 8-bit PCX always hold 256, black after
                ASSERT_EQ(back.entries, expected) << name << " " << int(format) << ", " << count << " entries";
                ASSERT_EQ(back.transparent, format == pcx::PaletteFormat::Act ? key : -1) << name << " " << count;
            }
        }
    }
    pcx::PaletteFormat f;
    EXPECT_FALSE(pcx::paletteFormatFor("p.png", f));
    for (const char* named : {"jasc", "gimp", "act", "pcx", "raw", "vga"})
        EXPECT_TRUE(pcx::paletteFormatNamed(named, f)) << named;
    EXPECT_FALSE(pcx::paletteFormatNamed("JASC", f));
}

TEST(GivenPalette, EveryPixelTakesItsNearestEntryAndEveryEntryStays)
{
    // Entries 1 and 3 are one colour; no entry is black, so the padding's black is nearest to the
    // black pixel yet never taken.
    const std::vector<Rgb> pal = {Rgb{200, 0, 0}, Rgb{0, 200, 0}, Rgb{10, 10, 60}, Rgb{0, 200, 0}, Rgb{250, 250, 250}};
    const pcx::TargetPalette t = given(pal);
    const pcx::Image in = rgbaRow({{200, 0, 0, 255}, {0, 200, 0, 255}, {0, 0, 0, 255}, {240, 240, 240, 255},
                                   {10, 10, 60, 255}, {190, 10, 0, 255}, {250, 250, 250, 255}});
    for (const bool dither : {false, true}) {
        pcx::Image out;
        ASSERT_TRUE(pcx::mapToTarget(in, t, dither ? pcx::Dither::Diffuse : pcx::Dither::None, out));
        ASSERT_EQ(out.palette.size(), 256u);
        EXPECT_TRUE(std::equal(pal.begin(), pal.end(), out.palette.begin()));
        EXPECT_TRUE(std::all_of(out.palette.begin() + 5, out.palette.end(), [](Rgb c) { return c == Rgb{}; }));
        // Exact colours their entry (the first of the duplicates), the others the nearest; with
        // dithering, the pixels of palette colours stay as they are too.
        const std::vector<uint8_t> expected = {0, 1, 2, 4, 2, 0, 4};
        if (!dither) {
            EXPECT_EQ(out.pixels, expected);
        }
        for (size_t i : {0, 1, 4, 6})
            EXPECT_EQ(out.pixels[i], expected[i]) << "dither " << dither << " pixel " << i;
        EXPECT_TRUE(std::all_of(out.pixels.begin(), out.pixels.end(), [](uint8_t p) { return p < 5; }));
    }

    // An indexed picture already in the palette keeps every index, the later duplicate included.
    pcx::Image indexed;
    indexed.width = 6;
    indexed.height = 1;
    indexed.palette = pal;
    indexed.pixels = {3, 1, 0, 4, 2, 3};
    pcx::Image out;
    ASSERT_TRUE(pcx::mapToTarget(indexed, t, pcx::Dither::None, out));
    EXPECT_EQ(out.pixels, indexed.pixels);
}

TEST(GivenPalette, TheKeyColourAndOnlyItTakesTheTransparentIndex)
{
    // Entry 2 is the key index; its given colour (grey) stays but is only for key pixels.
    const std::vector<Rgb> pal = {Rgb{0, 0, 0}, Rgb{250, 0, 250}, Rgb{128, 128, 128}, Rgb{120, 120, 120}};
    const pcx::TargetPalette t = given(pal, 2, magenta);
    const pcx::Image in = rgbaRow({{255, 0, 255, 255},    // the key
                                   {254, 0, 255, 255},    // near it: the nearest other entry
                                   {128, 128, 128, 255},  // entry 2's own colour
                                   {10, 200, 30, 100},    // see-through: a key pixel too
                                   {0, 0, 0, 255}});
    for (const bool dither : {false, true}) {
        pcx::Image out;
        ASSERT_TRUE(pcx::mapToTarget(in, t, dither ? pcx::Dither::Diffuse : pcx::Dither::None, out));
        EXPECT_EQ(out.palette[2], (Rgb{128, 128, 128}));
        EXPECT_EQ(out.pixels, (std::vector<uint8_t>{2, 1, 3, 2, 0})) << "dither " << dither;
    }
    // An index of the -free range becomes the key colour itself; beyond the palette it is refused.
    EXPECT_EQ(given(pal, 5, magenta, 4, 7).entries[5], magenta);
    pcx::TargetPalette refused;
    EXPECT_EQ(pcx::givenTarget(pal, 9, magenta, -1, -1, 0, refused), "the transparent index 9 is beyond the palette's 4 entries");
    // Longer runs never take a key pixel away from its index, nor give it to another pixel.
    pcx::Image row = rgbaRow({{128, 128, 128, 255}, {255, 0, 255, 255}, {127, 127, 127, 255}, {255, 0, 255, 255},
                              {121, 121, 121, 255}});
    pcx::Image mapped;
    ASSERT_TRUE(pcx::mapToTarget(row, t, pcx::Dither::None, mapped));
    pcx::shortenRows(row, t, mapped, 1000.0);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(mapped.pixels[i] == 2, i == 1 || i == 3) << i;
}

TEST(GivenPalette, EveryWayThroughTheMappingFindsTheSameEntryAsASearchOfEveryEntry)
{
    // Ties everywhere: duplicates, and colours halfway between two entries on a coarse grid; a key
    // colour, see-through pixels, entries nobody may take. Small pictures are searched entry by
    // entry, large ones through the colour table in bands, a shared search through its own cache;
    // each must give the lowest of the nearest usable entries.
    std::vector<Rgb> pal;
    for (int i = 0; i < 200; ++i)
        pal.push_back(Rgb{uint8_t(i % 5 * 60), uint8_t(i / 5 % 5 * 60), uint8_t(i / 25 * 36)});
    pal[7] = pal[3];
    uint32_t seed = 11;
    auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 24; };
    std::vector<std::array<uint8_t, 4>> colours;
    for (int i = 0; i < 3000; ++i) {
        std::array<uint8_t, 4> c = {uint8_t(next() / 8 * 30), uint8_t(next() / 8 * 30), uint8_t(next() / 8 * 18), 255};
        if (i % 50 == 0)
            c = {255, 0, 255, 255};
        if (i % 77 == 0)
            c[3] = 40;
        if (i % 3 == 0)
            c = {uint8_t(next()), uint8_t(next()), uint8_t(next()), 255};
        colours.push_back(c);
    }
    for (const int key : {-1, 9}) {
        const pcx::TargetPalette t = given(pal, key, magenta, 150, 160);
        auto expected = [&](const std::array<uint8_t, 4>& c) {
            if (key >= 0 && (c[3] < 128 || (c[0] == 255 && c[1] == 0 && c[2] == 255)))
                return uint8_t(key);
            size_t owner = 256;
            for (size_t k = 0; k < 256; ++k)
                if (t.usable[k] && (owner == 256 || pcx::distance2(c.data(), t.entries[k]) < pcx::distance2(c.data(), t.entries[owner])))
                    owner = k;
            return uint8_t(owner);
        };
        std::vector<uint8_t> nearest;
        for (const auto& c : colours)
            nearest.push_back(expected(c));
        for (const uint32_t side : {50u, 600u}) {
            std::vector<std::array<uint8_t, 4>> pixels;
            std::vector<uint8_t> entries;
            for (uint32_t i = 0; i < side * side; ++i) {
                pixels.push_back(colours[(i * 7 + i / 13) % colours.size()]);
                entries.push_back(nearest[(i * 7 + i / 13) % colours.size()]);
            }
            pcx::Image in = rgbaRow(pixels);
            in.width = side;
            in.height = side;
            pcx::TargetPalette shared = t;
            pcx::shareSearch(shared);
            pcx::TargetPalette known = t;
            std::vector<Rgb> asked;
            for (const auto& c : colours)
                asked.push_back(Rgb{c[0], c[1], c[2]});
            pcx::shareSearch(known, asked);
            for (const pcx::TargetPalette* way : {&t, static_cast<const pcx::TargetPalette*>(&shared), static_cast<const pcx::TargetPalette*>(&known)}) {
                pcx::Image out;
                ASSERT_TRUE(pcx::mapToTarget(in, *way, pcx::Dither::None, out));
                size_t wrong = 0;
                for (size_t i = 0; i < pixels.size(); ++i)
                    wrong += out.pixels[i] != entries[i];
                EXPECT_EQ(wrong, 0u) << "key " << key << ", side " << side << ", way " << (way == &t ? "own" : way == &shared ? "shared" : "known");
            }
        }
        // An indexed picture whose entries are not the target's: each takes the lowest nearest.
        pcx::Image indexed;
        indexed.width = 256;
        indexed.height = 1;
        for (size_t j = 0; j < 256; ++j) {
            const auto& c = colours[j * 11];
            indexed.palette.push_back(Rgb{c[0], c[1], c[2]});
            indexed.pixels.push_back(uint8_t(j));
        }
        pcx::Image out;
        ASSERT_TRUE(pcx::mapToTarget(indexed, t, pcx::Dither::None, out));
        for (size_t j = 0; j < 256; ++j) {
            const Rgb c = indexed.palette[j];
            const bool own = t.usable[j] && t.entries[j] == c;
            EXPECT_EQ(out.pixels[j], own ? uint8_t(j) : expected({c.r, c.g, c.b, 255})) << "key " << key << ", entry " << j;
        }
    }
}

TEST(SharedPalette, APixelTakesANeighboursEntryWhereTheBytesSavedOutweighTheError)
{
    // Grey 100 is entry 0; a pixel of red 106 is nearest entry `other` (red 110, 16 away) and 20
    // further from grey. In a row of grey, taking grey makes one run of five (two bytes) of three
    // runs: two bytes each, and the lone pixel one byte below index 192, two from there. A second
    // row, one run of a blue-grey 64 from grey, stays as it is: the picture's mean error is
    // (16 + 5 * 64) / 10, and a byte weighs weight times that.
    const Rgb grey{100, 100, 100}, red{110, 100, 100};
    pcx::Image in = rgbaRow({{100, 100, 100, 255}, {100, 100, 100, 255}, {106, 100, 100, 255}, {100, 100, 100, 255},
                             {100, 100, 100, 255}});
    const pcx::Image second = rgbaRow(std::vector<std::array<uint8_t, 4>>(5, {100, 100, 108, 255}));
    in.pixels.insert(in.pixels.end(), second.pixels.begin(), second.pixels.end());
    in.height = 2;
    struct Case {
        size_t other;
        double weight;
        bool merged;
    } const cases[] = {
        {1, 0.18, false},   // 3 bytes saved weigh 18.1 < 20
        {1, 0.22, true},    // 22.2
        {200, 0.14, false}, // 4 bytes: 18.8
        {200, 0.18, true},  // 24.2
    };
    for (const Case& c : cases) {
        std::vector<Rgb> entries(c.other + 1, Rgb{0, 0, 250});
        entries[0] = grey;
        entries[c.other] = red;
        const pcx::TargetPalette t = given(entries);
        pcx::Image mapped;
        ASSERT_TRUE(pcx::mapToTarget(in, t, pcx::Dither::None, mapped));
        ASSERT_EQ(mapped.pixels[2], c.other);
        pcx::shortenRows(in, t, mapped, c.weight);
        const std::vector<uint8_t> rows = {0, 0, uint8_t(c.merged ? 0 : c.other), 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(mapped.pixels, rows) << "entry " << c.other << ", weight " << c.weight;
    }
    // The first row alone: taking grey would more than double its error, more than the half that
    // the picture's error may grow by, however much a byte weighs.
    in.height = 1;
    in.pixels.resize(5 * 4);
    const pcx::TargetPalette t = given({grey, red});
    pcx::Image mapped;
    ASSERT_TRUE(pcx::mapToTarget(in, t, pcx::Dither::None, mapped));
    pcx::shortenRows(in, t, mapped, 1e6);
    EXPECT_EQ(mapped.pixels, (std::vector<uint8_t>{0, 0, 1, 0, 0}));
    // A picture its palette holds exactly stays as it is.
    const pcx::TargetPalette exact = given({grey, Rgb{106, 100, 100}});
    ASSERT_TRUE(pcx::mapToTarget(in, exact, pcx::Dither::None, mapped));
    pcx::shortenRows(in, exact, mapped, 1e6);
    EXPECT_EQ(mapped.pixels, (std::vector<uint8_t>{0, 0, 1, 0, 0}));
}

TEST(SharedPalette, PoolsColoursExactlyUntilTheyAreTooMany)
{
    // Two pictures of five colours and the key: the shared palette holds those five exactly, the
    // key at its index, the most often lone colour first.
    const pcx::TargetPalette shared = pcx::sharedTarget(16, 3, magenta);
    pcx::ColourPool pool;
    pool.add(rgbaRow({{1, 1, 1, 255}, {1, 1, 1, 255}, {2, 2, 2, 255}, {255, 0, 255, 255}, {3, 3, 3, 255}}), shared);
    pool.add(rgbaRow({{4, 4, 4, 255}, {5, 5, 5, 0}, {5, 5, 5, 255}, {5, 5, 5, 255}, {9, 9, 9, 255}}), shared);
    pcx::TargetPalette t = shared;
    ASSERT_EQ(pcx::fillFree(pool, 4, t), "");
    EXPECT_EQ(t.entries[3], magenta);
    EXPECT_FALSE(t.usable[3]);
    std::set<uint32_t> found;
    for (size_t i = 0; i < 256; ++i)
        if (t.usable[i])
            found.insert(uint32_t(t.entries[i].r));
    EXPECT_EQ(found, (std::set<uint32_t>{1, 2, 3, 4, 5, 9}));
    EXPECT_EQ(t.listed().size(), 7u);
    EXPECT_EQ(t.entries[6], (Rgb{5, 5, 5})) << "the one colour never alone comes last";

    // A picture of 2^18 colours: the pool goes over to colour cubes and stays within their number.
    pcx::Image many;
    many.width = 512;
    many.height = 512;
    many.indexed = false;
    for (uint32_t i = 0; i < 512 * 512; ++i)
        many.pixels.insert(many.pixels.end(), {uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16 << 4), 255});
    pcx::ColourPool big;
    big.add(many, shared);
    EXPECT_FALSE(big.exact());
    std::vector<Rgb> colours;
    std::vector<uint64_t> counts, lone;
    big.weighted(colours, counts, lone);
    EXPECT_LE(colours.size(), size_t(1) << 18);
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), uint64_t(0)), uint64_t(512 * 512));
}

TEST(SharedPalette, EachChosenEntryIsTheMeanOfTheColoursNearestIt)
{
    // More colours than entries: libimagequant's proposal, moved by k-means until nothing moves, so
    // each entry is the rounded weighted mean of the pooled colours whose nearest entry it is (as
    // a search over every entry finds them).
    std::vector<std::array<uint8_t, 4>> pixels;
    uint32_t seed = 7;
    auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 24; };
    for (int i = 0; i < 300; ++i) {
        const std::array<uint8_t, 4> c = {uint8_t(next()), uint8_t(next()), uint8_t(next()), 255};
        pixels.insert(pixels.end(), 1 + next() % 5, c);
    }
    pcx::ColourPool pool;
    pool.add(rgbaRow(pixels), pcx::sharedTarget(8, -1, {}));
    pcx::TargetPalette t = pcx::sharedTarget(8, -1, {});
    ASSERT_EQ(pcx::fillFree(pool, 4, t), "");
    std::vector<Rgb> colours;
    std::vector<uint64_t> counts, lone;
    pool.weighted(colours, counts, lone);
    std::vector<std::array<uint64_t, 4>> sums(8);
    for (size_t i = 0; i < colours.size(); ++i) {
        size_t owner = 0;
        for (size_t k = 1; k < 8; ++k)
            if (t.usable[k] && pcx::distance2(colours[i], t.entries[k]) < pcx::distance2(colours[i], t.entries[owner]))
                owner = k;
        sums[owner][0] += colours[i].r * counts[i];
        sums[owner][1] += colours[i].g * counts[i];
        sums[owner][2] += colours[i].b * counts[i];
        sums[owner][3] += counts[i];
    }
    for (size_t k = 0; k < 8; ++k) {
        ASSERT_TRUE(t.usable[k]) << k;
        const uint64_t n = sums[k][3];
        ASSERT_GT(n, 0u) << k;
        EXPECT_EQ(t.entries[k], (Rgb{uint8_t((sums[k][0] + n / 2) / n), uint8_t((sums[k][1] + n / 2) / n),
                                     uint8_t((sums[k][2] + n / 2) / n)}))
            << k;
    }
}

TEST(SharedPalette, FreeEntriesComplementTheFixedOnes)
{
    // Red is fixed at 0 and most of the pixels; entries 1 and 2 are free for the rest: greens and
    // blues, which libimagequant must not spend on red again.
    const pcx::TargetPalette base = given({Rgb{255, 0, 0}, Rgb{9, 9, 9}, Rgb{9, 9, 9}, Rgb{0, 0, 0}}, -1, {}, 1, 2);
    pcx::Image img;
    img.width = 64;
    img.height = 64;
    img.indexed = false;
    for (uint32_t i = 0; i < 64 * 64; ++i) {
        const uint8_t v = uint8_t(i % 7);
        const std::array<uint8_t, 4> c = i < 3000 ? std::array<uint8_t, 4>{255, 0, 0, 255}
                                         : i % 2 ? std::array<uint8_t, 4>{v, uint8_t(200 + v), v, 255}
                                                 : std::array<uint8_t, 4>{v, v, uint8_t(200 + v), 255};
        img.pixels.insert(img.pixels.end(), c.begin(), c.end());
    }
    pcx::ColourPool pool;
    pool.add(img, base);
    pcx::TargetPalette t = base;
    ASSERT_EQ(pcx::fillFree(pool, 4, t), "");
    EXPECT_EQ(t.entries[0], (Rgb{255, 0, 0}));
    EXPECT_EQ(t.entries[3], (Rgb{0, 0, 0}));
    const Rgb a = t.entries[1], b = t.entries[2];
    EXPECT_TRUE((a.g > 190 && b.b > 190) || (a.b > 190 && b.g > 190)) << int(a.r) << "," << int(a.g) << "," << int(a.b)
                                                                       << " " << int(b.r) << "," << int(b.g) << "," << int(b.b);
}

namespace {

// A picture of side x side: a smooth background, and an 8x8 sprite of other colours at sx, sy.
pcx::Image scene(uint32_t side, uint32_t sx, uint32_t sy)
{
    std::vector<std::array<uint8_t, 4>> pixels;
    for (uint32_t y = 0; y < side; ++y)
        for (uint32_t x = 0; x < side; ++x) {
            const bool sprite = x >= sx && x < sx + 8 && y >= sy && y < sy + 8;
            pixels.push_back(sprite ? std::array<uint8_t, 4>{uint8_t(200 + x - sx), uint8_t(30 * (y - sy)), 90, 255}
                                    : std::array<uint8_t, 4>{uint8_t(x / 3), uint8_t(y / 3 + 20), uint8_t(200 - (x + y) / 6), 255});
        }
    pcx::Image img = rgbaRow(pixels);
    img.width = side;
    img.height = side;
    return img;
}

std::vector<Rgb> gamePalette()
{
    std::vector<Rgb> pal;
    for (int i = 0; i < 64; ++i)
        pal.push_back(Rgb{uint8_t(i % 4 * 85), uint8_t(i / 4 % 4 * 85), uint8_t(i / 16 * 85)});
    return pal;
}

}  // namespace

TEST(PatternDither, WhatStandsStillKeepsItsIndicesAndTheMixComesNearTheColour)
{
    // A sprite moved by one pixel over a still picture: no index changes outside its two places.
    const pcx::TargetPalette t = given(gamePalette());
    for (const uint32_t side : {40u, 520u}) {  // one band, and several
        // And one that comes into the picture: what the mapping saw before must not count.
        pcx::Image a, b, none;
        ASSERT_TRUE(pcx::mapToTarget(scene(side, 10, 12), t, pcx::Dither::Pattern, a));
        ASSERT_TRUE(pcx::mapToTarget(scene(side, 11, 12), t, pcx::Dither::Pattern, b));
        ASSERT_TRUE(pcx::mapToTarget(scene(side, side, side), t, pcx::Dither::Pattern, none));
        size_t changed = 0, appeared = 0;
        for (uint32_t y = 0; y < side; ++y)
            for (uint32_t x = 0; x < side; ++x)
                if (!(x >= 10 && x < 19 && y >= 12 && y < 20)) {
                    changed += a.pixels[y * side + x] != b.pixels[y * side + x];
                    appeared += a.pixels[y * side + x] != none.pixels[y * side + x];
                }
        EXPECT_EQ(changed, 0u) << side;
        EXPECT_EQ(appeared, 0u) << side;
        // Error diffusion, for contrast, carries the sprite's change on into the background.
        if (side == 40) {
            ASSERT_TRUE(pcx::mapToTarget(scene(side, 10, 12), t, pcx::Dither::Diffuse, a));
            ASSERT_TRUE(pcx::mapToTarget(scene(side, 11, 12), t, pcx::Dither::Diffuse, b));
            EXPECT_NE(a.pixels, b.pixels);
        }
    }
    // A flat colour between entries: the 8x8 tile's mean comes far nearer it than any one entry,
    // every entry taken is near it, and a colour of the palette or a key pixel is left as it is.
    const pcx::TargetPalette keyed = given(gamePalette(), 63, magenta);
    for (const std::array<uint8_t, 4> c : {std::array<uint8_t, 4>{100, 40, 200, 255}, {30, 230, 120, 255}}) {
        pcx::Image out;
        std::vector<std::array<uint8_t, 4>> pixels(64, c);
        pixels[9] = {85, 170, 0, 255};
        pixels[10] = {255, 0, 255, 255};
        pixels[11] = {1, 2, 3, 20};
        pcx::Image tile = rgbaRow(pixels);
        tile.width = tile.height = 8;
        ASSERT_TRUE(pcx::mapToTarget(tile, keyed, pcx::Dither::Pattern, out));
        EXPECT_EQ(out.pixels[9], 1 + 2 * 4);
        EXPECT_EQ(out.pixels[10], 63);
        EXPECT_EQ(out.pixels[11], 63);
        double sum[3] = {};
        for (size_t i = 0; i < 64; ++i) {
            if (i >= 9 && i <= 11)
                continue;
            const Rgb p = keyed.entries[out.pixels[i]];
            EXPECT_LT(pcx::distance2(c.data(), p), 3 * 85 * 85) << i;
            sum[0] += p.r, sum[1] += p.g, sum[2] += p.b;
        }
        double off = 0;
        for (int k = 0; k < 3; ++k)
            off += (sum[k] / 61 - c[k]) * (sum[k] / 61 - c[k]);
        int nearest = INT_MAX;
        for (const Rgb p : gamePalette())
            nearest = std::min(nearest, pcx::distance2(c.data(), p));
        EXPECT_LT(4 * off, nearest) << int(c[0]);
    }
    // Greys a step apart, most of them off the points whose plans they take: each tile's mix stays
    // grey and near its grey (within 4: a few lone light pixels show more, blurred, than a mix a
    // little dark, but a pixel off its point must move its mix towards itself, not away).
    for (int v = 86; v < 170; ++v) {
        pcx::Image out;
        pcx::Image tile = rgbaRow(std::vector<std::array<uint8_t, 4>>(64, {uint8_t(v), uint8_t(v), uint8_t(v), 255}));
        tile.width = tile.height = 8;
        ASSERT_TRUE(pcx::mapToTarget(tile, t, pcx::Dither::Pattern, out));
        double sum[3] = {};
        for (const uint8_t e : out.pixels)
            sum[0] += t.entries[e].r, sum[1] += t.entries[e].g, sum[2] += t.entries[e].b;
        EXPECT_TRUE(sum[0] == sum[1] && sum[1] == sum[2]) << v;
        EXPECT_LT(std::abs(sum[0] / 64 - v), 4) << v;
    }
    pcx::Options o;
    std::string msg;
    ASSERT_EQ(pcx::parseArguments({"-dither", "pattern", "-o", "o.pcx", "in.pcx"}, o, msg), pcx::Parsed::Run);
    EXPECT_EQ(o.dither, pcx::Dither::Pattern);
    ASSERT_EQ(pcx::parseArguments({"-o", "o.pcx", "-dither", "diffuse"}, o, msg), pcx::Parsed::Error) << "no input left";
    ASSERT_EQ(pcx::parseArguments({"-o", "o.pcx", "-dither", "in.pcx"}, o, msg), pcx::Parsed::Run);
    EXPECT_EQ(o.dither, pcx::Dither::Diffuse);
    EXPECT_EQ(o.input, "in.pcx");
}

TEST(OklabMatch, EveryColourTakesTheEntryASearchOfEveryEntryFinds)
{
    // Entries close together in L (greys, near-greys) and duplicates: the search that walks out in
    // L must stop no sooner than a search of every entry would allow.
    std::vector<Rgb> pal = gamePalette();
    for (int i = 0; i < 100; ++i)
        pal.push_back(Rgb{uint8_t(i * 2), uint8_t(i * 2 + i % 3), uint8_t(i * 2 + 1)});
    pal[70] = pal[20];
    pcx::TargetPalette t = given(pal, 5, magenta);
    t.match = pcx::Match::Oklab;
    std::vector<pcx::Lab> lab;
    for (const Rgb c : pal)
        lab.push_back(pcx::oklabOf(c));
    uint32_t seed = 5;
    auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 24; };
    std::vector<std::array<uint8_t, 4>> pixels;
    for (int i = 0; i < 512 * 512; ++i) {
        std::array<uint8_t, 4> c = {uint8_t(next()), uint8_t(next()), uint8_t(next()), 255};
        if (i % 4 == 0) {  // next to an entry
            const Rgb p = pal[next() % pal.size()];
            c = {uint8_t(p.r + next() % 3), uint8_t(p.g ^ (next() & 1)), p.b, 255};
        }
        pixels.push_back(c);
    }
    pcx::Image in = rgbaRow(pixels);
    in.width = in.height = 512;
    pcx::TargetPalette shared = t;
    pcx::shareSearch(shared, {pal[3], Rgb{1, 2, 3}, Rgb{200, 100, 50}});
    for (const pcx::TargetPalette* way : {static_cast<const pcx::TargetPalette*>(&t), static_cast<const pcx::TargetPalette*>(&shared)}) {
        pcx::Image out;
        ASSERT_TRUE(pcx::mapToTarget(in, *way, pcx::Dither::None, out));
        size_t wrong = 0, rgbDiffers = 0;
        for (size_t i = 0; i < pixels.size(); ++i) {
            const pcx::Lab c = pcx::oklabOf(pixels[i].data());
            size_t owner = 256, rgbOwner = 256;
            const bool key = pixels[i][0] == 255 && pixels[i][1] == 0 && pixels[i][2] == 255;
            for (size_t k = 0; k < pal.size(); ++k) {
                if (k == 5)
                    continue;
                if (owner == 256 || pcx::distance2(lab[k], c) < pcx::distance2(lab[owner], c))
                    owner = k;
                if (rgbOwner == 256 || pcx::distance2(pixels[i].data(), pal[k]) < pcx::distance2(pixels[i].data(), pal[rgbOwner]))
                    rgbOwner = k;
            }
            wrong += out.pixels[i] != (key ? 5 : owner);
            rgbDiffers += owner != rgbOwner;
        }
        EXPECT_EQ(wrong, 0u) << (way == &t ? "own" : "shared");
        EXPECT_GT(rgbDiffers, pixels.size() / 20) << "OKLab and RGB should often disagree";
    }
}

TEST(ProtectedEntries, TakenByTheirExactColourOnly)
{
    std::bitset<256> list;
    struct Case {
        const char* text;
        bool ok;
        size_t count;
    } const cases[] = {{"224-255", true, 32}, {"0,240-254", true, 16}, {"7", true, 1}, {"3,3,1-2", true, 3},
                       {"", false, 0},        {"1-", false, 0},        {"-4", false, 0}, {"9-3", false, 0},
                       {"256", false, 0},     {"1,,2", false, 0},      {"1;2", false, 0}, {"0012", false, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(pcx::parseEntryList(c.text, list), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(list.count(), c.count) << c.text;
        }
    }
    // Entries 4 to 7 of a grey ramp are protected: pixels of grey 40 and 41 go elsewhere by every
    // mapping, while a pixel of exactly entry 5's colour takes 5.
    std::vector<Rgb> pal;
    for (int i = 0; i < 16; ++i)
        pal.push_back(Rgb{uint8_t(i * 10), uint8_t(i * 10), uint8_t(i * 10)});
    pcx::TargetPalette t = given(pal);
    ASSERT_TRUE(pcx::parseEntryList("4-7", list));
    ASSERT_EQ(pcx::protectEntries(list, t), "");
    std::vector<std::array<uint8_t, 4>> pixels;
    for (int i = 0; i < 64; ++i)
        pixels.push_back(i % 3 == 0 ? std::array<uint8_t, 4>{50, 50, 50, 255} : std::array<uint8_t, 4>{uint8_t(40 + i % 2), 41, 40, 255});
    pcx::Image in = rgbaRow(pixels);
    in.width = in.height = 8;
    for (const pcx::Dither d : {pcx::Dither::None, pcx::Dither::Diffuse, pcx::Dither::Pattern})
        for (const pcx::Match m : {pcx::Match::Rgb, pcx::Match::Oklab}) {
            t.match = m;
            pcx::Image out;
            ASSERT_TRUE(pcx::mapToTarget(in, t, d, out));
            for (size_t i = 0; i < 64; ++i)
                EXPECT_EQ(out.pixels[i] >= 4 && out.pixels[i] <= 7, i % 3 == 0) << int(d) << " " << int(m) << " " << i;
        }
    // An indexed picture keeps a protected index that holds its colour.
    pcx::Image indexed;
    indexed.width = 2;
    indexed.height = 1;
    std::vector<Rgb> own = pal;
    own[1] = Rgb{41, 40, 40};
    indexed.palette = own;
    indexed.pixels = {6, 1};
    pcx::Image out;
    ASSERT_TRUE(pcx::mapToTarget(indexed, t, pcx::Dither::None, out));
    EXPECT_EQ(out.pixels, (std::vector<uint8_t>{6, 3}));
    // Every entry protected leaves nothing for other colours; with free entries to choose it does.
    ASSERT_TRUE(pcx::parseEntryList("0-15", list));
    pcx::TargetPalette all = given(pal);
    EXPECT_NE(pcx::protectEntries(list, all), "");
    pcx::TargetPalette withFree = given(pal, -1, {}, 16, 31);
    EXPECT_EQ(pcx::protectEntries(list, withFree), "");
    // The chosen colours serve the pixels near the protected ones; those of exactly a protected
    // colour are left to it.
    pcx::ColourPool pool;
    pool.add(in, withFree);
    ASSERT_EQ(pcx::fillFree(pool, 4, withFree), "");
    std::set<uint32_t> chosen;
    for (size_t i = 16; i < 32; ++i)
        if (withFree.usable[i])
            chosen.insert(pcx::packRgb(withFree.entries[i]));
    EXPECT_EQ(chosen, (std::set<uint32_t>{pcx::packRgb(Rgb{40, 41, 40}), pcx::packRgb(Rgb{41, 41, 40})}));
}
