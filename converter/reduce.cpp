// SPDX-License-Identifier: GPL-3.0-or-later
#include "reduce.h"

#include "exact_fit.h"
#include "finish.h"
#include "grid_palette.h"
#include "nearest.h"
#include "palette_choice.h"
#include "palette_map.h"
#include "pixels.h"
#include "runs.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace pcx {

namespace {

// Without dithering: the palette comes from the picture's weighted colour cubes (for a few colours
// refined by k-means there), and every pixel goes to its nearest entry.
ReduceError reduceFromCubes(const Image& in, const Pixels& px, const ReduceOptions& options, Image& out)
{
    std::vector<Rgb> palette = cubePalette(in, px, options);
    if (palette.empty())
        return ReduceError::QuantisationFailed;
    out = indexedImage(in.width, in.height);
    out.palette = std::move(palette);
    remap(px, out.palette, out.pixels.data());
    extendWithin(px, out, options.runBudget, centreWithError(px, out));
    finish(px, out);
    return ReduceError::None;
}

// libimagequant picks the palette and maps the pixels, dithering them when asked.
ReduceError reduceWithQuantiser(const Pixels& px, const ReduceOptions& options, Image& out)
{
    if (const ReduceError err = quantiseAndMap(px, options, out); err != ReduceError::None)
        return err;
    if (!options.dither)
        extendWithin(px, out, options.runBudget, totalError(px, out));
    finish(px, out);
    return ReduceError::None;
}

// On a grid of fewer bits: the palette is chosen there and holds still; runs grow only between its
// entries, and dithering goes through the mapping to a given palette.
ReduceError reduceOnGrid(const Image& in, const Pixels& px, const ReduceOptions& options, Image& out)
{
    std::vector<Rgb> palette = gridPalette(in, px, options);
    if (palette.empty())
        return ReduceError::QuantisationFailed;
    if (options.dither) {
        TargetPalette t;
        for (size_t i = 0; i < palette.size(); ++i) {
            t.entries[i] = palette[i];
            t.usable[i] = true;
        }
        if (!mapToTarget(in, t, Dither::Diffuse, out))
            return ReduceError::RemapFailed;
    } else {
        out = indexedImage(in.width, in.height);
        out.palette = std::move(palette);
        remap(px, out.palette, out.pixels.data());
        extendWithin(px, out, options.runBudget, totalError(px, out));
    }
    finishHeld(px, out);
    return ReduceError::None;
}

}  // namespace

const char* errorText(ReduceError e)
{
    switch (e) {
    case ReduceError::None: return "no error";
    case ReduceError::BadColourCount: return "the colour count must be 2 to 256";
    case ReduceError::NoPixels: return "the image has no pixels";
    case ReduceError::QuantiserUnavailable: return "cannot start the colour quantiser";
    case ReduceError::QuantiserRefused: return "the colour quantiser cannot take this image";
    case ReduceError::QuantisationFailed: return "colour quantisation failed";
    case ReduceError::RemapFailed: return "colour remapping failed";
    case ReduceError::OutOfMemory: return "not enough memory";
    }
    return "unknown error";
}

ReduceError reduce(const Image& in, const ReduceOptions& options, Image& out)
{
    if (options.colors < 2 || options.colors > 256) {
        out = Image{};
        return ReduceError::BadColourCount;
    }
    if (in.width == 0 || in.height == 0 || in.width > uint32_t(INT32_MAX) / 4 || in.height > uint32_t(INT32_MAX)) {
        out = Image{};
        return ReduceError::NoPixels;
    }
    try {
        const Grid grid(options.depth);
        if (exactIndexed(in, size_t(options.colors), out) &&
            std::all_of(out.palette.begin(), out.palette.end(), [&](Rgb c) { return grid.holds(c); }))
            return ReduceError::None;
        const Pixels px(in);
        if (options.depth < 8) {
            const ReduceError err = reduceOnGrid(in, px, options, out);
            if (err != ReduceError::None)
                out = Image{};
            return err;
        }
        // On a large picture libimagequant spends most of its time on every pixel; for a small
        // one its own choice of palette is a little closer.
        const bool cubes = !options.dither && (options.colors <= 32 || px.count() >= (size_t(1) << 20));
        const ReduceError err = cubes ? reduceFromCubes(in, px, options, out) : reduceWithQuantiser(px, options, out);
        if (err != ReduceError::None)
            out = Image{};
        return err;
    } catch (const std::bad_alloc&) {
        out = Image{};
        return ReduceError::OutOfMemory;
    }
}

}  // namespace pcx
