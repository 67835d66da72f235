// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the converter's tests: files, crafted PCX files and outside readers.
#pragma once

#include "pcx.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testutil {

std::vector<uint8_t> readFile(const std::filesystem::path& p);
void writeFile(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);
std::vector<std::filesystem::path> testFiles();  // tests/data/pcx/*.pcx, sorted

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
private:
    std::filesystem::path path_;
};

// A hand-made PCX file: the header fields, scan lines given unencoded (planes in turn), and
// an optional trailing palette. Written by a deliberately naive encoder of its own.
struct Crafted {
    uint8_t version = 5, encoding = 1, bits = 8, planes = 1;
    uint16_t xmin = 0, ymin = 0, xmax = 0, ymax = 0, bytesPerLine = 0;
    std::vector<pcx::Rgb> headerPalette;   // up to 16
    std::vector<std::vector<uint8_t>> lines;
    std::vector<pcx::Rgb> trailingPalette; // 256 entries, or empty for none
    std::vector<uint8_t> bytes() const;
};
std::vector<uint8_t> header(const Crafted& c);

// An image decoded by an outside program to 8-bit RGB.
struct Rgb8 {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
};
bool haveProgram(const std::string& name);
// Runs a shell command that writes a binary PPM to standard output.
bool readPpmFrom(const std::string& command, Rgb8& out);
std::string shellQuote(const std::string& s);
// A python3 that has PIL, or empty.
std::string pythonWithPil();

// A program's exit code and what it printed.
struct Ran {
    int exitCode = -1;
    std::string out, err;
};
// Runs exe with args (bounded by timeout(1)), standard input from stdinFile or /dev/null; the
// output goes through files in scratch.
Ran runProgram(const std::string& exe, const std::vector<std::string>& args, const TempDir& scratch,
               const std::string& stdinFile = "/dev/null");

// Our decoder's result as 8-bit RGB.
Rgb8 toRgb(const pcx::Image& img);

}  // namespace testutil
