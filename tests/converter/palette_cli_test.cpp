// SPDX-License-Identifier: GPL-3.0-or-later
// The command line's forms for sets of files and game palettes, run as a user runs them.
#include "atomic_file.h"
#include "cli.h"
#include "lineformat.h"
#include "palette_file.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace testutil;
using pcx::Rgb;

namespace {

const std::string data = PCX_TEST_DATA;
const std::string game = data + "/allegro_allegro.pcx";

std::vector<std::string> testInputs()
{
    std::vector<std::string> files;
    for (const auto& f : testFiles())
        files.push_back(f.string());
    return files;
}

// An 8x4 24-bit picture: magenta key pixels, pixels next to magenta, and colours of the game.
std::vector<uint8_t> sprite(unsigned seed)
{
    Crafted c;
    c.planes = 3;
    c.xmax = 7;
    c.ymax = 3;
    c.bytesPerLine = 8;
    for (unsigned y = 0; y < 4; ++y) {
        std::vector<uint8_t> line(24);
        for (unsigned x = 0; x < 8; ++x) {
            const unsigned k = (x + y * 3 + seed) % 5;
            const Rgb px = k == 0 ? Rgb{255, 0, 255} : k == 1 ? Rgb{254, 0, 255} : k == 2 ? Rgb{0, 0, 0}
                         : k == 3 ? Rgb{uint8_t(40 * seed), 100, 30} : Rgb{200, uint8_t(60 + y), 10};
            line[x] = px.r;
            line[8 + x] = px.g;
            line[16 + x] = px.b;
        }
        c.lines.push_back(line);
    }
    return c.bytes();
}

std::vector<uint8_t> paletteBlock(const fs::path& f)
{
    const auto b = readFile(f);
    return b.size() < 769 ? std::vector<uint8_t>{} : std::vector<uint8_t>(b.end() - 769, b.end());
}

// Each output pixel's index is the key index exactly where the input has the key colour.
void expectKeyOnlyAtIndex(const fs::path& in, const fs::path& out, unsigned index)
{
    pcx::Image a, b;
    ASSERT_EQ(pcx::decodeFile(in.string(), a), pcx::Error::None);
    ASSERT_EQ(pcx::decodeFile(out.string(), b), pcx::Error::None);
    ASSERT_TRUE(b.indexed);
    for (uint32_t y = 0; y < a.height; ++y)
        for (uint32_t x = 0; x < a.width; ++x)
            EXPECT_EQ(a.at(x, y) == (Rgb{255, 0, 255}), b.pixels[y * b.width + x] == index) << out << " " << x << "," << y;
}

size_t entriesIn(const fs::path& dir)
{
    return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

}  // namespace

TEST(PaletteForms, UsageErrorsSayWhatIsWrongAndWriteNothing)
{
    TempDir dir, scratch;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    fs::create_directories(dir / "out");
    for (const char* f : {"a/x.pcx", "b/x.pcx", "out/y.pcx"})
        writeFile(dir / f, sprite(1));
    const std::string out = (dir / "out").string(), x = (dir / "a/x.pcx").string(), bx = (dir / "b/x.pcx").string();
    // A game's palettes, and names of the sprite through a link and a second hard link.
    const std::vector<uint8_t> act = pcx::paletteBytes(std::vector<Rgb>(256, Rgb{9, 9, 9}), pcx::PaletteFormat::Act, -1);
    const std::vector<uint8_t> raw(768, 21);
    writeFile(dir / "g.act", act);
    writeFile(dir / "raw.pal", raw);
    fs::create_symlink(x, dir / "link.pcx");
    fs::create_hard_link(bx, dir / "hard.pcx");
    const std::string g = (dir / "g.act").string(), rawPal = (dir / "raw.pal").string();
    const std::string link = (dir / "link.pcx").string(), hard = (dir / "hard.pcx").string();
    writeFile(dir / "lines", {'a', '\n', 'b', '\n'});
    const std::string pal = (dir / "a/p.gpl").string(), gpl = "GIMP Palette\n0 0 0\n255 255 255\n1 2 3\n";
    writeFile(pal, std::vector<uint8_t>(gpl.begin(), gpl.end()));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        // No output is an input, the palette or another output, as the file system knows them.
        {{"-shared", "-palette-out", x, x, bx}, "the output " + x + " would replace the input " + x},
        {{"-shared", "-palette-out", link, x, bx}, "the output " + link + " would replace the input " + x},
        {{"-shared", "-palette-out", hard, x, bx}, "the output " + hard + " would replace the input " + bx},
        {{"-shared", "-outdir", out, "-palette-out", out + "/./x.pcx", x}, "the outputs " + out + "/x.pcx and " + out + "/./x.pcx are one file"},
        {{"-palette", x, "-outdir", (dir / "a").string(), (dir / "out/y.pcx").string(), bx}, "the output " + (dir / "a").string() + "/x.pcx would replace the palette " + x},
        {{"-palette", g, "-free", "16-255", "-shared", "-outdir", out, "-palette-out", g, x}, "the output " + g + " would replace the palette " + g},
        {{"-palette", rawPal, "-palette-out", rawPal}, "the output " + rawPal + " would replace the palette " + rawPal},
        {{"-o", link, x}, "the output " + link + " would replace the input " + x},
        {{"-palette", g, "-o", g, x}, "the output " + g + " would replace the palette " + g},
        {{"-outdir", out, "-files0-from", (dir / "lines").string()}, (dir / "lines").string() + " holds no NUL: names must each end in a NUL, as find -print0 writes them"},
        {{"-palette", g, "-palette-format", "vga", "-o", out + "/o.pcx", x}, "-palette-format needs -palette-out FILE"},
        {{"-palette", g, "-palette-format", "png", "-palette-out", out + "/q"}, "-palette-format is jasc, gimp, act, pcx, raw or vga, not \"png\""},
        {{"-transparent", "ff00ff", "-o", out + "/o.pcx", x}, "-transparent needs -shared or -palette"},
        {{"-o", out + "/o.pcx", x, "two\nlines"}, "one input file only; options go before it (unexpected \"two\\nlines\")"},
        {{"-palette", game, "-colors", "16", "-o", out + "/o.pcx", x}, "-colors with -palette needs -free A-B: the given entries stay as they are"},
        {{"-free", "0-15", "-outdir", out, x}, "-free A-B needs -palette FILE"},
        {{"-palette", game, "-free", "16-31", "-colors", "17", "-outdir", out, x}, "-colors 17 is more than the 16 entries of -free 16-31"},
        {{"-palette", game, "-free", "9-3", "-outdir", out, x}, "-free needs entries A-B, 0 to 255 with A at most B, not \"9-3\""},
        {{"-shared", x}, "-shared needs -outdir DIR or -palette-out FILE"},
        {{"-shared", "-o", out + "/o.pcx", x}, "-shared writes into -outdir DIR, not -o OUT"},
        {{"-shared", "-palette", game, "-outdir", out, x}, "-shared with -palette needs -free A-B: a given palette is one for all already"},
        {{"-transparent", "ff00ff", "-outdir", out, x}, "-transparent needs -shared or -palette"},
        {{"-shared", "-transparent", "ff00f", "-outdir", out, x}, "-transparent needs a colour RRGGBB (hexadecimal), optionally :I for index 0 to 255, not \"ff00f\""},
        {{"-shared", "-transparent", "ff00ff:256", "-outdir", out, x}, "-transparent needs a colour RRGGBB (hexadecimal), optionally :I for index 0 to 255, not \"ff00ff:256\""},
        {{"-shared", "-palette-out", out + "/p.png", x}, "-palette-out writes .pal (JASC), .gpl, .act or .pcx, not \"" + out + "/p.png\" (-palette-format names another)"},
        {{"-palette-out", out + "/p.act", "-outdir", out, x}, "-palette-out needs -shared or -palette"},
        {{"-palette", game, "-o", out + "/o.pcx", x, x}, "one input file only with -o; several go with -outdir DIR"},
        {{"-outdir", out, x, (dir / "b/x.pcx").string()}, "two inputs named x.pcx (" + x + " and " + (dir / "b/x.pcx").string() + ") would make one output in " + out},
        {{"-outdir", (dir / "a").string(), x}, "the output " + (dir / "a").string() + "/x.pcx would replace the input " + x},
        {{"-shared", "-outdir", out, "-"}, "standard input (-) does not go with -shared or -outdir"},
        {{"-files0-from", "names", "-outdir", out, x}, "input names come from -files0-from or the command line, not both (unexpected \"" + x + "\")"},
        {{"-palette", game, "-palette-out", out + "/q.act", "-colors", "16"}, "checking a palette (-palette P -palette-out Q) takes no inputs to choose colours for"},
        {{"-depth", "9", "-o", out + "/o.pcx", x}, "-depth must be 1 to 8 bits a channel, not \"9\""},
        {{"-depth", "6", "-palette", pal, "-outdir", out, x}, pal + ": entry 2, 010203, is not on the 6-bit grid (the nearest colour on it is 000004), which -depth 6 asks for"},
        {{"-depth", "6", "-palette", pal, "-palette-out", out + "/q.act"}, pal + ": entry 2, 010203, is not on the 6-bit grid (the nearest colour on it is 000004), which -depth 6 asks for"},
        {{"-depth", "2", "-shared", "-transparent", "fe00ff", "-outdir", out, x}, "-transparent fe00ff is not on the 2-bit grid of -depth 2 (the nearest colour on it is ff00ff)"},
        {{"-parents", "-o", out + "/o.pcx", x}, "-parents needs -outdir DIR"},
        {{"-parents", "-outdir", out, x}, "-parents keeps relative paths below -outdir; " + x + " is absolute"},
        {{"-protect", "224-255", "-o", out + "/o.pcx", x}, "-protect needs -palette FILE: only a given palette's entries can be kept"},
        {{"-palette", game, "-protect", "0,240-", "-outdir", out, x}, "-protect needs entries such as 224-255 or 0,240-254 (0 to 255), not \"0,240-\""},
        {{"-palette", game, "-free", "16-31", "-protect", "0,31", "-outdir", out, x}, "-protect takes entry 31, which -free 16-31 leaves to be chosen"},
        {{"-palette", game, "-protect", "0-255", "-outdir", out, x}, "-protect holds every entry a pixel may take of " + game},
        {{"-match", "lab", "-o", out + "/o.pcx", x}, "-match is rgb or oklab, not \"lab\""},
    };
    for (const auto& [args, message] : cases) {
        const Ran r = runProgram(CONVERTER_EXE, args, scratch);
        EXPECT_EQ(r.exitCode, 2) << message;
        EXPECT_EQ(r.err, "palettrim-convert: " + message + " (see --help)\n");
        EXPECT_EQ(entriesIn(dir / "out"), 1u) << message;
        EXPECT_EQ(readFile(dir / "a/x.pcx"), sprite(1)) << message;
        EXPECT_EQ(readFile(dir / "b/x.pcx"), sprite(1)) << message;
        EXPECT_EQ(readFile(dir / "g.act"), act) << message;
        EXPECT_EQ(readFile(dir / "raw.pal"), raw) << message;
    }
}

