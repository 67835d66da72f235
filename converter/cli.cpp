// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli.h"

#include "atomic_file.h"
#include "batch.h"
#include "grid_palette.h"
#include "layout_choice.h"
#include "palette_map.h"
#include "pcx.h"
#include "pooled.h"
#include "reduce.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifndef PALETTRIM_VERSION
#define PALETTRIM_VERSION "1.0.0"
#endif

namespace pcx {

namespace {

// A whole number written as any decimal real ("16", "16.0", "1.6e1"); nothing else.
bool parseCount(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 32)
        return false;
    for (char c : text)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'))
            return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno || end != text.c_str() + text.size() || !std::isfinite(v) || v != std::floor(v) || v < -1e6 || v > 1e6)
        return false;
    value = int(v);
    return true;
}

// "A-B", two indices 0 to 255 with A at most B.
bool parseRange(const std::string& text, int& first, int& last)
{
    const size_t dash = text.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == text.size() || text.size() > 7)
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != dash && !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    first = std::stoi(text.substr(0, dash));
    last = std::stoi(text.substr(dash + 1));
    return first <= last && last <= 255;
}

// "RRGGBB" or "RRGGBB:I" in hexadecimal digits, I an index 0 to 255.
bool parseKey(const std::string& text, Rgb& colour, int& index)
{
    if (text.size() < 6 || (text.size() > 6 && (text[6] != ':' || text.size() < 8 || text.size() > 10)))
        return false;
    for (size_t i = 0; i < 6; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    const unsigned long v = std::stoul(text.substr(0, 6), nullptr, 16);
    colour = Rgb{uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    index = -1;
    if (text.size() > 6) {
        for (size_t i = 7; i < text.size(); ++i)
            if (!std::isdigit(static_cast<unsigned char>(text[i])))
                return false;
        index = std::stoi(text.substr(7));
        if (index > 255)
            return false;
    }
    return true;
}

}  // namespace

std::string usageText()
{
    return "usage: palettrim-convert [-colors N] [-c 0|1] [-dither] [-renumber] [-speed S] [-q] -o OUT [--] IN\n"
           "       palettrim-convert [opts] -outdir DIR IN...             each file its own palette\n"
           "       palettrim-convert [opts] -shared -outdir DIR IN...     one palette for all\n"
           "       palettrim-convert [opts] -shared -palette-out P IN...  only that palette\n"
           "       palettrim-convert [opts] -palette P (-o OUT IN | -outdir DIR IN...)\n"
           "       palettrim-convert -palette P -palette-out Q            check a palette file\n"
           "Reduces the PCX image IN to at most N colours (2 to 256, default 256) and writes it as\n"
           "the smallest PCX file to OUT; nothing is left at OUT when it fails. IN - reads standard\n"
           "input and OUT - writes standard output (./- names a file called -).\n"
           "  -colors N   at most N colours\n"
           "  -c 1        run-length compression (default); -c 0 writes uncompressed, which\n"
           "              ImageMagick and GraphicsMagick read, netpbm refuses and Pillow misreads\n"
           "  -o OUT      the output file, PCX whatever its name\n"
           "  -dither     Floyd-Steinberg dithering (off by default)\n"
           "  -renumber   a palette picture that uses at most N entries may be renumbered for a\n"
           "              smaller file; without it every pixel keeps its index, every entry its colour\n"
           "  -speed S    quantiser speed, 1 (best) to 10 (fastest); default 4\n"
           "  -depth B    every chosen entry on the B-bit grid of each channel (1 to 8, default 8), as\n"
           "              the VGA's 6 bits take it; with -palette, every given entry must be on it\n"
           "  -q          quiet: print nothing but errors\n"
           "  --help      this text\n"
           "  --version   the version\n"
           "  --          ends the options, for an input whose name begins with '-'\n"
           "Sets of files and game palettes (every output 8-bit with a 256-entry palette at the end):\n"
           "  -outdir DIR       outputs in DIR under their input names, several files side by side\n"
           "                      palettrim-convert -colors 16 -outdir small/ sprites/*.pcx\n"
           "  -parents          with -outdir, each output at DIR/its input's relative path (folders made)\n"
           "                      palettrim-convert -parents -outdir small/ walk/*.pcx run/*.pcx\n"
           "  -shared           one palette for all inputs, the same block in every output\n"
           "                      palettrim-convert -shared -colors 256 -outdir out/ level1/*.pcx\n"
           "  -palette P        every output in palette P's entries, in its order (an 8-bit PCX or one of\n"
           "                    16 colours or fewer, JASC-PAL .pal, GIMP .gpl, .act or raw VGA .pal)\n"
           "                      palettrim-convert -palette game.pal -outdir out/ frames/*.pcx\n"
           "  -palette-out Q    writes the palette used to Q (.pal JASC, .gpl, .act, .pcx)\n"
           "                      palettrim-convert -shared -palette-out level1.act level1/*.pcx\n"
           "  -free A-B         with -palette: entries A to B are chosen for the inputs (at most -colors N)\n"
           "                      palettrim-convert -palette ui.act -free 16-255 -shared -outdir out/ *.pcx\n"
           "  -transparent RRGGBB[:I]  pixels of this colour (and of alpha below 128) take index I\n"
           "                    (default 0, or an .act file's own), and no other pixel does\n"
           "                      palettrim-convert -shared -transparent ff00ff:0 -outdir out/ walk*.pcx\n"
           "  -files0-from F    input names from F, each ended by a NUL ('-': standard input)\n"
           "                      find . -name '*.pcx' -print0 | palettrim-convert -shared -outdir o/ -files0-from -\n"
           "  -progress         a line on standard error as each file starts, \"palettrim-convert: 3/40 NAME\"\n"
           "                    (-shared -outdir reads each file twice, so twice as many lines)\n"
           "                      palettrim-convert -progress -shared -palette-out all.act sprites/*.pcx\n";
}

std::string versionText() { return "palettrim-convert " PALETTRIM_VERSION; }

Parsed parseArguments(const std::vector<std::string>& args, Options& o, std::string& message)
{
    o = Options{};
    bool haveOutput = false;
    size_t i = 0;
    auto value = [&](const std::string& name, std::string& out) {
        if (i + 1 >= args.size()) {
            message = "option " + name + " needs a value";
            return false;
        }
        out = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.empty() || a[0] != '-' || a == "-")
            break;
        std::string v;
        if (a == "--help" || a == "-h")
            return Parsed::Help;
        if (a == "--version")
            return Parsed::Version;
        if (a == "-colors") {
            if (!value(a, v))
                return Parsed::Error;
            int n = 0;
            if (!parseCount(v, n)) {
                message = "-colors needs a whole number, not \"" + v + "\"";
                return Parsed::Error;
            }
            if (n < 2 || n > 256) {
                message = "-colors must be 2 to 256, not " + v;
                return Parsed::Error;
            }
            o.colors = n;
            o.colorsGiven = true;
        } else if (a == "-c") {
            if (!value(a, v))
                return Parsed::Error;
            if (v != "0" && v != "1") {
                message = "-c must be 0 (uncompressed) or 1 (run-length), not \"" + v + "\"";
                return Parsed::Error;
            }
            o.rle = v == "1";
        } else if (a == "-o") {
            if (!value(a, v))
                return Parsed::Error;
            if (v.empty()) {
                message = "-o needs a file name";
                return Parsed::Error;
            }
            o.output = v;
            haveOutput = true;
        } else if (a == "-dither") {
            o.dither = true;
        } else if (a == "-q") {
            o.quiet = true;
        } else if (a == "-renumber") {
            o.renumber = true;
        } else if (a == "-shared") {
            o.shared = true;
        } else if (a == "-progress") {
            o.progress = true;
        } else if (a == "-parents") {
            o.parents = true;
        } else if (a == "-depth") {
            if (!value(a, v))
                return Parsed::Error;
            if (!parseCount(v, o.depth) || o.depth < 1 || o.depth > 8) {
                message = "-depth must be 1 to 8 bits a channel, not \"" + v + "\"";
                return Parsed::Error;
            }
        } else if (a == "-outdir" || a == "-palette" || a == "-palette-out" || a == "-files0-from") {
            if (!value(a, v))
                return Parsed::Error;
            if (v.empty()) {
                message = a + " needs a file name";
                return Parsed::Error;
            }
            (a == "-outdir" ? o.outdir : a == "-palette" ? o.palette : a == "-palette-out" ? o.paletteOut : o.files0From) = v;
        } else if (a == "-free") {
            if (!value(a, v))
                return Parsed::Error;
            if (!parseRange(v, o.freeFirst, o.freeLast)) {
                message = "-free needs entries A-B, 0 to 255 with A at most B, not \"" + v + "\"";
                return Parsed::Error;
            }
        } else if (a == "-transparent") {
            if (!value(a, v))
                return Parsed::Error;
            if (!parseKey(v, o.keyColour, o.keyIndex)) {
                message = "-transparent needs a colour RRGGBB (hexadecimal), optionally :I for index 0 to 255, not \"" + v + "\"";
                return Parsed::Error;
            }
            o.transparent = true;
        } else if (a == "-speed") {
            if (!value(a, v))
                return Parsed::Error;
            int n = 0;
            if (!parseCount(v, n) || n < 1 || n > 10) {
                message = "-speed must be 1 to 10";
                return Parsed::Error;
            }
            o.speed = n;
        } else {
            message = "unknown option " + a;
            return Parsed::Error;
        }
    }
    o.inputs.assign(args.begin() + long(i), args.end());
    if (!o.inputs.empty())
        o.input = o.inputs[0];
    if (!o.files0From.empty() && !o.inputs.empty()) {
        message = "input names come from -files0-from or the command line, not both (unexpected \"" + o.inputs[0] + "\")";
        return Parsed::Error;
    }
    if (std::find(o.inputs.begin(), o.inputs.end(), std::string()) != o.inputs.end()) {
        message = "the input file name is empty";
        return Parsed::Error;
    }
    if (beyondOneFile(o)) {
        message = formError(o);
        return message.empty() ? Parsed::Run : Parsed::Error;
    }
    if (o.inputs.empty()) {
        message = "no input file";
        return Parsed::Error;
    }
    if (o.inputs.size() > 1) {
        message = "one input file only; options go before it (unexpected \"" + o.inputs[1] + "\")";
        return Parsed::Error;
    }
    if (!haveOutput) {
        message = "no output file (-o OUT)";
        return Parsed::Error;
    }
    return Parsed::Run;
}

