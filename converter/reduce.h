// SPDX-License-Identifier: GPL-3.0-or-later
// Colour reduction for the converter: exact when the picture already fits, libimagequant otherwise.
#pragma once

#include "pcx.h"

#include <string>
#include <vector>

namespace pcx {

struct ReduceOptions {
    int colors = 256;    // 2 to 256
    bool dither = false;
    int speed = 0;       // libimagequant speed 1 (best) to 10 (fastest); 0 picks one by image size
};

// The distinct colours of the picture in first-seen order, or false when there are more than limit.
bool distinctColours(const Image& img, size_t limit, std::vector<Rgb>& colours);

// Turns any decoded image into an indexed one with at most options.colors palette entries, each
// one used. Returns an empty text on success, else what went wrong.
std::string reduce(const Image& in, const ReduceOptions& options, Image& out);

// The speed used when options.speed is 0.
int automaticSpeed(uint64_t pixels);

}  // namespace pcx