TEST(PaletteForms, OneSharedPaletteForEveryOutput)
{
    TempDir dir, scratch;
    fs::create_directories(dir / "out");
    std::vector<std::string> inputs = testInputs();
    for (unsigned s = 0; s < 4; ++s) {
        const auto f = dir / ("sprite" + std::to_string(s) + ".pcx");
        writeFile(f, sprite(s));
        inputs.push_back(f.string());
    }
    for (const int colours : {16, 256}) {
        std::vector<std::string> args = {"-q", "-shared", "-colors", std::to_string(colours), "-transparent", "ff00ff:0",
                                         "-palette-out", (dir / "set.act").string(), "-outdir", (dir / "out").string()};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const Ran r = runProgram(CONVERTER_EXE, args, scratch);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        pcx::PaletteFile written;
        ASSERT_EQ(pcx::readPaletteFile((dir / "set.act").string(), written), "");
        EXPECT_LE(written.entries.size(), size_t(colours));
        EXPECT_EQ(written.entries[0], (Rgb{255, 0, 255}));
        EXPECT_EQ(written.transparent, 0);
        std::vector<uint8_t> block = {12};
        for (size_t i = 0; i < 256; ++i) {
            const Rgb c = i < written.entries.size() ? written.entries[i] : Rgb{};
            block.insert(block.end(), {c.r, c.g, c.b});
        }
        for (const auto& in : inputs) {
            const fs::path out = dir / "out" / fs::path(in).filename();
            const auto bytes = readFile(out);
            ASSERT_GT(bytes.size(), 128u + 769) << out;
            EXPECT_EQ(bytes[3], 8) << out;
            EXPECT_EQ(bytes[65], 1) << out;
            EXPECT_EQ(paletteBlock(out), block) << out;
            expectKeyOnlyAtIndex(in, out, 0);
        }
    }
}

TEST(PaletteForms, ToAGivenPaletteEntryForEntry)
{
    TempDir dir, scratch;
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "again");
    std::vector<std::string> inputs = testInputs();
    writeFile(dir / "sprite.pcx", sprite(2));
    inputs.push_back((dir / "sprite.pcx").string());
    std::vector<std::string> args = {"-q", "-palette", game, "-transparent", "ff00ff", "-outdir", (dir / "out").string()};
    args.insert(args.end(), inputs.begin(), inputs.end());
    Ran r = runProgram(CONVERTER_EXE, args, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto given = paletteBlock(game);
    std::vector<std::string> outputs;
    for (const auto& in : inputs) {
        const fs::path out = dir / "out" / fs::path(in).filename();
        EXPECT_EQ(paletteBlock(out), given) << out;
        expectKeyOnlyAtIndex(in, out, 0);
        outputs.push_back(out.string());
    }
    // The game's own picture, and every output, is already in the palette: its bytes stay.
    EXPECT_EQ(readFile(dir / "out/allegro_allegro.pcx"), readFile(game));
    args = {"-q", "-palette", game, "-outdir", (dir / "again").string()};
    args.insert(args.end(), outputs.begin(), outputs.end());
    r = runProgram(CONVERTER_EXE, args, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const auto& out : outputs)
        EXPECT_EQ(readFile(dir / "again" / fs::path(out).filename()), readFile(out)) << out;

    // One file, -o, with the summary on standard output.
    r = runProgram(CONVERTER_EXE, {"-palette", game, "-o", (dir / "one.pcx").string(), data + "/sdl_sample.pcx"}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string bytes = std::to_string(fs::file_size(dir / "one.pcx")) + " bytes\n";
    EXPECT_EQ(r.out, (dir / "one.pcx").string() + ": 256-entry palette, 8-bit, " + bytes);
    EXPECT_EQ(paletteBlock(dir / "one.pcx"), given);

    // Through a pipe: the file on standard output, the summary on standard error; and an output
    // named otherwise than PCX gets its warning.
    r = runProgram(CONVERTER_EXE, {"-palette", game, "-o", "-", "-"}, scratch, data + "/sdl_sample.pcx");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), readFile(dir / "one.pcx"));
    EXPECT_EQ(r.err, "standard output: 256-entry palette, 8-bit, " + bytes);
    r = runProgram(CONVERTER_EXE, {"-palette", game, "-o", (dir / "one.png").string(), data + "/sdl_sample.pcx"}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "warning: " + (dir / "one.png").string() + " is written as PCX whatever its name\n");
}

