// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli.h"

#include "atomic_file.h"
#include "batch.h"
#include "grid_palette.h"
#include "layout_choice.h"
#include "lineformat.h"
#include "pairs.h"
#include "palette_file.h"
#include "palette_map.h"
#include "pcx.h"
#include "pooled.h"
#include "protect.h"
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


// Setters of the table: each takes the option's value and says what is wrong with it, or nothing.
std::string setColors(Options& o, const std::string& v)
{
    int n = 0;
    if (!parseCount(v, n))
        return "-colors needs a whole number, not \"" + lines::escapeName(v) + "\"";
    if (n < 2 || n > 256)
        return "-colors must be 2 to 256, not " + lines::escapeName(v);
    o.colors = n;
    o.colorsGiven = true;
    return {};
}

std::string setCompression(Options& o, const std::string& v)
{
    if (v != "0" && v != "1")
        return "-c must be 0 (uncompressed) or 1 (run-length), not \"" + lines::escapeName(v) + "\"";
    o.rle = v == "1";
    return {};
}

std::string setSpeed(Options& o, const std::string& v)
{
    int n = 0;
    if (!parseCount(v, n) || n < 1 || n > 10)
        return "-speed must be 1 to 10";
    o.speed = n;
    return {};
}

// A setter of a file name, which may not be empty.
template <std::string Options::*field, const char* name>
std::string setName(Options& o, const std::string& v)
{
    if (v.empty())
        return std::string(name) + " needs a file name";
    o.*field = v;
    return {};
}

template <bool Options::*field>
std::string setFlag(Options& o, const std::string&)
{
    o.*field = true;
    return {};
}

template <bool Options::*field>
std::string clearFlag(Options& o, const std::string&)
{
    o.*field = false;
    return {};
}

std::string setDepth(Options& o, const std::string& v)
{
    if (!parseCount(v, o.depth) || o.depth < 1 || o.depth > 8)
        return "-depth must be 1 to 8 bits a channel, not \"" + v + "\"";
    return {};
}

std::string setFree(Options& o, const std::string& v)
{
    if (!parseRange(v, o.freeFirst, o.freeLast))
        return "-free needs entries A-B, 0 to 255 with A at most B, not \"" + lines::escapeName(v) + "\"";
    return {};
}

std::string setTransparent(Options& o, const std::string& v)
{
    if (!parseKey(v, o.keyColour, o.keyIndex))
        return "-transparent needs a colour RRGGBB (hexadecimal), optionally :I for index 0 to 255, not \"" + lines::escapeName(v) + "\"";
    o.transparent = true;
    return {};
}

std::string setDither(Options& o, const std::string& v)
{
    if (v != "" && v != "diffuse" && v != "pattern")
        return "-dither is diffuse (the default) or pattern, not \"" + v + "\"";
    o.dither = v == "pattern" ? Dither::Pattern : Dither::Diffuse;
    return {};
}

std::string setMatch(Options& o, const std::string& v)
{
    if (v != "rgb" && v != "oklab")
        return "-match is rgb or oklab, not \"" + v + "\"";
    o.match = v == "oklab" ? Match::Oklab : Match::Rgb;
    return {};
}

std::string setProtect(Options& o, const std::string& v)
{
    if (!parseEntryList(v, o.protect))
        return "-protect needs entries such as 224-255 or 0,240-254 (0 to 255), not \"" + v + "\"";
    return {};
}

std::string setPaletteFormat(Options& o, const std::string& v)
{
    PaletteFormat f;
    if (!paletteFormatNamed(v, f))
        return "-palette-format is jasc, gimp, act, pcx, raw or vga, not \"" + lines::escapeName(v) + "\"";
    o.paletteFormat = f;
    return {};
}

constexpr char kOutput[] = "-o", kOutdir[] = "-outdir", kPalette[] = "-palette", kPaletteOut[] = "-palette-out",
               kFiles0From[] = "-files0-from", kPairs0From[] = "-pairs0-from";

