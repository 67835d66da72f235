// SPDX-License-Identifier: GPL-3.0-or-later
// Every pixel to its nearest palette entry by plain RGB distance, the lowest index winning a tie:
// the same answer a search over every entry gives, found through a table of 4x4x4 colour cubes.
#pragma once

#include "pcx.h"
#include "pixels.h"

#include <cstdint>
#include <vector>

namespace pcx {

// Writes px.count() indices into out, one a pixel in row order; palette has 1 to 256 entries.
void remap(const Pixels& px, const std::vector<Rgb>& palette, uint8_t* out);

}  // namespace pcx