TEST(PaletteForms, FreeEntriesAreChosenForEachFileOrOnceForTheSet)
{
    // Entries 0 to 3 are the game's; 4 to 7 hold placeholders for the pictures' own colours.
    TempDir dir, scratch;
    const std::string gpl = "GIMP Palette\n0 0 0\n255 255 255\n0 0 255\n255 0 255\n9 9 9\n9 9 9\n9 9 9\n9 9 9\n";
    writeFile(dir / "game.gpl", std::vector<uint8_t>(gpl.begin(), gpl.end()));
    std::vector<std::string> inputs;
    std::vector<size_t> orangeAt;  // a column of the top row where the sprite is orange
    for (unsigned s : {1, 3}) {
        inputs.push_back((dir / (s == 1 ? "s1.pcx" : "s3.pcx")).string());
        writeFile(inputs.back(), sprite(s));
        orangeAt.push_back((9 - s) % 5);
    }
    for (const bool shared : {false, true}) {
        const fs::path out = dir / (shared ? "shared" : "each");
        fs::create_directories(out);
        std::vector<std::string> args = {"-q", "-palette", (dir / "game.gpl").string(), "-free", "4-7", "-outdir", out.string()};
        if (shared)
            args.push_back("-shared");
        args.insert(args.end(), inputs.begin(), inputs.end());
        const Ran r = runProgram(CONVERTER_EXE, args, scratch);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::vector<std::vector<uint8_t>> blocks;
        for (size_t k = 0; k < inputs.size(); ++k) {
            const fs::path o = out / fs::path(inputs[k]).filename();
            pcx::Image img;
            ASSERT_EQ(pcx::decodeFile(o.string(), img), pcx::Error::None);
            EXPECT_EQ(std::vector<Rgb>(img.palette.begin(), img.palette.begin() + 4),
                      (std::vector<Rgb>{Rgb{0, 0, 0}, Rgb{255, 255, 255}, Rgb{0, 0, 255}, Rgb{255, 0, 255}}));
            // Orange is far from the game's entries: it takes a chosen one, close to its colour.
            const uint8_t orange = img.pixels[orangeAt[k]];
            EXPECT_GE(orange, 4) << o;
            EXPECT_LE(orange, 7) << o;
            const Rgb c = img.palette[orange];
            EXPECT_LE(std::abs(c.r - 200) + std::abs(c.g - 61) + std::abs(c.b - 10), 6) << o;
            blocks.push_back(paletteBlock(o));
        }
        EXPECT_EQ(blocks[0] == blocks[1], shared);
    }
}

TEST(PaletteForms, AnInputThatCannotBeReadStopsAWriteAndIsLeftOutOfAPalette)
{
    TempDir dir, scratch;
    fs::create_directories(dir / "out");
    // Its name on a line of its own holds the line end escaped.
    writeFile(dir / "bad\n.pcx", std::vector<uint8_t>(300, 'z'));
    const std::string good = data + "/sdl_sample.pcx", bad = (dir / "bad\n.pcx").string(), pal = (dir / "p.gpl").string();
    const std::string badLine = dir.path().string() + "/bad\\n.pcx";
    Ran r = runProgram(CONVERTER_EXE, {"-shared", "-outdir", (dir / "out").string(), good, bad}, scratch);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "palettrim-convert: " + badLine + ": not a PCX file\npalettrim-convert: nothing written: 1 of 2 inputs could not be read\n");
    EXPECT_EQ(entriesIn(dir / "out"), 0u);

    // Left out of a palette: the palette of the others is written, and the exit says it is not all.
    r = runProgram(CONVERTER_EXE, {"-q", "-shared", "-colors", "8", "-palette-out", pal, good, bad}, scratch);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, "palettrim-convert: " + badLine + ": not a PCX file (left out)\npalettrim-convert: " + pal +
                         ": the palette of 1 of 2 inputs; 1 left out\n");
    pcx::PaletteFile p;
    ASSERT_EQ(pcx::readPaletteFile(pal, p), "");
    EXPECT_EQ(p.entries.size(), 8u);

    fs::remove(pal);
    r = runProgram(CONVERTER_EXE, {"-shared", "-palette-out", pal, bad}, scratch);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(pal));

    // Each file its own: the others are written, and the exit is 1 for one that failed.
    r = runProgram(CONVERTER_EXE, {"-q", "-outdir", (dir / "out").string(), good, bad}, scratch);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "palettrim-convert: " + badLine + ": not a PCX file\n");
    EXPECT_TRUE(fs::exists(dir / "out/sdl_sample.pcx"));
    EXPECT_FALSE(fs::exists(dir / "out/bad\n.pcx"));

    // A folder that is not there is no "not a folder".
    writeFile(dir / "file", {});
    for (const auto& [folder, why] : {std::pair{dir / "none", "no such folder"}, std::pair{dir / "file", "not a folder"}}) {
        r = runProgram(CONVERTER_EXE, {"-outdir", folder.string(), good}, scratch);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "palettrim-convert: " + folder.string() + ": " + why + "\n");
    }
}

TEST(PaletteForms, NamesFromANulSeparatedListAndOneProgressLineEach)
{
    TempDir dir, scratch;
    const std::string odd = (dir / "line\nbreak\\.pcx").string(), plain = (dir / "plain.pcx").string();
    writeFile(odd, sprite(0));
    writeFile(plain, sprite(3));
    const std::string names = odd + '\0' + plain;  // the last name without its NUL, as du takes it
    writeFile(dir / "names", std::vector<uint8_t>(names.begin(), names.end()));
    fs::create_directories(dir / "out");
    const Ran r = runProgram(CONVERTER_EXE, {"-q", "-progress", "-shared", "-colors", "4", "-outdir", (dir / "out").string(),
                                             "-files0-from", "-"}, scratch, (dir / "names").string());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string shown = dir.path().string() + "/line\\nbreak\\\\.pcx";
    EXPECT_EQ(r.err, "palettrim-convert: 1/4 " + shown + "\npalettrim-convert: 2/4 " + plain + "\npalettrim-convert: 3/4 " +
                         shown + "\npalettrim-convert: 4/4 " + plain + "\n");
    EXPECT_TRUE(fs::exists(dir / "out" / "line\nbreak\\.pcx"));
    // A summary names its file on one line too.
    const Ran summary = runProgram(CONVERTER_EXE, {"-palette", game, "-o", (dir / "out" / "sum\n.pcx").string(), plain}, scratch);
    ASSERT_EQ(summary.exitCode, 0) << summary.err;
    EXPECT_EQ(summary.out.rfind((dir / "out").string() + "/sum\\n.pcx: 256-entry palette, 8-bit, ", 0), 0u) << summary.out;
    EXPECT_EQ(std::count(summary.out.begin(), summary.out.end(), '\n'), 1);

    writeFile(dir / "empty", {'a', 0, 0, 'b'});
    const Ran empty = runProgram(CONVERTER_EXE, {"-outdir", (dir / "out").string(), "-files0-from", (dir / "empty").string()}, scratch);
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_EQ(empty.err, "palettrim-convert: " + (dir / "empty").string() + ": name 2 is empty (see --help)\n");
}

