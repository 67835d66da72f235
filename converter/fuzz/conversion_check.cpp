// SPDX-License-Identifier: GPL-3.0-or-later
#include "conversion_check.h"

#include "layout_choice.h"
#include "pcx.h"
#include "reduce.h"

#include <array>

namespace pcx {

namespace {

Rgb colourAt(const Image& img, size_t i)
{
    if (img.indexed)
        return img.palette[img.pixels[i]];
    return Rgb{img.pixels[4 * i], img.pixels[4 * i + 1], img.pixels[4 * i + 2]};
}

bool sameColours(const Image& a, const Image& b)
{
    if (a.width != b.width || a.height != b.height)
        return false;
    for (size_t i = 0, n = size_t(a.width) * a.height; i < n; ++i)
        if (!(colourAt(a, i) == colourAt(b, i)))
            return false;
    return true;
}

std::string checkIndexed(const Image& img, size_t maxColours)
{
    if (img.palette.empty() || img.palette.size() > maxColours)
        return "palette of " + std::to_string(img.palette.size()) + " colours";
    if (img.pixels.size() != size_t(img.width) * img.height)
        return "pixel count does not match the size";
    for (uint8_t p : img.pixels)
        if (p >= img.palette.size())
            return "an index beyond the palette";
    return {};
}

// How SDL_image reads 1-bit planes: the last byte's pixels come from its low bits.
bool sdlReadsAlike(const std::vector<uint8_t>& file, const Image& written)
{
    const unsigned planes = file[65];
    const size_t bpl = size_t(file[66] | file[67] << 8), w = written.width;
    std::vector<uint8_t> line(bpl * planes);
    size_t at = 128;
    for (size_t y = 0; y < written.height; ++y) {
        for (size_t i = 0; i < line.size();) {
            if (at >= file.size())
                return false;
            unsigned count = 1;
            uint8_t v = file[at++];
            if (v >= 0xC0) {
                if (at >= file.size())
                    return false;
                count = v & 0x3Fu;
                v = file[at++];
            }
            for (; count && i < line.size(); --count)
                line[i++] = v;
        }
        for (size_t x = 0, j = 0; j < bpl; ++j)
            for (int k = 7; k >= 0; --k) {
                if (j * 8 + size_t(k) >= w)
                    continue;
                unsigned index = 0;
                for (unsigned p = 0; p < planes; ++p)
                    index |= (line[p * bpl + j] >> k & 1u) << p;
                if (index != written.pixels[y * w + x++])
                    return false;
            }
    }
    return true;
}

}  // namespace

std::string checkConversion(const uint8_t* data, size_t size, uint64_t maxPixels)
{
    static constexpr std::array<int, 8> counts = {2, 3, 4, 16, 17, 32, 33, 256};
    Limits limits;
    limits.maxPixels = maxPixels;
    Image decoded;
    if (decodeMemory(data, size, decoded, limits) != Error::None)
        return decoded.pixels.empty() ? std::string() : "a failed decode left pixels behind";
    if (decoded.indexed)
        if (std::string e = checkIndexed(decoded, 256); !e.empty())
            return "decoded: " + e;

    const uint8_t options = data[127];
    ReduceOptions ro;
    ro.colors = counts[options & 7];
    ro.dither = options & 16;
    ro.speed = options & 32 ? 0 : 10;
    const bool rle = !(options & 8);
    std::vector<Rgb> distinct;
    const bool fits = distinctColours(decoded, size_t(ro.colors), distinct);
    Image reduced;
    if (ReduceError e = reduce(decoded, ro, reduced); e != ReduceError::None)
        return std::string("reduce: ") + errorText(e);
    if (std::string e = checkIndexed(reduced, size_t(ro.colors)); !e.empty())
        return "reduced: " + e;
    if (fits && !sameColours(decoded, reduced))
        return "a picture that fits lost its exact colours";

    // A palette picture that fits keeps every pixel's index and every entry its layout carries.
    if (decoded.indexed && usedEntries(decoded) <= size_t(ro.colors)) {
        Choice kept = chooseKeepingIndices(Image(decoded), rle);
        VectorSink keptSink;
        Image back;
        if (kept.size == 0 || encode(kept.image, kept.layout, rle, keptSink) != Error::None ||
            keptSink.bytes.size() != kept.size ||
            decodeMemory(keptSink.bytes.data(), keptSink.bytes.size(), back) != Error::None)
            return "indices kept: not written";
        if (back.pixels != decoded.pixels)
            return "indices kept: an index changed";
        for (size_t i = 0; i < kept.image.palette.size(); ++i)
            if (!(back.palette[i] == decoded.palette[i]))
                return "indices kept: an entry changed";
    }

    const Image copy = reduced;
    Choice best = chooseSmallest(std::move(reduced), rle);
    VectorSink sink;
    if (best.size == 0 || encode(best.image, best.layout, rle, sink) != Error::None)
        return "no layout written";
    if (sink.bytes.size() != best.size)
        return "the size counted is not the size written";
    Image back;
    if (decodeMemory(sink.bytes.data(), sink.bytes.size(), back) != Error::None)
        return "our own output does not decode";
    if (!sameColours(copy, back))
        return std::string("written and read back, ") + layoutName(best.layout) + " differs";
    if (best.layout != Layout::Byte && rle && !sdlReadsAlike(sink.bytes, best.image))
        return std::string("SDL_image would read ") + layoutName(best.layout) + " differently";
    return {};
}

}  // namespace pcx