namespace {

const char* const stdinName = "standard input";
const char* const stdoutName = "standard output";

std::string shownName(const std::string& path, const char* stream) { return path == "-" ? stream : path; }

// The input's bytes: standard input's as read, a file's read again (it may have changed since).
// Empty when they are more than limit.
std::vector<uint8_t> inputBytes(const Options& o, std::vector<uint8_t>& piped, uint64_t limit)
{
    if (o.input == "-")
        return piped.size() <= limit ? std::move(piped) : std::vector<uint8_t>{};
    FileSource src(o.input);
    if (!src.isOpen() || src.size() > limit)
        return {};
    std::vector<uint8_t> bytes(size_t(src.size()));
    if (src.read(bytes.data(), bytes.size()) != bytes.size())
        return {};
    return bytes;
}

// The input's own bytes, when they still decode to the picture read before and are no more than
// limit bytes in the encoding asked for; empty otherwise.
std::vector<uint8_t> inputWorthKeeping(const Options& o, std::vector<uint8_t>& piped, const Image& decoded, uint64_t limit)
{
    std::vector<uint8_t> bytes = inputBytes(o, piped, limit);
    if (bytes.size() < 128 || bytes[2] != (o.rle ? 1 : 0))
        return {};
    Image again;
    if (decodeMemory(bytes.data(), bytes.size(), again) != Error::None || again.pixels != decoded.pixels ||
        again.palette != decoded.palette || again.width != decoded.width || again.height != decoded.height)
        return {};
    return bytes;
}

// Standard output gets the file only once it is whole, in one piece.
std::string writeToStandardOutput(const Image* image, Layout layout, bool rle, const std::vector<uint8_t>& bytes,
                                  uint64_t* written)
{
    VectorSink made;
    if (image) {
        if (Error e = encode(*image, layout, rle, made); e != Error::None)
            return std::string(stdoutName) + ": " + errorText(e);
    }
    const std::vector<uint8_t>& out = image ? made.bytes : bytes;
    if (written)
        *written = out.size();
    for (size_t at = 0; at < out.size();) {
        const ssize_t k = ::write(STDOUT_FILENO, out.data() + at, out.size() - at);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return std::string(stdoutName) + ": cannot write the output: " + std::strerror(errno);
        at += size_t(k);
    }
    return {};
}

// written, when given, gets the file's size.
std::string writeAtomically(const std::string& path, const Image* image, Layout layout, bool rle,
                            const std::vector<uint8_t>& bytes, uint64_t* written = nullptr)
{
    if (path == "-")
        return writeToStandardOutput(image, layout, rle, bytes, written);
    AtomicFile out(path);
    if (!out.open())
        return path + ": " + out.errorText();
    if (image) {
        if (Error e = encode(*image, layout, rle, out); e != Error::None)
            return path + ": " + (out.errorText().empty() ? errorText(e) : out.errorText());
    } else if (!out.write(bytes.data(), bytes.size())) {
        return path + ": " + out.errorText();
    }
    if (!out.commit())
        return path + ": " + out.errorText();
    if (written)
        *written = out.written();
    return {};
}

Error readInput(const Options& o, std::vector<uint8_t>& piped, Image& decoded, const Limits& limits = {})
{
    if (o.input != "-")
        return decodeFile(o.input, decoded, limits);
    if (Error e = readStream(STDIN_FILENO, piped); e != Error::None)
        return e;
    return decodeMemory(piped.data(), piped.size(), decoded, limits);
}

// The picture in the target's 256 entries, 8 bits a pixel; free entries left in the target are
// chosen for this picture alone.
std::string mapToPalette(const Options& o, const Image& decoded, const TargetPalette& target, Choice& best)
{
    TargetPalette t = target;
    if (t.freeCount) {
        ColourPool pool;
        pool.add(decoded, t);
        if (std::string err = fillFree(pool, o.speed ? o.speed : defaultSpeed, t, o.depth); !err.empty())
            return shownName(o.input, stdinName) + ": " + err;
    }
    if (!mapToTarget(decoded, t, o.dither, best.image))
        return shownName(o.input, stdinName) + ": the palette has no entry but the transparent one";
    // A palette made for the set is the converter's own, and so is the choice of entries; a given
    // one's entries mean what the game says, so every pixel there takes its nearest.
    if (o.shared && !o.dither)
        shortenRows(decoded, t, best.image, sharedByteWeight);
    best.layout = Layout::Byte;
    return {};
}

bool usedOnGrid(const Image& indexed, const Grid& grid)
{
    std::array<bool, 256> used{};
    for (uint8_t p : indexed.pixels)
        used[p] = true;
    for (size_t i = 0; i < indexed.palette.size(); ++i)
        if (used[i] && !grid.holds(indexed.palette[i]))
            return false;
    return true;
}

// An 8-bit file that carries its 256-entry palette at the end.
bool endsWithPaletteBlock(const std::vector<uint8_t>& bytes)
{
    return bytes.size() >= 128 + 769 && bytes[3] == 8 && bytes[65] == 1 && bytes[bytes.size() - 769] == 12;
}


}  // namespace

