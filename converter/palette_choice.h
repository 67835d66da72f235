// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing the palette when the picture has more colours than asked: libimagequant proposes, the
// converter refines. libimagequant only ever sees the picture itself or its weighted 4x4x4 colour
// cubes.
#pragma once

#include "pcx.h"
#include "pixels.h"
#include "reduce.h"

#include <vector>

namespace pcx {

// The palette for a picture mapped without dithering: libimagequant's over the picture's weighted
// 4x4x4 colour cubes, for 32 colours or fewer moved by k-means to the least plain squared error.
// Up to options.colors entries; empty when the quantiser fails.
std::vector<Rgb> cubePalette(const Image& in, const Pixels& px, const ReduceOptions& options);

// The palette on the grid of options.depth bits for a picture mapped to its nearest entries:
// libimagequant's proposal over the picture's exact colours (its 4x4x4 colour cubes past 65,536
// of them), then chosen on the grid (see grid_palette.h). Empty when the quantiser fails.
std::vector<Rgb> gridPalette(const Image& in, const Pixels& px, const ReduceOptions& options);

// libimagequant picks the palette from every pixel and maps the pixels, dithering them when asked.
// out is an indexed picture of px's size on success, its entries not yet centred or compacted.
ReduceError quantiseAndMap(const Pixels& px, const ReduceOptions& options, Image& out);

}  // namespace pcx