using enum OptionGroup;

const OptionSpec optionRows[] = {
    {"-colors", "N", OneFile, "at most N colours", nullptr, setColors},
    {"-c", "0|1", OneFile,
     "1: run-length compression (default); 0: uncompressed, which\n"
     "ImageMagick and GraphicsMagick read, netpbm refuses and Pillow misreads",
     nullptr, setCompression},
    {"-o", "OUT", OneFile, "the output file, PCX whatever its name", nullptr, setName<&Options::output, kOutput>},
    {"-dither", "[diffuse|pattern]", OneFile,
     "dithering (off by default): diffuse, Floyd-Steinberg's error diffusion\n"
     "(the default), or pattern, a positional one: a pixel's entry depends on its\n"
     "colour and place alone, so what stands still in an animation keeps its indices",
     nullptr, setDither, Parsed::Run, nullptr, true},
    {"-match", "rgb|oklab", OneFile,
     "what nearest means when a colour is mapped to a palette: plain RGB distance\n"
     "(default) or the exact nearest in OKLab, closer to what the eye sees",
     nullptr, setMatch},
    {"-renumber", nullptr, OneFile,
     "a palette picture that uses at most N entries may be renumbered for a\n"
     "smaller file; without it every pixel keeps its index, every entry its colour",
     nullptr, setFlag<&Options::renumber>},
    {"-speed", "S", OneFile, "quantiser speed, 1 (best) to 10 (fastest); default 4", nullptr, setSpeed},
    {"-depth", "B", OneFile,
     "every chosen entry on the B-bit grid of each channel (1 to 8, default 8), as\n"
     "the VGA's 6 bits take it; with -palette, every given entry must be on it",
     nullptr, setDepth},
    {"-q", nullptr, OneFile, "quiet: print nothing but errors", nullptr, setFlag<&Options::quiet>},
    {"-no-sync", nullptr, OneFile,
     "outputs are not flushed to the disk before they take their names (for\n"
     "scratch copies a crash may lose); each still appears whole or not at all",
     nullptr, clearFlag<&Options::sync>},
    {"--help", nullptr, OneFile, "this text", nullptr, nullptr, Parsed::Help, "-h"},
    {"--version", nullptr, OneFile, "the version", nullptr, nullptr, Parsed::Version},
    {"--", nullptr, OneFile, "ends the options, for an input whose name begins with '-'", nullptr, nullptr},
    {"-outdir", "DIR", Sets, "outputs in DIR under their input names, several files side by side",
     "mkdir -p small && palettrim-convert -colors 16 -outdir small/ sprites/*.pcx", setName<&Options::outdir, kOutdir>},
    {"-parents", nullptr, Sets, "with -outdir: each output at DIR/its input's relative path, folders made",
     "mkdir -p small && palettrim-convert -parents -outdir small/ walk/*.pcx run/*.pcx", setFlag<&Options::parents>},
    {"-shared", nullptr, Sets, "one palette for all inputs, the same block in every output",
     "mkdir -p out && palettrim-convert -shared -colors 256 -outdir out/ level1/*.pcx", setFlag<&Options::shared>},
    {"-palette", "P", Sets,
     "every output in palette P's entries, in its order (an 8-bit PCX or one of\n"
     "16 colours or fewer, JASC-PAL .pal, GIMP .gpl, .act or raw VGA .pal)",
     "mkdir -p out && palettrim-convert -palette game.pal -outdir out/ frames/*.pcx", setName<&Options::palette, kPalette>},
    {"-palette-out", "Q", Sets, "writes the palette used to Q (.pal JASC, .gpl, .act, .pcx; else as below)",
     "palettrim-convert -shared -palette-out level1.act level1/*.pcx", setName<&Options::paletteOut, kPaletteOut>},
    {"-palette-format", "FORMAT", Sets,
     "-palette-out's format where its name says too little: jasc, gimp,\n"
     "act, pcx, raw (768 bytes of 8-bit values) or vga (768 bytes of 6-bit\n"
     "values, 0 to 63; every entry must be on that grid)",
     "palettrim-convert -palette game.pal -palette-format vga -palette-out game.dat", setPaletteFormat},
    {"-free", "A-B", Sets, "with -palette: entries A to B are chosen for the inputs (at most -colors N)",
     "mkdir -p out && palettrim-convert -palette ui.act -free 16-255 -shared -outdir out/ *.pcx", setFree},
    {"-transparent", "RRGGBB[:I]", Sets,
     "pixels of this colour (and of alpha below 128) take index I\n"
     "(default 0, or an .act file's own), and no other pixel does",
     "mkdir -p out && palettrim-convert -shared -transparent ff00ff:0 -outdir out/ walk*.pcx", setTransparent},
    {"-protect", "LIST", Sets,
     "with -palette: these entries (224-255, 0,240-254) go only to pixels of\n"
     "exactly their colour, and no chosen colour goes there",
     "mkdir -p out && palettrim-convert -palette quake.pal -protect 224-255 -outdir out/ skins/*.pcx", setProtect},
    {"-files0-from", "F", Sets, "input names from F, each ended by a NUL as find -print0 writes them\n('-': standard input)",
     "mkdir -p out && find sprites -name '*.pcx' -print0 | palettrim-convert -shared -outdir out/ -files0-from -",
     setName<&Options::files0From, kFiles0From>},
    {"-progress", nullptr, Sets,
     "a line on standard error as each file starts, \"palettrim-convert: 3/40 NAME\"\n"
     "(-shared -outdir reads each file twice, so twice as many lines)",
     "palettrim-convert -progress -shared -palette-out all.act sprites/*.pcx", setFlag<&Options::progress>},
    {"-pairs0-from", "F", Sets,
     "input and output names alternating from F, each ended by a NUL ('-': standard\n"
     "input, read as they come), each pair converted as -o OUT IN with the other options;\n"
     "on standard error \"palettrim-convert: #N start IN\" as pair N starts and\n"
     "\"#N ok BYTES\" or \"#N failed: REASON\" as it ends (names escaped)",
     "find sprites -name '*.pcx' -printf '%p\\0small-%f\\0' | palettrim-convert -colors 16 -pairs0-from -",
     setName<&Options::pairs0From, kPairs0From>},
};