TEST(PaletteForms, TheCheckFormSaysWhatThePaletteHoldsOrWhatIsWrong)
{
    TempDir dir, scratch;
    Ran r = runProgram(CONVERTER_EXE, {"-palette", game, "-palette-out", (dir / "g.pal").string()}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, game + ": 256 entries, 8-bit PCX\n");
    pcx::PaletteFile a, b;
    ASSERT_EQ(pcx::readPaletteFile(game, a), "");
    ASSERT_EQ(pcx::readPaletteFile((dir / "g.pal").string(), b), "");
    EXPECT_EQ(a.entries, b.entries);

    std::string text = "JASC-PAL\n0100\n300\n";
    writeFile(dir / "bad.pal", std::vector<uint8_t>(text.begin(), text.end()));
    r = runProgram(CONVERTER_EXE, {"-palette", (dir / "bad.pal").string(), "-palette-out", (dir / "q.act").string()}, scratch);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "palettrim-convert: " + (dir / "bad.pal").string() + ": line 3: 300 entries; a palette holds 1 to 256\n");
    EXPECT_FALSE(fs::exists(dir / "q.act"));

    // The check form refuses what a conversion refuses, and writes nothing then.
    std::string p16 = "JASC-PAL\n0100\n16\n";
    for (int i = 0; i < 16; ++i)
        p16 += std::to_string(i * 17) + " 0 0\n";
    writeFile(dir / "p16.pal", std::vector<uint8_t>(p16.begin(), p16.end()));
    for (const auto& args : {std::vector<std::string>{"-o", (dir / "o.pcx").string(), game},
                             std::vector<std::string>{"-palette-out", (dir / "t.act").string()}}) {
        std::vector<std::string> all = {"-transparent", "ff00ff:20", "-palette", (dir / "p16.pal").string()};
        all.insert(all.end(), args.begin(), args.end());
        r = runProgram(CONVERTER_EXE, all, scratch);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "palettrim-convert: " + (dir / "p16.pal").string() + ": the transparent index 20 is beyond the palette's 16 entries\n");
    }
    EXPECT_FALSE(fs::exists(dir / "t.act"));
    EXPECT_FALSE(fs::exists(dir / "o.pcx"));

    // The 6-bit form takes only colours on its grid, and names the first that is not.
    r = runProgram(CONVERTER_EXE, {"-palette", (dir / "p16.pal").string(), "-palette-format", "vga", "-palette-out",
                                   (dir / "p16.dat").string()}, scratch);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "palettrim-convert: " + (dir / "p16.dat").string() + ": entry 1 (17 0 0) is not a 6-bit VGA colour: "
                     "each value must be round(v*255/63), v 0 to 63\n");
    EXPECT_FALSE(fs::exists(dir / "p16.dat"));
    std::vector<uint8_t> vga(768);
    for (size_t i = 0; i < vga.size(); ++i)
        vga[i] = uint8_t(i * 7 % 64);
    writeFile(dir / "dos.pal", vga);
    r = runProgram(CONVERTER_EXE, {"-q", "-palette", (dir / "dos.pal").string(), "-palette-format", "vga", "-palette-out",
                                   (dir / "again.dat").string()}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(dir / "again.dat"), vga);
    // Dark 8-bit values written raw are what a game loads, but -palette would read them as 6-bit: it says so.
    writeFile(dir / "dark.pal", pcx::paletteBytes({Rgb{10, 20, 30}, Rgb{63, 0, 1}}, pcx::PaletteFormat::Jasc, -1));
    r = runProgram(CONVERTER_EXE, {"-palette", (dir / "dark.pal").string(), "-palette-format", "raw", "-palette-out",
                                   (dir / "raw.dat").string()}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(dir / "raw.dat").size(), 768u);
    EXPECT_EQ(r.err, "warning: " + (dir / "raw.dat").string() + ": every value is 63 or less, so -palette reads it back "
                     "as 6-bit VGA values\n");

    // An .act file's own transparent index is the key's when -transparent names none.
    std::vector<uint8_t> act = pcx::paletteBytes({Rgb{0, 0, 0}, Rgb{1, 1, 1}, Rgb{2, 2, 2}, Rgb{255, 0, 255}}, pcx::PaletteFormat::Act, 2);
    writeFile(dir / "k.act", act);
    writeFile(dir / "s.pcx", sprite(0));
    r = runProgram(CONVERTER_EXE, {"-q", "-palette", (dir / "k.act").string(), "-transparent", "ff00ff", "-o",
                                   (dir / "k.pcx").string(), (dir / "s.pcx").string()}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    expectKeyOnlyAtIndex(dir / "s.pcx", dir / "k.pcx", 2);
}

TEST(PaletteForms, SeveralFilesInOneStartAsEachOnItsOwn)
{
    TempDir dir, scratch;
    fs::create_directories(dir / "out");
    std::vector<std::string> args = {"-q", "-colors", "16", "-outdir", (dir / "out").string()};
    const auto inputs = testInputs();
    args.insert(args.end(), inputs.begin(), inputs.end());
    const Ran r = runProgram(CONVERTER_EXE, args, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const auto& in : inputs) {
        const auto one = dir / "one.pcx";
        ASSERT_EQ(runProgram(CONVERTER_EXE, {"-q", "-colors", "16", "-o", one.string(), in}, scratch).exitCode, 0);
        EXPECT_EQ(readFile(dir / "out" / fs::path(in).filename()), readFile(one)) << in;
    }
}

