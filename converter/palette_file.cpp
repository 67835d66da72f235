// SPDX-License-Identifier: GPL-3.0-or-later
//
// The formats, as read and written here:
//   PCX       8 bits x 1 plane: byte 12 and 768 bytes R, G, B at the end of the file, 256 entries.
//             16 colours or fewer: the header palette at byte 16, 2^(bits x planes) entries.
//   JASC-PAL  text (Paint Shop Pro): "JASC-PAL", a version ("0100"), the entry count, then one
//             "R G B" line an entry. Written with CR LF, as Paint Shop Pro does.
//   GIMP      text: "GIMP Palette", optional "Name:" and "Columns:" lines, "#" comments, then
//             "R G B" and an optional name on each line.
//   ACT       Photoshop: 256 x R, G, B (768 bytes), optionally followed by the entry count and
//             the transparent index, big-endian 16 bits each (0xFFFF: none).
//   raw .pal  768 bytes of R, G, B: as VGA hardware takes them, 0 to 63, when every value is 63
//             or less (then scaled to 0 to 255), else plain 8-bit values.

#include "palette_file.h"

#include "act_count.h"
#include "atomic_file.h"
#include "lineformat.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace pcx {

namespace {

constexpr size_t largestTextPalette = size_t(1) << 20;

// A VGA register's 6-bit value as 8 bits, round(v*255/63), and the nearest 6-bit value of 8 bits.
uint8_t eightBitOf(uint8_t six) { return uint8_t((six * 255 + 31) / 63); }
uint8_t sixBitOf(uint8_t v) { return uint8_t((v * 63 + 127) / 255); }
bool onSixBitGrid(uint8_t v) { return eightBitOf(sixBitOf(v)) == v; }

bool endsWithNoCase(const std::string& s, const char* tail)
{
    const size_t n = std::strlen(tail);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i])
            return false;
    return true;
}

std::vector<std::string> linesOf(const std::vector<uint8_t>& bytes)
{
    std::vector<std::string> lines;
    std::string line;
    size_t i = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    for (; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += char(bytes[i]);
        }
    }
    if (!line.empty()) {
        if (line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool isBlank(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
}

// The whitespace-separated words of a line.
std::vector<std::string> wordsOf(const std::string& s)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        const size_t start = i;
        while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        if (i > start)
            words.push_back(s.substr(start, i - start));
    }
    return words;
}

// A number of at most six digits, nothing else.
bool wholeNumber(const std::string& w, long& v)
{
    if (w.empty() || w.size() > 6 || !std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    v = std::stol(w);
    return true;
}

// Three values from the first words of a line; an empty text, or what is wrong with it.
std::string entryFrom(const std::vector<std::string>& words, Rgb& c)
{
    long v[3] = {};
    for (int k = 0; k < 3; ++k) {
        if (size_t(k) >= words.size() || !wholeNumber(words[size_t(k)], v[k]))
            return "not three numbers 0 to 255";
        if (v[k] > 255)
            return words[size_t(k)] + " is over 255";
    }
    c = Rgb{uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2])};
    return {};
}

std::string lineError(size_t index, const std::string& why) { return "line " + std::to_string(index + 1) + ": " + why; }

std::string readJasc(const std::vector<std::string>& lines, PaletteFile& out)
{
    if (lines.size() < 3)
        return "a JASC-PAL file needs a version and an entry count after its first line";
    long count = 0;
    const auto countWords = wordsOf(lines[2]);
    if (countWords.size() != 1 || !wholeNumber(countWords[0], count))
        return lineError(2, "not an entry count");
    if (count < 1 || count > 256)
        return lineError(2, std::to_string(count) + " entries; a palette holds 1 to 256");
    size_t i = 3;
    for (; out.entries.size() < size_t(count); ++i) {
        if (i >= lines.size())
            return lineError(i - 1, "the file ends after " + std::to_string(out.entries.size()) + " of " +
                                        std::to_string(count) + " entries");
        const auto words = wordsOf(lines[i]);
        Rgb c;
        if (words.size() != 3)
            return lineError(i, "not three numbers 0 to 255");
        if (std::string why = entryFrom(words, c); !why.empty())
            return lineError(i, why);
        out.entries.push_back(c);
    }
    for (; i < lines.size(); ++i)
        if (!isBlank(lines[i]))
            return lineError(i, "more entries than the " + std::to_string(count) + " on line 3");
    out.format = "JASC-PAL";
    return {};
}

std::string readGimp(const std::vector<std::string>& lines, PaletteFile& out)
{
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        const auto words = wordsOf(l);
        if (words.empty() || words[0][0] == '#' || (out.entries.empty() && (l.rfind("Name:", 0) == 0 || l.rfind("Columns:", 0) == 0)))
            continue;
        Rgb c;
        if (std::string why = entryFrom(words, c); !why.empty())
            return lineError(i, why);
        if (out.entries.size() == 256)
            return lineError(i, "a 257th entry; a palette holds at most 256");
        out.entries.push_back(c);
    }
    if (out.entries.empty())
        return "a GIMP palette without entries";
    out.format = "GIMP palette";
    return {};
}