// The rows of a group as the usage text lists them: the option in a column of its group's width,
// its help beside it, the example under it.
std::string optionLines(OptionGroup group)
{
    const size_t width = group == OneFile ? 12 : 18;
    const std::string indent(2 + width, ' ');
    std::string text;
    for (const OptionSpec& row : optionTable()) {
        if (row.group != group)
            continue;
        std::string left = std::string(row.name) + (row.argument ? std::string(" ") + row.argument : "");
        left += std::string(left.size() + 2 <= width ? width - left.size() : 2, ' ');
        text += "  " + left;
        for (const char* line = row.help; *line;) {
            const char* end = std::strchr(line, '\n');
            const size_t n = end ? size_t(end - line) : std::strlen(line);
            text += std::string(line, n) + "\n";
            line += n + (end ? 1 : 0);
            if (*line)
                text += indent;
        }
        if (row.example)
            text += indent + "  " + row.example + "\n";
    }
    return text;
}

}  // namespace

const std::vector<OptionSpec>& optionTable()
{
    static const std::vector<OptionSpec> rows(std::begin(optionRows), std::end(optionRows));
    return rows;
}

std::string usageText()
{
    return "usage: palettrim-convert [-colors N] [-c 0|1] [-dither] [-renumber] [-speed S] [-q] -o OUT [--] IN\n"
           "       palettrim-convert [opts] -outdir DIR IN...             each file its own palette\n"
           "       palettrim-convert [opts] -shared -outdir DIR IN...     one palette for all\n"
           "       palettrim-convert [opts] -shared -palette-out P IN...  only that palette\n"
           "       palettrim-convert [opts] -palette P (-o OUT IN | -outdir DIR IN...)\n"
           "       palettrim-convert -palette P -palette-out Q            check a palette file\n"
           "       palettrim-convert [opts] -pairs0-from F                IN and OUT pairs from F\n"
           "Reduces the PCX image IN to at most N colours (2 to 256, default 256) and writes it as\n"
           "the smallest PCX file to OUT; nothing is left at OUT when it fails. IN - reads standard\n"
           "input and OUT - writes standard output (./- names a file called -).\n" +
           optionLines(OneFile) +
           "Sets of files and game palettes (every output 8-bit with a 256-entry palette at the end):\n" +
           optionLines(Sets);
}