TEST(PaletteForms, EachPixelAsTheHelpAndTheMappingPromise)
{
    TempDir dir, scratch;
    fs::create_directories(dir / "out");
    const auto path = [&](const char* name) { return (dir / name).string(); };
    // Entries 1 and 3 are both green: a tie goes to the lower.
    const std::vector<Rgb> pal = {{0, 0, 0}, {0, 255, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    writeFile(dir / "p.pal", pcx::paletteBytes(pal, pcx::PaletteFormat::Jasc, -1));
    // One picture indexed and as 24 bits: green at an index the palette holds otherwise, a near
    // green, red, magenta (the key below) and a near blue.
    const std::vector<Rgb> colours = {{0, 255, 0}, {0, 250, 0}, {255, 0, 0}, {255, 0, 255}, {0, 0, 250}};
    pcx::Image indexed;
    indexed.width = 10;
    indexed.height = 4;
    indexed.palette = colours;
    for (unsigned i = 0; i < 40; ++i)
        indexed.pixels.push_back(uint8_t((i + i / 10) % 5));
    pcx::VectorSink sink;
    ASSERT_EQ(pcx::encode(indexed, pcx::Layout::Byte, true, sink), pcx::Error::None);
    writeFile(dir / "in8.pcx", sink.bytes);
    Crafted rgb;
    rgb.planes = 3;
    rgb.xmax = 9;
    rgb.ymax = 3;
    rgb.bytesPerLine = 10;
    // The same colours with alpha: every other magenta see-through red after an opaque red.
    Crafted rgba = rgb;
    rgba.planes = 4;
    for (unsigned y = 0; y < 4; ++y) {
        std::vector<uint8_t> line(30), withAlpha(40, 255);
        for (unsigned x = 0; x < 10; ++x)
            for (unsigned k = 0; k < 3; ++k) {
                const Rgb c = colours[indexed.pixels[y * 10 + x]];
                line[k * 10 + x] = withAlpha[k * 10 + x] = k == 0 ? c.r : k == 1 ? c.g : c.b;
            }
        for (unsigned x = 0; x < 10; ++x)
            if (indexed.pixels[y * 10 + x] == 3 && x > 0 && indexed.pixels[y * 10 + x - 1] == 2 && (x + y) % 2) {
                withAlpha[x] = 255;  // red, as its opaque neighbour, but see-through
                withAlpha[10 + x] = withAlpha[20 + x] = 0;
                withAlpha[30 + x] = 0;
            }
        rgb.lines.push_back(line);
        rgba.lines.push_back(withAlpha);
    }
    writeFile(dir / "in24.pcx", rgb.bytes());
    writeFile(dir / "in32.pcx", rgba.bytes());
    const std::vector<uint8_t> nearest = {1, 1, 2, 2, 4};  // magenta is as near red as blue: red's lower index

    // Every path of the mapping: indexed, 24-bit alone, and several sharing one search.
    for (const auto& args : {std::vector<std::string>{"-o", path("out/a.pcx"), path("in8.pcx")},
                             std::vector<std::string>{"-o", path("out/a.pcx"), path("in24.pcx")},
                             std::vector<std::string>{"-outdir", path("out"), path("in8.pcx"), path("in24.pcx")}}) {
        std::vector<std::string> all = {"-q", "-palette", path("p.pal")};
        all.insert(all.end(), args.begin(), args.end());
        const Ran r = runProgram(CONVERTER_EXE, all, scratch);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        for (const char* out : {"out/a.pcx", "out/in8.pcx", "out/in24.pcx"}) {
            if (!fs::exists(dir / out))
                continue;
            pcx::Image o;
            ASSERT_EQ(pcx::decodeFile(path(out), o), pcx::Error::None);
            for (size_t i = 0; i < 40; ++i)
                ASSERT_EQ(o.pixels[i], nearest[indexed.pixels[i]]) << out << " pixel " << i;
            fs::remove(dir / out);
        }
    }
    // Dithered, no pixel takes the later duplicate; the key pixels of an indexed input stay at the
    // key index, and a see-through pixel is a key pixel whatever its neighbour.
    for (const char* in : {"in8.pcx", "in24.pcx"}) {
        Ran r = runProgram(CONVERTER_EXE, {"-q", "-palette", path("p.pal"), "-dither", "-o", path("out/d.pcx"), path(in)}, scratch);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        pcx::Image o;
        ASSERT_EQ(pcx::decodeFile(path("out/d.pcx"), o), pcx::Error::None);
        EXPECT_EQ(std::count(o.pixels.begin(), o.pixels.end(), 3), 0) << in;
        r = runProgram(CONVERTER_EXE, {"-q", "-palette", path("p.pal"), "-transparent", "ff00ff:0", "-dither", "-o",
                                       path("out/k.pcx"), path(in)}, scratch);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        expectKeyOnlyAtIndex(dir / in, dir / "out/k.pcx", 0);
    }
    Ran r = runProgram(CONVERTER_EXE, {"-q", "-palette", path("p.pal"), "-transparent", "ff00ff:0", "-outdir", path("out"),
                                       path("in32.pcx"), path("in24.pcx")}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    pcx::Image a, o;
    pcx::Limits alpha;
    alpha.keepAlpha = true;
    ASSERT_EQ(pcx::decodeFile(path("in32.pcx"), a, alpha), pcx::Error::None);
    ASSERT_EQ(pcx::decodeFile(path("out/in32.pcx"), o), pcx::Error::None);
    size_t seeThrough = 0;
    for (size_t i = 0; i < 40; ++i) {
        const uint8_t* px = &a.pixels[4 * i];
        const bool key = px[3] < 128 || (px[0] == 255 && px[1] == 0 && px[2] == 255);
        seeThrough += px[3] < 128;
        EXPECT_EQ(o.pixels[i] == 0, key) << "pixel " << i;
    }
    EXPECT_GT(seeThrough, 0u);

    // -transparent without :I is index 0 in a shared palette, as the help says.
    writeFile(dir / "s1.pcx", sprite(1));
    writeFile(dir / "s2.pcx", sprite(2));
    r = runProgram(CONVERTER_EXE, {"-q", "-shared", "-colors", "16", "-transparent", "ff00ff", "-outdir", path("out"),
                                   path("s1.pcx"), path("s2.pcx")}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    expectKeyOnlyAtIndex(dir / "s1.pcx", dir / "out/s1.pcx", 0);
    expectKeyOnlyAtIndex(dir / "s2.pcx", dir / "out/s2.pcx", 0);

    // A game's palette: every pixel of a photo at its nearest entry, none moved for longer runs.
    pcx::PaletteFile g;
    ASSERT_EQ(pcx::readPaletteFile(game, g), "");
    const std::string photo = data + "/pillow_24bit.pcx";
    r = runProgram(CONVERTER_EXE, {"-q", "-palette", game, "-outdir", path("out"), photo, path("s1.pcx")}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    pcx::Image in, mapped;
    ASSERT_EQ(pcx::decodeFile(photo, in), pcx::Error::None);
    ASSERT_FALSE(in.indexed);
    ASSERT_EQ(pcx::decodeFile(path("out/pillow_24bit.pcx"), mapped), pcx::Error::None);
    size_t wrong = 0;
    for (uint32_t y = 0; y < in.height; ++y)
        for (uint32_t x = 0; x < in.width; ++x) {
            const Rgb c = in.at(x, y);
            size_t best = 0;
            int bestDistance = INT32_MAX;
            for (size_t e = 0; e < g.entries.size(); ++e) {
                const int dr = c.r - g.entries[e].r, dg = c.g - g.entries[e].g, db = c.b - g.entries[e].b;
                if (const int d = dr * dr + dg * dg + db * db; d < bestDistance) {
                    bestDistance = d;
                    best = e;
                }
            }
            wrong += mapped.pixels[size_t(y) * in.width + x] != best;
        }
    EXPECT_EQ(wrong, 0u);
}

TEST(PaletteForms, EveryExampleOfTheHelpRunsAsWrittenInAnEmptyFolderTwiceAlike)
{
    const std::string bin = fs::path(CONVERTER_EXE).parent_path().string();
    const auto tree = [](const fs::path& root) {
        std::map<std::string, std::vector<uint8_t>> files;
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file())
                files[fs::relative(e.path(), root).string()] = readFile(e.path());
        return files;
    };
    std::istringstream help(pcx::usageText());
    int examples = 0;
    for (std::string line; std::getline(help, line);) {
        if (line.size() < 23 || line.compare(0, 22, std::string(22, ' ')) != 0 || line[22] == ' ')
            continue;
        const std::string example = line.substr(22);
        ++examples;
        SCOPED_TRACE(example);
        TempDir dir, scratch;
        // The inputs it names: two sprites a pattern or a folder find searches, the palettes.
        std::istringstream words(example);
        std::string before;
        for (std::string w; words >> w; before = w) {
            if (before == "-palette" && w.ends_with(".act")) {
                writeFile(dir / w, pcx::paletteBytes(std::vector<Rgb>(256, Rgb{30, 60, 90}), pcx::PaletteFormat::Act, -1));
            } else if (before == "-palette") {
                std::vector<uint8_t> vga(768);
                for (size_t i = 0; i < vga.size(); ++i)
                    vga[i] = uint8_t(i * 5 % 64);
                writeFile(dir / w, vga);
            } else if (before == "find" || (w.find("*.pcx") != std::string::npos && w[0] != '\'')) {
                const std::string stem = before == "find" ? w + "/" : w.substr(0, w.find('*'));
                fs::create_directories((dir / (stem + "x")).parent_path());
                for (unsigned k = 1; k <= 2; ++k)
                    writeFile(dir / (stem + std::to_string(k) + ".pcx"), sprite(k));
            }
        }
        const auto runIt = [&] {
            const std::string cmd = "cd " + shellQuote(dir.path().string()) + " && PATH=" + shellQuote(bin) +
                                    ":\"$PATH\" timeout 120 sh -c " + shellQuote(example) + " >/dev/null 2>" +
                                    shellQuote((scratch / "err").string());
            const int status = std::system(cmd.c_str());
            const auto err = readFile(scratch / "err");
            return std::pair{WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(err.begin(), err.end())};
        };
        const size_t given = tree(dir.path()).size();
        const auto first = runIt();
        const auto once = tree(dir.path());
        const auto second = runIt();
        EXPECT_EQ(first.first, 0) << first.second;
        EXPECT_EQ(second.first, 0) << second.second;
        EXPECT_GT(once.size(), given);
        EXPECT_TRUE(tree(dir.path()) == once);
    }
    EXPECT_GE(examples, 9);
}

TEST(Depth, EveryChosenEntryIsOnTheGridAndNoTwoAreAlike)
{
    TempDir dir, scratch;
    const std::string photo = data + "/pillow_24bit.pcx";
    writeFile(dir / "s.pcx", sprite(3));
    const std::string gpl = "GIMP Palette\n0 0 0\n255 255 255\n0 0 255\n255 0 255\n9 9 9\n";
    writeFile(dir / "six.gpl", std::vector<uint8_t>(gpl.begin(), gpl.end()));
    // The used entries of a per-file output, or every listed entry of a palette file.
    auto entriesOf = [](const fs::path& f) {
        std::vector<Rgb> used;
        pcx::Image img;
        if (f.extension() == ".act") {
            pcx::PaletteFile p;
            EXPECT_EQ(pcx::readPaletteFile(f.string(), p), "");
            return p.entries;
        }
        EXPECT_EQ(pcx::decodeFile(f.string(), img), pcx::Error::None);
        std::vector<bool> seen(256);
        for (uint8_t i : img.pixels)
            if (!seen[i] && (seen[i] = true))
                used.push_back(img.palette[i]);
        return used;
    };
    auto onGrid = [](uint8_t v, int depth) {
        const int top = (1 << depth) - 1;
        return v == uint8_t(std::lround(std::lround(v * top / 255.0) * 255.0 / top));
    };
    for (const int depth : {1, 3, 6}) {
        const std::string d = std::to_string(depth), act = (dir / "set.act").string();
        const std::vector<std::pair<std::vector<std::string>, fs::path>> forms = {
            {{"-colors", "256", "-o", (dir / "a.pcx").string(), photo}, dir / "a.pcx"},
            {{"-colors", "16", "-dither", "-o", (dir / "b.pcx").string(), photo}, dir / "b.pcx"},
            {{"-colors", "7", "-o", (dir / "c.pcx").string(), (dir / "s.pcx").string()}, dir / "c.pcx"},
            {{"-colors", "256", "-o", (dir / "d.pcx").string(), data + "/allegro_mysha.pcx"}, dir / "d.pcx"},
            {{"-shared", "-colors", "32", "-transparent", "ff00ff:0", "-palette-out", act, photo, (dir / "s.pcx").string()}, act},
            {{"-palette", (dir / "six.gpl").string(), "-free", "4-20", "-o", (dir / "e.pcx").string(), photo}, dir / "e.pcx"},
        };
        for (const auto& [args, out] : forms) {
            std::vector<std::string> all = {"-q", "-depth", d};
            all.insert(all.end(), args.begin(), args.end());
            const Ran r = runProgram(CONVERTER_EXE, all, scratch);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            const std::vector<Rgb> entries = entriesOf(out);
            EXPECT_LE(entries.size(), size_t(1) << (3 * depth)) << out;
            std::set<std::tuple<int, int, int>> distinct;
            for (const Rgb c : entries) {
                EXPECT_TRUE(onGrid(c.r, depth) && onGrid(c.g, depth) && onGrid(c.b, depth))
                    << out << " -depth " << depth << ": " << int(c.r) << " " << int(c.g) << " " << int(c.b);
                distinct.insert({c.r, c.g, c.b});
            }
            EXPECT_EQ(distinct.size(), entries.size()) << out << " -depth " << depth;
        }
    }
    // Eight bits is what the converter always did.
    for (const char* f : {"/pillow_24bit.pcx", "/allegro_mysha.pcx"}) {
        ASSERT_EQ(runProgram(CONVERTER_EXE, {"-q", "-colors", "16", "-o", (dir / "8.pcx").string(), data + f}, scratch).exitCode, 0);
        ASSERT_EQ(runProgram(CONVERTER_EXE, {"-q", "-depth", "8", "-colors", "16", "-o", (dir / "d8.pcx").string(), data + f}, scratch).exitCode, 0);
        EXPECT_EQ(readFile(dir / "8.pcx"), readFile(dir / "d8.pcx")) << f;
    }
}

TEST(Depth, NoStepOfAnEntryToANeighbouringGridPointLowersTheError)
{
    // A palette rounded to the grid afterwards leaves such steps; one chosen on it does not.
    TempDir dir, scratch;
    const std::string photo = data + "/pillow_24bit.pcx";
    pcx::Image in;
    ASSERT_EQ(pcx::decodeFile(photo, in), pcx::Error::None);
    auto error = [&](const std::vector<Rgb>& palette) {
        uint64_t total = 0;
        for (uint32_t y = 0; y < in.height; ++y)
            for (uint32_t x = 0; x < in.width; ++x) {
                const Rgb c = in.at(x, y);
                int best = INT32_MAX;
                for (const Rgb p : palette)
                    best = std::min(best, (c.r - p.r) * (c.r - p.r) + (c.g - p.g) * (c.g - p.g) + (c.b - p.b) * (c.b - p.b));
                total += uint64_t(best);
            }
        return total;
    };
    for (const int depth : {3, 5}) {
        const std::string act = (dir / "p.act").string();
        ASSERT_EQ(runProgram(CONVERTER_EXE, {"-q", "-shared", "-colors", "12", "-depth", std::to_string(depth), "-palette-out", act, photo}, scratch).exitCode, 0);
        pcx::PaletteFile chosen;
        ASSERT_EQ(pcx::readPaletteFile(act, chosen), "");
        const uint64_t at = error(chosen.entries);
        const int top = (1 << depth) - 1;
        auto level = [&](uint8_t v) { return int(std::lround(v * top / 255.0)); };
        auto value = [&](int l) { return uint8_t(std::lround(l * 255.0 / top)); };
        for (size_t k = 0; k < chosen.entries.size(); ++k)
            for (int d = 0; d < 27; ++d) {
                const Rgb p = chosen.entries[k];
                const int l[3] = {level(p.r) + d % 3 - 1, level(p.g) + d / 3 % 3 - 1, level(p.b) + d / 9 - 1};
                if (d == 13 || std::min({l[0], l[1], l[2]}) < 0 || std::max({l[0], l[1], l[2]}) > top)
                    continue;
                std::vector<Rgb> moved = chosen.entries;
                moved[k] = Rgb{value(l[0]), value(l[1]), value(l[2])};
                if (std::find(chosen.entries.begin(), chosen.entries.end(), moved[k]) == chosen.entries.end()) {
                    EXPECT_GE(error(moved), at) << "-depth " << depth << ": entry " << k;
                }
            }
    }
}

TEST(Depth, FewColoursToFewEntriesOnACoarseGridGetTheBestPaletteThere)
{
    // Twelve colours to four entries on the 2-bit grid, where k-means and single steps stop short
    // of the best: every four of its 64 points are weighed.
    const std::vector<std::pair<Rgb, int>> colours = {
        {{34, 32, 204}, 37}, {{127, 151, 153}, 32}, {{182, 7, 124}, 33},  {{37, 102, 237}, 22},
        {{140, 18, 138}, 39}, {{33, 193, 242}, 39}, {{250, 159, 222}, 6}, {{94, 37, 130}, 8},
        {{113, 169, 254}, 13}, {{70, 219, 35}, 22}, {{89, 201, 63}, 33},  {{171, 117, 131}, 19}};
    std::vector<Rgb> pixels;
    for (const auto& [c, n] : colours)
        pixels.insert(pixels.end(), size_t(n), c);
    Crafted c;
    c.planes = 3;
    c.xmax = uint16_t(pixels.size() - 1);
    c.bytesPerLine = uint16_t(pixels.size() + pixels.size() % 2);
    std::vector<uint8_t> line(3 * size_t(c.bytesPerLine));
    for (size_t x = 0; x < pixels.size(); ++x) {
        line[x] = pixels[x].r;
        line[c.bytesPerLine + x] = pixels[x].g;
        line[2 * c.bytesPerLine + x] = pixels[x].b;
    }
    c.lines.push_back(line);
    TempDir dir, scratch;
    writeFile(dir / "in.pcx", c.bytes());
    auto distance = [](Rgb p, Rgb q) { return (p.r - q.r) * (p.r - q.r) + (p.g - q.g) * (p.g - q.g) + (p.b - q.b) * (p.b - q.b); };
    auto error = [&](const std::vector<Rgb>& palette) {
        uint64_t total = 0;
        for (const auto& [p, n] : colours) {
            int best = INT_MAX;
            for (const Rgb q : palette)
                best = std::min(best, distance(p, q));
            total += uint64_t(best) * uint64_t(n);
        }
        return total;
    };
    std::array<std::array<uint64_t, 64>, 12> cost;
    for (size_t i = 0; i < 12; ++i)
        for (size_t g = 0; g < 64; ++g)
            cost[i][g] = uint64_t(colours[i].second) *
                         uint64_t(distance(colours[i].first, Rgb{uint8_t(g % 4 * 85), uint8_t(g / 4 % 4 * 85), uint8_t(g / 16 * 85)}));
    uint64_t best = UINT64_MAX;
    for (size_t a = 0; a < 64; ++a)
        for (size_t b = a + 1; b < 64; ++b)
            for (size_t d = b + 1; d < 64; ++d)
                for (size_t e = d + 1; e < 64; ++e) {
                    uint64_t total = 0;
                    for (size_t i = 0; i < 12; ++i)
                        total += std::min({cost[i][a], cost[i][b], cost[i][d], cost[i][e]});
                    best = std::min(best, total);
                }
    const std::string act = (dir / "p.act").string();
    ASSERT_EQ(runProgram(CONVERTER_EXE, {"-q", "-colors", "4", "-depth", "2", "-o", (dir / "o.pcx").string(), (dir / "in.pcx").string()}, scratch).exitCode, 0);
    ASSERT_EQ(runProgram(CONVERTER_EXE, {"-q", "-shared", "-colors", "4", "-depth", "2", "-palette-out", act, (dir / "in.pcx").string()}, scratch).exitCode, 0);
    pcx::Image out;
    ASSERT_EQ(pcx::decodeFile((dir / "o.pcx").string(), out), pcx::Error::None);
    pcx::PaletteFile shared;
    ASSERT_EQ(pcx::readPaletteFile(act, shared), "");
    std::vector<Rgb> used;
    for (const uint8_t i : out.pixels)
        used.push_back(out.palette[i]);
    EXPECT_EQ(error(used), best);
    EXPECT_EQ(error(shared.entries), best);
}

namespace {

// Runs the converter in folder, so that inputs can be named relative to it.
Ran runIn(const fs::path& folder, const std::vector<std::string>& args, const TempDir& scratch)
{
    std::vector<std::string> all = {"-c", "cd \"$1\" && shift && exec \"$@\"", "sh", folder.string(), CONVERTER_EXE};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram("/bin/sh", all, scratch);
}

}  // namespace

TEST(Parents, EachOutputGoesWhereItsInputIsBelowTheFolder)
{
    TempDir dir, scratch;
    for (const char* f : {"walk/1.pcx", "run/1.pcx", "a/b/c.pcx"}) {
        fs::create_directories((dir / f).parent_path());
        writeFile(dir / f, sprite(unsigned(std::strlen(f))));
    }
    fs::create_directories(dir / "out");
    Ran r = runIn(dir.path(), {"-q", "-parents", "-colors", "4", "-outdir", "out", "walk/1.pcx", "./run//1.pcx", "a/b/../b/c.pcx"}, scratch);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* f : {"walk/1.pcx", "run/1.pcx", "a/b/c.pcx"}) {
        ASSERT_EQ(runProgram(CONVERTER_EXE, {"-q", "-colors", "4", "-o", (dir / "one.pcx").string(), (dir / f).string()}, scratch).exitCode, 0);
        EXPECT_EQ(readFile(dir / "out" / f), readFile(dir / "one.pcx")) << f;
    }
    EXPECT_EQ(entriesIn(dir / "out"), 3u);
    // Without it the two 1.pcx meet, as they always did; with it, two names of one path meet.
    r = runIn(dir.path(), {"-outdir", "out", "walk/1.pcx", "run/1.pcx"}, scratch);
    EXPECT_EQ(r.exitCode, 2);
    r = runIn(dir.path(), {"-parents", "-outdir", "out", "walk/1.pcx", "./walk//1.pcx"}, scratch);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "palettrim-convert: two inputs named walk/1.pcx (walk/1.pcx and ./walk//1.pcx) would make one output in out (see --help)\n");
    r = runIn(dir.path() / "walk", {"-parents", "-outdir", "../out", "../run/1.pcx"}, scratch);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "palettrim-convert: -parents keeps relative paths below -outdir; ../run/1.pcx climbs out with .. (see --help)\n");
    // A file where a folder must go fails that output alone.
    fs::remove_all(dir / "out");
    fs::create_directories(dir / "out");
    writeFile(dir / "out/walk", {1});
    r = runIn(dir.path(), {"-q", "-parents", "-outdir", "out", "walk/1.pcx", "a/b/c.pcx"}, scratch);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "palettrim-convert: out/walk: not a folder\n");
    EXPECT_TRUE(fs::exists(dir / "out/a/b/c.pcx"));
    EXPECT_EQ(readFile(dir / "out/walk"), std::vector<uint8_t>{1});
}