std::string readRaw(const std::vector<uint8_t>& b, bool act, PaletteFile& out)
{
    unsigned stored = 0;
    const size_t count = size_t(act::entryCount(b.data(), b.size(), &stored));
    if (b.size() == 772) {
        act = true;
        const unsigned t = unsigned(b[770]) << 8 | b[771];
        if (count == 0)
            return "an .act entry count of " + std::to_string(stored) + " (at byte 768); a palette holds 1 to 256";
        if (t != 0xFFFF && t >= count)
            return "an .act transparent index of " + std::to_string(t) + " beyond its " + std::to_string(count) +
                   " entries";
        out.transparent = t == 0xFFFF ? -1 : int(t);
    }
    const bool sixBit = !act && std::all_of(b.begin(), b.begin() + 768, [](uint8_t v) { return v <= 63; });
    auto value = [&](uint8_t v) { return sixBit ? eightBitOf(v) : v; };
    for (size_t i = 0; i < count; ++i)
        out.entries.push_back(Rgb{value(b[3 * i]), value(b[3 * i + 1]), value(b[3 * i + 2])});
    out.format = act ? "Photoshop ACT" : sixBit ? "raw 6-bit VGA palette" : "raw 8-bit palette";
    return {};
}

std::string readPcx(Source& src, const Header& h, PaletteFile& out)
{
    const unsigned depth = h.bitsPerPixel * h.planes;
    if (h.bitsPerPixel == 8 && h.planes == 1) {
        uint8_t pal[769];
        if (src.size() < 128 + 769 || !src.seek(src.size() - 769) || src.read(pal, sizeof pal) != sizeof pal ||
            pal[0] != 12)
            return src.failed() ? "the file cannot be read" : "an 8-bit PCX without its 256-colour palette";
        for (int i = 0; i < 256; ++i)
            out.entries.push_back(Rgb{pal[1 + 3 * i], pal[2 + 3 * i], pal[3 + 3 * i]});
        out.format = "8-bit PCX";
        return {};
    }
    if (h.bitsPerPixel == 8)
        return "a " + std::to_string(8 * h.planes) + "-bit PCX has no palette";
    out.entries.assign(h.palette, h.palette + (1u << depth));
    // As the picture reads: a one-bit file with an all-black header palette is black on white.
    if (depth == 1 && out.entries[0] == Rgb{} && out.entries[1] == Rgb{})
        out.entries[1] = Rgb{255, 255, 255};
    out.format = std::to_string(out.entries.size()) + "-colour PCX";
    return {};
}

}  // namespace

std::string readPalette(Source& src, const std::string& name, PaletteFile& out)
{
    out = PaletteFile{};
    auto fail = [&](const std::string& why) {
        out = PaletteFile{};
        return lines::aboutFile(name, why);
    };
    const uint64_t size = src.size();
    std::vector<uint8_t> head(size_t(std::min<uint64_t>(size, largestTextPalette)));
    if (!src.seek(0) || src.read(head.data(), head.size()) != head.size())
        return fail("the file cannot be read");
    const std::string start(head.begin(), head.begin() + long(std::min<size_t>(head.size(), 16)));
    auto startsWith = [&](const char* word) {
        const size_t bom = start.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
        return start.compare(bom, std::strlen(word), word) == 0;
    };
    // An .act file's colours may spell out a text format's first line.
    const bool raw = size == 768 || size == 772;
    const bool act = endsWithNoCase(name, ".act");
    const bool jasc = !(raw && act) && startsWith("JASC-PAL"), gimp = !(raw && act) && startsWith("GIMP Palette");
    if ((jasc || gimp) && size > largestTextPalette)
        return fail("too large for a palette file");
    std::string why;
    if (jasc) {
        why = readJasc(linesOf(head), out);
    } else if (gimp) {
        why = readGimp(linesOf(head), out);
    } else {
        Header h;
        const Error e = !head.empty() && head[0] == 10 && !(raw && (act || endsWithNoCase(name, ".pal")))
                            ? readHeader(src, h)
                            : Error::NotPcx;
        if (e == Error::None)
            why = readPcx(src, h, out);
        else if (raw)
            why = readRaw(head, act, out);
        else if (e != Error::NotPcx)
            why = std::string("a PCX file that cannot be read: ") + errorText(e);
        else
            why = "not a palette file; palettes are read from an 8-bit PCX or one of 16 colours or fewer, "
                  "JASC-PAL, GIMP .gpl, Photoshop .act (768 or 772 bytes) and raw 768-byte VGA .pal files";
    }
    return why.empty() ? std::string() : fail(why);
}

std::string readPaletteFile(const std::string& path, PaletteFile& out)
{
    FileSource src(path);
    if (!src.isOpen()) {
        out = PaletteFile{};
        return lines::aboutFile(path, errorText(src.notRegular() ? Error::NotRegularFile : Error::CannotOpen));
    }
    return readPalette(src, path, out);
}

