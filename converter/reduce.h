// SPDX-License-Identifier: GPL-3.0-or-later
// Colour reduction for the converter: exact when the picture already fits, libimagequant otherwise.
// Its stages have files of their own: exact_fit, palette_choice, nearest, runs, finish.
#pragma once

#include "pcx.h"

#include <vector>

namespace pcx {

struct ReduceOptions {
    int colors = 256;    // 2 to 256
    bool dither = false;
    int speed = 0;       // libimagequant speed 1 (best) to 10 (fastest); 0 for defaultSpeed
    // Fewer, longer runs make a much smaller file for a barely visible change: pixels may take
    // their left neighbour's colour as long as the image's total squared error grows by at most
    // this fraction. 0 keeps every pixel at its nearest palette colour.
    double runBudget = 0.08;
    // Bits a channel of every entry, 1 to 8: below 8 the palette is chosen on that grid and holds
    // still afterwards (no entry moves to the mean of its pixels).
    int depth = 8;
};

enum class ReduceError {
    None = 0,
    BadColourCount,        // options.colors outside 2 to 256
    NoPixels,              // no pixels, or more columns or rows than the quantiser takes
    QuantiserUnavailable,  // libimagequant could not start
    QuantiserRefused,      // libimagequant would not take the picture
    QuantisationFailed,
    RemapFailed,
    OutOfMemory,
};

// One readable text per error code; the converter prints it after the input's name.
const char* errorText(ReduceError e);

// The distinct colours of the picture in first-seen order, or false when there are more than limit.
bool distinctColours(const Image& img, size_t limit, std::vector<Rgb>& colours);

// Turns any decoded image into an indexed one with at most options.colors palette entries, each
// one used. On failure out is empty.
ReduceError reduce(const Image& in, const ReduceOptions& options, Image& out);

// Extends runs with the largest tolerance whose added error stays within budget times the
// current error; returns that tolerance, 0 when none fits.
int extendRunsWithin(const Image& original, Image& indexed, double budget);

// Maps every pixel of original to its nearest entry of indexed's palette of up to 256 colours (the
// lowest index wins a tie), as the reduction does before it moves the colours.
void mapToNearest(const Image& original, Image& indexed);

// libimagequant's own default: a 12-megapixel photo takes a few seconds, while faster settings
// lose close to 1 dB on photos for little gain.
constexpr int defaultSpeed = 4;

}  // namespace pcx