TEST(SameBytes, EveryFormWhateverTheThreadsAndTheOrderOfTheInputs)
{
    TempDir dir, scratch;
    std::vector<std::string> inputs = testInputs();
    for (unsigned s = 0; s < 4; ++s) {
        inputs.push_back((dir / ("sprite" + std::to_string(s) + ".pcx")).string());
        writeFile(inputs.back(), sprite(s));
    }
    // Large enough to be split between threads: a gradient with noise, more colours than any palette.
    Crafted big;
    big.planes = 3;
    big.xmax = 639;
    big.ymax = 479;
    big.bytesPerLine = 640;
    uint32_t seed = 7;
    for (unsigned y = 0; y < 480; ++y) {
        std::vector<uint8_t> line(3 * 640);
        for (unsigned x = 0; x < 640; ++x)
            for (unsigned k = 0; k < 3; ++k) {
                seed = seed * 1664525u + 1013904223u;
                line[k * 640 + x] = uint8_t((k == 0 ? x * 255 / 639 : k == 1 ? y * 255 / 479 : (x + y) / 5) + (seed >> 29));
            }
        big.lines.push_back(line);
    }
    inputs.push_back((dir / "big.pcx").string());
    writeFile(inputs.back(), big.bytes());
    std::vector<std::string> reversed(inputs.rbegin(), inputs.rend());
    const std::vector<std::vector<std::string>> forms = {
        {"-colors", "64"},
        {"-colors", "16", "-dither", "-depth", "5"},
        {"-shared", "-colors", "200", "-transparent", "ff00ff:0"},
        {"-shared", "-colors", "48", "-depth", "4"},
        {"-palette", game, "-free", "200-255", "-shared"},
        {"-palette", game, "-transparent", "ff00ff", "-dither"},
        {"-colors", "32", "-dither", "pattern", "-match", "oklab", "-depth", "6"},
        {"-shared", "-colors", "64", "-dither", "pattern"},
        {"-palette", game, "-protect", "224-255", "-match", "oklab", "-dither", "pattern"},
    };
    for (const auto& form : forms) {
        std::vector<std::vector<uint8_t>> first;
        for (const bool again : {false, true}) {
            const fs::path out = dir / (again ? "again" : "first");
            fs::remove_all(out);
            fs::create_directories(out);
            std::vector<std::string> args = {again ? "OMP_NUM_THREADS=8" : "OMP_NUM_THREADS=1", CONVERTER_EXE, "-q", "-outdir", out.string()};
            args.insert(args.end(), form.begin(), form.end());
            const auto& order = again ? reversed : inputs;
            args.insert(args.end(), order.begin(), order.end());
            const Ran r = runProgram("/usr/bin/env", args, scratch);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            for (size_t i = 0; i < inputs.size(); ++i) {
                const auto bytes = readFile(out / fs::path(inputs[i]).filename());
                if (!again)
                    first.push_back(bytes);
                else
                    EXPECT_EQ(bytes, first[i]) << form[0] << " " << form[1] << " " << inputs[i];
            }
        }
    }
}