std::string versionText() { return "palettrim-convert " PALETTRIM_VERSION; }

std::string optionsError(const Options& o)
{
    if (!o.pairs0From.empty()) {
        if (!o.inputs.empty())
            return "input and output names come from -pairs0-from, not the command line (unexpected \"" + o.inputs[0] +
                   "\")";
        if (!o.output.empty() || !o.outdir.empty() || !o.files0From.empty() || o.shared || !o.paletteOut.empty())
            return "-pairs0-from names every output itself: -o, -outdir, -files0-from, -shared and -palette-out do not "
                   "go with it";
        // Every other option as the one-file form takes it.
        Options one = o;
        one.pairs0From.clear();
        one.progress = false;
        one.output = std::string(1, '-');
        one.input = one.output;
        one.inputs = {one.output};
        return optionsError(one);
    }
    if (!o.files0From.empty() && !o.inputs.empty())
        return "input names come from -files0-from or the command line, not both (unexpected \"" +
               lines::escapeName(o.inputs[0]) + "\")";
    if (std::find(o.inputs.begin(), o.inputs.end(), std::string()) != o.inputs.end())
        return "the input file name is empty";
    if (o.protect.any() && o.palette.empty())
        return "-protect needs -palette FILE: only a given palette's entries can be kept";
    if (!beyondOneFile(o)) {
        if (o.inputs.empty())
            return "no input file";
        if (o.inputs.size() > 1)
            return "one input file only; options go before it (unexpected \"" + lines::escapeName(o.inputs[1]) + "\")";
        if (o.output.empty())
            return "no output file (-o OUT)";
        return {};
    }
    const bool noInputs = o.inputs.empty() && o.files0From.empty();
    const bool check = !o.palette.empty() && !o.paletteOut.empty() && noInputs && o.output.empty() && o.outdir.empty();
    PaletteFormat format;
    if (o.paletteFormat && o.paletteOut.empty())
        return "-palette-format needs -palette-out FILE";
    if (!o.paletteOut.empty() && !o.paletteFormat && !paletteFormatFor(o.paletteOut, format))
        return "-palette-out writes .pal (JASC), .gpl, .act or .pcx, not \"" + lines::escapeName(o.paletteOut) +
               "\" (-palette-format names another)";
    if (check)
        return o.shared || o.freeFirst >= 0 || o.colorsGiven ? "checking a palette (-palette P -palette-out Q) takes no inputs to choose colours for" : "";
    if (!o.output.empty() && !o.outdir.empty())
        return "-o OUT and -outdir DIR do not go together";
    if (o.shared && !o.output.empty())
        return "-shared writes into -outdir DIR, not -o OUT";
    if (o.shared && o.outdir.empty() && o.paletteOut.empty())
        return "-shared needs -outdir DIR or -palette-out FILE";
    if (o.freeFirst >= 0 && o.palette.empty())
        return "-free A-B needs -palette FILE";
    if (o.parents && o.outdir.empty())
        return "-parents needs -outdir DIR";
    if (o.shared && !o.palette.empty() && o.freeFirst < 0)
        return "-shared with -palette needs -free A-B: a given palette is one for all already";
    if (o.colorsGiven && !o.palette.empty() && o.freeFirst < 0)
        return "-colors with -palette needs -free A-B: the given entries stay as they are";
    if (o.freeFirst >= 0 && o.colorsGiven && o.colors > o.freeLast - o.freeFirst + 1)
        return "-colors " + std::to_string(o.colors) + " is more than the " + std::to_string(o.freeLast - o.freeFirst + 1) +
               " entries of -free " + std::to_string(o.freeFirst) + "-" + std::to_string(o.freeLast);
    if (o.protect.any() && o.freeFirst >= 0)
        for (int i = o.freeFirst; i <= o.freeLast; ++i)
            if (o.protect[size_t(i)])
                return "-protect takes entry " + std::to_string(i) + ", which -free " + std::to_string(o.freeFirst) + "-" +
                       std::to_string(o.freeLast) + " leaves to be chosen";
    if (o.transparent && !o.shared && o.palette.empty())
        return "-transparent needs -shared or -palette";
    if (!o.paletteOut.empty() && !o.shared && o.palette.empty())
        return "-palette-out needs -shared or -palette";
    if (!o.paletteOut.empty() && o.freeFirst >= 0 && !o.shared)
        return "-palette-out with -free needs -shared: each file has free entries of its own otherwise";
    if (noInputs)
        return "no input file";
    if (o.outdir.empty() && o.output.empty() && !o.shared)
        return "no output file (-o OUT, or -outdir DIR for several)";
    if (!o.output.empty() && (o.inputs.size() > 1 || !o.files0From.empty()))
        return "one input file only with -o; several go with -outdir DIR";
    return {};
}

