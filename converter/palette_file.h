// SPDX-License-Identifier: GPL-3.0-or-later
// Palette files as game tools write them: the palette of a PCX picture, JASC-PAL, GIMP .gpl,
// Photoshop .act and raw 768-byte VGA palettes. Entries are data: read and written in their
// order, duplicates included.
#pragma once

#include "pcx.h"

#include <string>
#include <vector>

namespace pcx {

struct PaletteFile {
    std::vector<Rgb> entries;  // 1 to 256
    std::string format;        // for the check form's line, e.g. "JASC-PAL"
    int transparent = -1;      // an .act file's own transparent index; -1 for none
};

// Reads a palette, knowing the format by content: a PCX header, the JASC or GIMP first line, or
// 768 or 772 raw bytes. name decides only whether 768 raw bytes may be 6-bit VGA values (not in
// an .act file) and goes into the messages. Returns an empty text, or one line naming the file
// (and for text formats the line) and what is wrong.
std::string readPalette(Source& src, const std::string& name, PaletteFile& out);
std::string readPaletteFile(const std::string& path, PaletteFile& out);

// Raw: 768 bytes of 8-bit values; Vga: 768 bytes of 6-bit values (0 to 63), as the VGA's colour
// registers take them.
enum class PaletteFormat { Jasc, Gimp, Act, Pcx, Raw, Vga };

// The format that a file name's extension names (.pal JASC, .gpl, .act, .pcx; any case).
bool paletteFormatFor(const std::string& path, PaletteFormat& format);

// The format -palette-format names: jasc, gimp, act, pcx, raw or vga.
bool paletteFormatNamed(const std::string& name, PaletteFormat& format);

// What keeps the entries from being written in the format, in one line naming the first entry at
// fault (Vga: an entry off the 6-bit grid, whose values are round(v*255/63)); empty when nothing.
std::string paletteFormatError(const std::vector<Rgb>& entries, PaletteFormat format);

// The file's bytes: .act with its colour count and transparent index (-1 for none); .pcx a 1x1
// 8-bit picture, raw and VGA 768 bytes, their 256 entries padded with black.
std::vector<uint8_t> paletteBytes(const std::vector<Rgb>& entries, PaletteFormat format, int transparent);

// Writes the palette atomically in format, or without it in the format the extension names; an
// empty text on success, else one line naming the file.
std::string writePaletteFile(const std::string& path, const std::vector<Rgb>& entries, int transparent,
                             const PaletteFormat* format = nullptr);

}  // namespace pcx