TEST(AtomicFile, ASignalRemovesEveryFileBeingWritten)
{
    // Files converted side by side are written at once; a stop removes all of them.
    TempDir dir;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        pcx::AtomicFile a((dir / "a.pcx").string()), b((dir / "b.pcx").string(), false);
        const uint8_t bytes[] = {1, 2, 3};
        if (!a.open() || !b.open() || !a.write(bytes, 3) || !b.write(bytes, 3))
            _exit(2);
        raise(SIGTERM);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(entriesIn(dir.path()), 0u);
}

// The pairs form: each output named by the caller, written as the one-file form writes it, with
// a start and an end line per pair that the program reads back.
TEST(PairsForm, EachPairAsTheOneFileFormWouldMakeItWithItsStartAndEndLines)
{
    TempDir dir, scratch;
    const std::string odd = (dir / "line\nbreak\\.pcx").string();
    writeFile(odd, sprite(1));
    const std::string in = data + "/sdl_sample.pcx", missing = (dir / "missing.pcx").string();
    const std::vector<std::string> names = {in, (dir / "a.pcx").string(), missing, (dir / "b.pcx").string(), odd,
                                            (dir / "c.pcx").string()};
    std::string list;
    for (const auto& n : names)
        list += n + '\0';
    writeFile(dir / "pairs", std::vector<uint8_t>(list.begin(), list.end()));
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-colors", "16"}, {"-c", "0", "-dither", "-colors", "4", "-no-sync"},
          {"-palette", game, "-transparent", "ff00ff"}}) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-q", "-pairs0-from", "-"});
        const Ran r = runProgram(CONVERTER_EXE, args, scratch, (dir / "pairs").string());
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out, "");
        const auto size = [&](const char* name) { return std::to_string(fs::file_size(dir / name)); };
        const std::string own = "palettrim-convert: ";
        EXPECT_EQ(r.err, own + "#1 start " + in + "\n" + own + "#1 ok " + size("a.pcx") + "\n" + own + "#2 start " + missing +
                             "\n" + own + "#2 failed: " + missing + ": cannot open the file\n" + own + "#3 start " +
                             dir.path().string() + "/line\\nbreak\\\\.pcx\n" + own + "#3 ok " + size("c.pcx") + "\n");
        EXPECT_FALSE(fs::exists(dir / "b.pcx"));
        for (const auto& [input, output] : {std::pair{in, "a.pcx"}, std::pair{odd, "c.pcx"}}) {
            // Written without waiting for the disk, the same bytes as with.
            std::vector<std::string> one;
            std::copy_if(options.begin(), options.end(), std::back_inserter(one), [](const std::string& o) { return o != "-no-sync"; });
            one.insert(one.end(), {"-q", "-o", (dir / "one.pcx").string(), input});
            ASSERT_EQ(runProgram(CONVERTER_EXE, one, scratch).exitCode, 0);
            EXPECT_EQ(readFile(dir / output), readFile(dir / "one.pcx")) << output;
        }
    }

    // Read back by the program: every line of the form and nothing else.
    lines::PairLine said;
    ASSERT_TRUE(lines::parsePairLine(lines::pairFailedLine(12, "a\nb: c\\d\x01"), said));
    EXPECT_EQ(said.kind, lines::PairLine::Failed);
    EXPECT_EQ(said.place, 12u);
    EXPECT_EQ(said.text, "a\nb: c\\d\x01");
    ASSERT_TRUE(lines::parsePairLine(lines::pairStartLine(3, "ok 7"), said));
    EXPECT_EQ(said.kind, lines::PairLine::Start);
    EXPECT_EQ(said.text, "ok 7");
    ASSERT_TRUE(lines::parsePairLine(lines::pairEndLine(3, 1234), said));
    EXPECT_EQ(said.kind, lines::PairLine::Ok);
    EXPECT_EQ(said.bytes, 1234u);
    for (const char* other : {"3/4 a.pcx", "#0 ok 1", "# ok 1", "#3 ok", "#3 ok 1x", "#3 done", "#3 start a\\", "#3 start a\\q",
                              "a.pcx: cannot open the file"})
        EXPECT_FALSE(lines::parsePairLine(other, said)) << other;
}