Parsed parseArguments(const std::vector<std::string>& args, Options& o, std::string& message)
{
    o = Options{};
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.empty() || a[0] != '-' || a == "-")
            break;
        const auto& table = optionTable();
        const auto row = std::find_if(table.begin(), table.end(),
                                      [&](const OptionSpec& r) { return a == r.name || (r.alias && a == r.alias); });
        if (row == table.end()) {
            message = "unknown option " + a;
            return Parsed::Error;
        }
        if (row->outcome != Parsed::Run)
            return row->outcome;
        std::string value;
        if (row->optionalArgument) {
            if (i + 1 < args.size() && row->set(o, args[i + 1]).empty())
                ++i;
            else
                (void)row->set(o, value);
            continue;
        }
        if (row->argument) {
            if (i + 1 >= args.size()) {
                message = "option " + a + " needs a value";
                return Parsed::Error;
            }
            value = args[++i];
        }
        if (message = row->set(o, value); !message.empty())
            return Parsed::Error;
        o.setsForm = o.setsForm || row->group == OptionGroup::Sets;
    }
    o.inputs.assign(args.begin() + long(i), args.end());
    if (!o.inputs.empty())
        o.input = o.inputs[0];
    message = optionsError(o);
    return message.empty() ? Parsed::Run : Parsed::Error;
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
            return lines::aboutFile(stdoutName, errorText(e));
    }
    const std::vector<uint8_t>& out = image ? made.bytes : bytes;
    if (written)
        *written = out.size();
    for (size_t at = 0; at < out.size();) {
        const ssize_t k = ::write(STDOUT_FILENO, out.data() + at, out.size() - at);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return lines::aboutFile(stdoutName, std::string("cannot write the output: ") + std::strerror(errno));
        at += size_t(k);
    }
    return {};
}

