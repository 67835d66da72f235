// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of palettrim-convert, kept apart from main() so tests can drive it.
#pragma once

#include "pcx.h"

#include <string>
#include <vector>

namespace pcx {

struct TargetPalette;

struct Options {
    int colors = 256;
    bool rle = true;
    bool dither = false;
    bool quiet = false;
    bool renumber = false;  // an indexed picture that fits may be renumbered for a smaller file
    int speed = 0;
    std::string output;               // "-": standard output
    std::string input;                // the one input of -o, or the one being converted; "-": standard input
    std::vector<std::string> inputs;  // every input, in order
    bool colorsGiven = false;
    std::string outdir, palette, paletteOut, files0From;
    bool shared = false, progress = false;
    int freeFirst = -1, freeLast = -1;  // -free A-B
    bool transparent = false;
    Rgb keyColour;
    int keyIndex = -1;  // -1: an .act file's own transparent index, else 0
    int depth = 8;         // bits a channel of every chosen entry, 1 to 8
    bool parents = false;  // -outdir keeps each input's relative path
};

enum class Parsed { Run, Help, Version, Error };

// args excludes the program name. On Error, message says what is wrong in one line.
Parsed parseArguments(const std::vector<std::string>& args, Options& options, std::string& message);

std::string usageText();
std::string versionText();

// Reads, reduces and writes; returns an empty text on success, else a one-line message.
// On success summary describes what was written. With a target, the output carries its 256
// entries, 8 bits a pixel; its free entries, if any are left, are chosen for this picture.
// decoded, when given, is the input as read already (it is taken).
std::string convert(const Options& options, std::string* summary = nullptr, const TargetPalette* target = nullptr,
                    Image* decoded = nullptr);

// The line for an output whose name says it is something else than PCX; empty when it says PCX.
std::string nameWarning(const Options& options);

// The whole program: exit code 0 only when the output was written. beforeConverting, when given,
// runs once the arguments ask for a conversion (not for --help, --version or a usage error).
int runConverter(int argc, char** argv, void (*beforeConverting)(char** argv) = nullptr);

}  // namespace pcx