TEST(PairsForm, OptionsOfOtherFormsAndAnInputWithoutItsOutputAreUsageErrors)
{
    TempDir dir, scratch;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-pairs0-from", "-", "in.pcx"}, {"-o", "o.pcx", "-pairs0-from", "-"},
          {"-outdir", dir.path().string(), "-pairs0-from", "-"}, {"-shared", "-pairs0-from", "-"},
          {"-colors", "16", "-palette", game, "-pairs0-from", "-"},
          {"-pairs0-from"}}) {
        const Ran r = runProgram(CONVERTER_EXE, args, scratch);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_NE(r.err.find("(see --help)\n"), std::string::npos) << r.err;
    }
    const std::string list = data + "/sdl_sample.pcx" + '\0' + (dir / "a.pcx").string() + '\0' + data + "/sdl_sample.pcx" + '\0';
    writeFile(dir / "pairs", std::vector<uint8_t>(list.begin(), list.end()));
    const Ran r = runProgram(CONVERTER_EXE, {"-q", "-pairs0-from", (dir / "pairs").string()}, scratch);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(fs::exists(dir / "a.pcx"));
    EXPECT_NE(r.err.find("#2 failed: " + (dir / "pairs").string() + ": the last input has no output name\n"), std::string::npos)
        << r.err;
}
