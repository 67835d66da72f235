// SPDX-License-Identifier: GPL-3.0-or-later
// Counting a picture's exact colours, for a picture that already fits the colour count and for the
// few-colour search. Each gives up as soon as the picture has more colours than asked, so a photo
// costs one pass over its first few hundred colours.
#pragma once

#include "pcx.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcx {

// Maps every pixel to its exact colour, the palette in first-seen order; false (out untouched)
// when the picture has more than limit colours.
bool exactIndexed(const Image& in, size_t limit, Image& out);

// Distinct colours with their pixel counts; false when there are more than limit.
bool histogram(const Image& img, size_t limit, std::vector<Rgb>& colours, std::vector<uint64_t>& counts);

}  // namespace pcx