std::string nameWarning(const Options& o)
{
    const std::string& out = o.output;
    std::string end = out.size() >= 4 ? out.substr(out.size() - 4) : std::string();
    for (char& c : end)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (out == "-" || end == ".pcx")
        return {};
    return "warning: " + out + " is written as PCX whatever its name";
}

std::string convert(const Options& o, std::string* summary, const TargetPalette* target, Image* given)
{
    const std::string inName = shownName(o.input, stdinName);
    std::vector<uint8_t> piped;
    Image decoded;
    Limits limits;
    limits.keepAlpha = target && target->key >= 0;
    if (given)
        decoded = std::move(*given);
    else if (Error e = readInput(o, piped, decoded, limits); e != Error::None)
        return inName + ": " + errorText(e);
    if (target) {
        Choice best;
        if (std::string err = mapToPalette(o, decoded, *target, best); !err.empty())
            return err;
        // An input in exactly that palette and layout keeps its own bytes.
        std::vector<uint8_t> kept;
        if (decoded.indexed && decoded.palette == best.image.palette && decoded.pixels == best.image.pixels)
            kept = inputWorthKeeping(o, piped, decoded, UINT64_MAX);
        if (!endsWithPaletteBlock(kept))
            kept.clear();
        decoded = Image{};
        piped = {};
        uint64_t written = 0;
        if (std::string err =
                writeAtomically(o.output, kept.empty() ? &best.image : nullptr, best.layout, o.rle, kept, &written);
            !err.empty())
            return err;
        if (summary)
            *summary = shownName(o.output, stdoutName) + ": 256-entry palette, 8-bit, " +
                       (kept.empty() ? std::to_string(written) + " bytes" : "the input's own " + std::to_string(kept.size()) + " bytes");
        return {};
    }

    std::vector<Rgb> colours;
    const Grid grid(o.depth);
    const bool fits = distinctColours(decoded, size_t(o.colors), colours) &&
                      std::all_of(colours.begin(), colours.end(), [&](Rgb c) { return grid.holds(c); });
    // Where no colour is lost, the indices may be a game's data: they stay unless renumbering is asked for.
    const bool keepIndices = !o.renumber && decoded.indexed && usedEntries(decoded) <= size_t(o.colors) &&
                             usedOnGrid(decoded, grid);
    Choice best;
    if (keepIndices) {
        best = chooseKeepingIndices(Image(decoded), o.rle);
    } else {
        Image reduced;
        ReduceOptions ro;
        ro.colors = o.colors;
        ro.dither = o.dither;
        ro.speed = o.speed;
        ro.depth = o.depth;
        if (ReduceError e = reduce(decoded, ro, reduced); e != ReduceError::None)
            return inName + ": " + errorText(e);
        best = chooseSmallest(std::move(reduced), o.rle);
    }
    if (best.size == 0)
        return inName + ": no layout can hold the reduced image";
    // A picture that needs no reduction keeps its own file when that is the smaller one.
    const std::vector<uint8_t> kept =
        fits ? inputWorthKeeping(o, piped, decoded, best.size) : std::vector<uint8_t>{};
    decoded = Image{};  // the memory goes to the encoder from here on
    piped = {};
    if (std::string err = writeAtomically(o.output, kept.empty() ? &best.image : nullptr, best.layout, o.rle, kept);
        !err.empty())
        return err;
    if (summary) {
        *summary = shownName(o.output, stdoutName) + ": " + std::to_string(usedEntries(best.image)) + " colours, ";
        *summary += kept.empty() ? std::string(layoutName(best.layout)) + ", " + std::to_string(best.size) + " bytes"
                                 : "the input's own " + std::to_string(kept.size()) + " bytes (smaller than any rewrite)";
    }
    return {};
}

int runConverter(int argc, char** argv, void (*beforeConverting)(char** argv))
{
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    Options o;
    std::string message;
    switch (parseArguments(args, o, message)) {
    case Parsed::Help:
        std::fputs(usageText().c_str(), stdout);
        return 0;
    case Parsed::Version:
        std::printf("%s\n", versionText().c_str());
        return 0;
    case Parsed::Error:
        std::fprintf(stderr, "palettrim-convert: %s (see --help)\n", message.c_str());
        return 2;
    case Parsed::Run:
        break;
    }
    if (beforeConverting)
        beforeConverting(argv);
    if (beyondOneFile(o))
        return runBatch(o);
    std::string summary;
    const std::string err = convert(o, &summary);
    if (!err.empty()) {
        std::fprintf(stderr, "palettrim-convert: %s\n", err.c_str());
        return 1;
    }
    if (!o.quiet) {
        // Standard output may be the picture itself.
        std::fprintf(o.output == "-" ? stderr : stdout, "%s\n", summary.c_str());
        if (const std::string warning = nameWarning(o); !warning.empty())
            std::fprintf(stderr, "%s\n", warning.c_str());
    }
    return 0;
}

}  // namespace pcx
