// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of palettrim-convert, kept apart from main() so tests can drive it.
#pragma once

#include "palette_file.h"
#include "palette_map.h"
#include "pcx.h"

#include <bitset>
#include <optional>

#include <string>
#include <vector>

namespace pcx {

struct Options {
    int colors = 256;
    bool rle = true;
    Dither dither = Dither::None;
    Match match = Match::Rgb;
    bool quiet = false;
    bool sync = true;  // -no-sync clears it
    bool renumber = false;  // an indexed picture that fits may be renumbered for a smaller file
    int speed = 0;
    std::string output;               // "-": standard output
    std::string input;                // the one input of -o, or the one being converted; "-": standard input
    std::vector<std::string> inputs;  // every input, in order
    bool colorsGiven = false;
    std::string outdir, palette, paletteOut, files0From;
    std::string pairs0From;  // input and output names alternating, each ended by a NUL
    bool shared = false, progress = false;
    int freeFirst = -1, freeLast = -1;  // -free A-B
    bool transparent = false;
    Rgb keyColour;
    int keyIndex = -1;  // -1: an .act file's own transparent index, else 0
    int depth = 8;         // bits a channel of every chosen entry, 1 to 8
    bool parents = false;  // -outdir keeps each input's relative path
    std::bitset<256> protect;  // -protect's entries
    std::optional<PaletteFormat> paletteFormat;  // -palette-out's; else its extension's
    bool setsForm = false;                       // an option of OptionGroup::Sets was given
};

enum class Parsed { Run, Help, Version, Error };

// Where the usage text lists an option: with the one-file form, or with sets of files and palettes.
enum class OptionGroup { OneFile, Sets };

// One option of the command line. Adding an option is a row of optionTable() and, where it
// goes with others only so, a rule in optionsError().
struct OptionSpec {
    const char* name;      // "-colors"
    const char* argument;  // what follows it, as the usage text names it ("N"); nullptr for none
    OptionGroup group;
    const char* help;      // its lines in the usage text, '\n' between them
    const char* example;   // a command line the usage text shows under it; nullptr for none
    // Sets what the option asks for from its value; an empty text, or what is wrong in one line.
    std::string (*set)(Options&, const std::string& value);
    Parsed outcome = Parsed::Run;  // Help and Version end the reading of the arguments
    const char* alias = nullptr;
    bool optionalArgument = false;  // the next argument is its value only when set accepts it
};

// Every option, in the order the usage text lists them.
const std::vector<OptionSpec>& optionTable();

// What is wrong with the combination of options and inputs, in one line; empty when it makes
// sense. Names still to come from -files0-from are not read yet.
std::string optionsError(const Options& o);

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