bool paletteFormatFor(const std::string& path, PaletteFormat& format)
{
    static const std::pair<const char*, PaletteFormat> byExtension[] = {
        {".pal", PaletteFormat::Jasc}, {".gpl", PaletteFormat::Gimp}, {".act", PaletteFormat::Act},
        {".pcx", PaletteFormat::Pcx}};
    for (const auto& [ext, f] : byExtension)
        if (endsWithNoCase(path, ext)) {
            format = f;
            return true;
        }
    return false;
}

bool paletteFormatNamed(const std::string& name, PaletteFormat& format)
{
    static const std::pair<const char*, PaletteFormat> byName[] = {
        {"jasc", PaletteFormat::Jasc}, {"gimp", PaletteFormat::Gimp}, {"act", PaletteFormat::Act},
        {"pcx", PaletteFormat::Pcx},   {"raw", PaletteFormat::Raw},   {"vga", PaletteFormat::Vga}};
    for (const auto& [n, f] : byName)
        if (name == n) {
            format = f;
            return true;
        }
    return false;
}

std::string paletteFormatError(const std::vector<Rgb>& entries, PaletteFormat format)
{
    if (format != PaletteFormat::Vga)
        return {};
    for (size_t i = 0; i < entries.size(); ++i) {
        const Rgb c = entries[i];
        if (!onSixBitGrid(c.r) || !onSixBitGrid(c.g) || !onSixBitGrid(c.b))
            return "entry " + std::to_string(i) + " (" + std::to_string(c.r) + " " + std::to_string(c.g) + " " +
                   std::to_string(c.b) + ") is not a 6-bit VGA colour: each value must be round(v*255/63), v 0 to 63";
    }
    return {};
}

std::vector<uint8_t> paletteBytes(const std::vector<Rgb>& entries, PaletteFormat format, int transparent)
{
    std::string text;
    auto triple = [](Rgb c, const char* sep) {
        return std::to_string(c.r) + sep + std::to_string(c.g) + sep + std::to_string(c.b);
    };
    switch (format) {
    case PaletteFormat::Jasc:
        text = "JASC-PAL\r\n0100\r\n" + std::to_string(entries.size()) + "\r\n";
        for (Rgb c : entries)
            text += triple(c, " ") + "\r\n";
        return std::vector<uint8_t>(text.begin(), text.end());
    case PaletteFormat::Gimp:
        text = "GIMP Palette\nName: palettrim\nColumns: 16\n#\n";
        for (size_t i = 0; i < entries.size(); ++i)
            text += triple(entries[i], " ") + "\tIndex " + std::to_string(i) + "\n";
        return std::vector<uint8_t>(text.begin(), text.end());
    case PaletteFormat::Act: {
        std::vector<uint8_t> b(772, 0);
        for (size_t i = 0; i < entries.size() && i < 256; ++i) {
            b[3 * i] = entries[i].r;
            b[3 * i + 1] = entries[i].g;
            b[3 * i + 2] = entries[i].b;
        }
        const unsigned t = transparent < 0 ? 0xFFFF : unsigned(transparent);
        b[768] = uint8_t(entries.size() >> 8);
        b[769] = uint8_t(entries.size());
        b[770] = uint8_t(t >> 8);
        b[771] = uint8_t(t);
        return b;
    }
    case PaletteFormat::Pcx: {
        Image dot;
        dot.width = dot.height = 1;
        dot.palette = entries;
        dot.pixels = {0};
        VectorSink sink;
        encode(dot, Layout::Byte, true, sink);
        return sink.bytes;
    }
    case PaletteFormat::Raw:
    case PaletteFormat::Vga: {
        std::vector<uint8_t> b(768, 0);
        const bool six = format == PaletteFormat::Vga;
        for (size_t i = 0; i < entries.size() && i < 256; ++i) {
            b[3 * i] = six ? sixBitOf(entries[i].r) : entries[i].r;
            b[3 * i + 1] = six ? sixBitOf(entries[i].g) : entries[i].g;
            b[3 * i + 2] = six ? sixBitOf(entries[i].b) : entries[i].b;
        }
        return b;
    }
    }
    return {};
}

std::string writePaletteFile(const std::string& path, const std::vector<Rgb>& entries, int transparent,
                             const PaletteFormat* given)
{
    PaletteFormat format;
    if (given)
        format = *given;
    else if (!paletteFormatFor(path, format))
        return lines::aboutFile(path, "a palette is written as .pal (JASC), .gpl, .act or .pcx");
    if (const std::string why = paletteFormatError(entries, format); !why.empty())
        return lines::aboutFile(path, why);
    const std::vector<uint8_t> bytes = paletteBytes(entries, format, transparent);
    AtomicFile out(path);
    if (!out.open() || !out.write(bytes.data(), bytes.size()) || !out.commit())
        return lines::aboutFile(path, out.errorText());
    return {};
}

}  // namespace pcx