// written, when given, gets the file's size.
std::string writeAtomically(const std::string& path, bool sync, const Image* image, Layout layout, bool rle,
                            const std::vector<uint8_t>& bytes, uint64_t* written = nullptr)
{
    if (path == "-")
        return writeToStandardOutput(image, layout, rle, bytes, written);
    AtomicFile out(path, sync);
    if (!out.open())
        return lines::aboutFile(path, out.errorText());
    if (image) {
        if (Error e = encode(*image, layout, rle, out); e != Error::None)
            return lines::aboutFile(path, out.errorText().empty() ? errorText(e) : out.errorText());
    } else if (!out.write(bytes.data(), bytes.size())) {
        return lines::aboutFile(path, out.errorText());
    }
    if (!out.commit())
        return lines::aboutFile(path, out.errorText());
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
            return lines::aboutFile(shownName(o.input, stdinName), err);
    }
    if (!mapToTarget(decoded, t, o.dither, best.image))
        return lines::aboutFile(shownName(o.input, stdinName), "the palette has no entry but the transparent one");
    // A palette made for the set is the converter's own, and so is the choice of entries; a given
    // one's entries mean what the game says, so every pixel there takes its nearest.
    if (o.shared && o.dither == Dither::None)
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

// The picture mapped again to the palette chosen for it, where the mapping asked for is not the
// reduction's own; the entries no pixel takes are dropped.
void mapToChosen(const Image& decoded, const Options& o, Image& reduced)
{
    TargetPalette t;
    givenTarget(reduced.palette, -1, {}, -1, -1, 0, t);
    t.match = o.match;
    Image mapped;
    if (!mapToTarget(decoded, t, o.dither, mapped))
        return;
    std::array<int, 256> place;
    place.fill(-1);
    reduced.palette.clear();
    for (uint8_t& p : mapped.pixels) {
        if (place[p] < 0) {
            place[p] = int(reduced.palette.size());
            reduced.palette.push_back(mapped.palette[p]);
        }
        p = uint8_t(place[p]);
    }
    reduced.pixels = std::move(mapped.pixels);
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
    return "warning: " + lines::escapeName(out) + " is written as PCX whatever its name";
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
        return lines::aboutFile(inName, errorText(e));
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
                writeAtomically(o.output, o.sync, kept.empty() ? &best.image : nullptr, best.layout, o.rle, kept, &written);
            !err.empty())
            return err;
        if (summary)
            *summary = lines::aboutFile(shownName(o.output, stdoutName), "256-entry palette, 8-bit, ") +
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
        ro.dither = o.dither == Dither::Diffuse;
        ro.speed = o.speed;
        ro.depth = o.depth;
        if (ReduceError e = reduce(decoded, ro, reduced); e != ReduceError::None)
            return lines::aboutFile(inName, errorText(e));
        if (!fits && (o.dither == Dither::Pattern || o.match != Match::Rgb))
            mapToChosen(decoded, o, reduced);
        best = chooseSmallest(std::move(reduced), o.rle);
    }
    if (best.size == 0)
        return lines::aboutFile(inName, "no layout can hold the reduced image");
    // A picture that needs no reduction keeps its own file when that is the smaller one.
    const std::vector<uint8_t> kept =
        fits ? inputWorthKeeping(o, piped, decoded, best.size) : std::vector<uint8_t>{};
    decoded = Image{};  // the memory goes to the encoder from here on
    piped = {};
    if (std::string err = writeAtomically(o.output, o.sync, kept.empty() ? &best.image : nullptr, best.layout, o.rle, kept);
        !err.empty())
        return err;
    if (summary) {
        *summary = lines::aboutFile(shownName(o.output, stdoutName), std::to_string(usedEntries(best.image)) + " colours, ");
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
        std::fprintf(stderr, "%s\n", lines::usageErrorLine(message).c_str());
        return 2;
    case Parsed::Run:
        break;
    }
    if (beforeConverting)
        beforeConverting(argv);
    if (!o.pairs0From.empty())
        return runPairs(o);
    if (beyondOneFile(o))
        return runBatch(o);
    if (const std::string err = outputsError(o); !err.empty()) {
        std::fprintf(stderr, "%s\n", lines::usageErrorLine(err).c_str());
        return 2;
    }
    std::string summary;
    const std::string err = convert(o, &summary);
    if (!err.empty()) {
        std::fprintf(stderr, "%s\n", lines::errorLine(err).c_str());
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
