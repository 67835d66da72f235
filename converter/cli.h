// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of palettrim-convert, kept apart from main() so tests can drive it.
#pragma once

#include <string>
#include <vector>

namespace pcx {

struct Options {
    int colors = 256;
    bool rle = true;
    bool dither = false;
    bool quiet = false;
    bool renumber = false;  // an indexed picture that fits may be renumbered for a smaller file
    int speed = 0;
    std::string output;  // "-": standard output
    std::string input;   // "-": standard input
};

enum class Parsed { Run, Help, Version, Error };

// args excludes the program name. On Error, message says what is wrong in one line.
Parsed parseArguments(const std::vector<std::string>& args, Options& options, std::string& message);

std::string usageText();
std::string versionText();

// Reads, reduces and writes; returns an empty text on success, else a one-line message.
// On success summary describes what was written.
std::string convert(const Options& options, std::string* summary = nullptr);

// The line for an output whose name says it is something else than PCX; empty when it says PCX.
std::string nameWarning(const Options& options);

// The whole program: exit code 0 only when the output was written. beforeConverting, when given,
// runs once the arguments ask for a conversion (not for --help, --version or a usage error).
int runConverter(int argc, char** argv, void (*beforeConverting)(char** argv) = nullptr);

}  // namespace pcx
