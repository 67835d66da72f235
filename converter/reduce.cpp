// SPDX-License-Identifier: GPL-3.0-or-later
#include "reduce.h"

#include <libimagequant.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>

namespace pcx {

namespace {

uint32_t key(Rgb c) { return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b; }

// Small open-addressing set of colours that gives up past its limit, so a photo costs one pass
// over its first few hundred distinct colours rather than a full count.
class ColourTable {
public:
    explicit ColourTable(size_t limit) : limit_(limit)
    {
        size_t cap = 16;
        while (cap < limit * 2 + 2)
            cap *= 2;
        keys_.assign(cap, empty);
        slots_.assign(cap, 0);
    }
    // Index of the colour in first-seen order, or -1 once more than limit colours were seen.
    int find(Rgb c)
    {
        const uint32_t k = key(c);
        size_t i = (k * 2654435761u) & (keys_.size() - 1);
        while (keys_[i] != empty) {
            if (keys_[i] == k)
                return slots_[i];
            i = (i + 1) & (keys_.size() - 1);
        }
        if (colours.size() >= limit_)
            return -1;
        keys_[i] = k;
        slots_[i] = int(colours.size());
        colours.push_back(c);
        return slots_[i];
    }
    std::vector<Rgb> colours;
private:
    static constexpr uint32_t empty = 0xFFFFFFFFu;
    size_t limit_;
    std::vector<uint32_t> keys_;
    std::vector<int> slots_;
};

// Maps every pixel to its exact colour; false when the picture has more than limit colours.
bool exactIndexed(const Image& in, size_t limit, Image& out)
{
    ColourTable table(limit);
    out = Image{};
    out.width = in.width;
    out.height = in.height;
    out.indexed = true;
    out.pixels.resize(size_t(in.width) * in.height);
    if (in.indexed) {
        std::array<int, 256> map;
        map.fill(-2);
        for (size_t i = 0; i < out.pixels.size(); ++i) {
            const uint8_t p = in.pixels[i];
            if (map[p] == -2)
                map[p] = table.find(in.palette[p]);
            if (map[p] < 0)
                return false;
            out.pixels[i] = uint8_t(map[p]);
        }
    } else {
        const uint8_t* s = in.pixels.data();
        uint32_t lastKey = 0xFFFFFFFFu;
        int last = -1;
        for (size_t i = 0; i < out.pixels.size(); ++i, s += 3) {
            const Rgb c{s[0], s[1], s[2]};
            if (key(c) != lastKey) {
                last = table.find(c);
                if (last < 0)
                    return false;
                lastKey = key(c);
            }
            out.pixels[i] = uint8_t(last);
        }
    }
    out.palette = std::move(table.colours);
    return true;
}

void rowCallback(liq_color rowOut[], int row, int width, void* user)
{
    const Image& img = *static_cast<const Image*>(user);
    const size_t base = size_t(row) * img.width;
    if (img.indexed) {
        const uint8_t* p = img.pixels.data() + base;
        for (int x = 0; x < width; ++x) {
            const Rgb c = img.palette[p[x]];
            rowOut[x] = liq_color{c.r, c.g, c.b, 255};
        }
    } else {
        const uint8_t* p = img.pixels.data() + base * 3;
        for (int x = 0; x < width; ++x, p += 3)
            rowOut[x] = liq_color{p[0], p[1], p[2], 255};
    }
}

struct LiqDeleter {
    void operator()(liq_attr* a) const { liq_attr_destroy(a); }
    void operator()(liq_image* i) const { liq_image_destroy(i); }
    void operator()(liq_result* r) const { liq_result_destroy(r); }
};

// Drops palette entries that no pixel uses.
void compact(Image& img)
{
    std::array<bool, 256> used{};
    for (uint8_t p : img.pixels)
        used[p] = true;
    std::array<uint8_t, 256> map{};
    std::vector<Rgb> pal;
    for (size_t i = 0; i < img.palette.size(); ++i)
        if (used[i]) {
            map[i] = uint8_t(pal.size());
            pal.push_back(img.palette[i]);
        }
    if (pal.size() == img.palette.size())
        return;
    for (auto& p : img.pixels)
        p = map[p];
    img.palette = std::move(pal);
}

}  // namespace

bool distinctColours(const Image& img, size_t limit, std::vector<Rgb>& colours)
{
    Image tmp;
    if (!exactIndexed(img, limit, tmp))
        return false;
    colours = std::move(tmp.palette);
    return true;
}

int automaticSpeed(uint64_t pixels)
{
    (void)pixels;
    return 4;
}

std::string reduce(const Image& in, const ReduceOptions& options, Image& out)
{
    if (options.colors < 2 || options.colors > 256)
        return "the colour count must be 2 to 256";
    if (in.width == 0 || in.height == 0 || in.width > uint32_t(INT32_MAX) / 4 || in.height > uint32_t(INT32_MAX))
        return "the image has no pixels";
    try {
        if (exactIndexed(in, size_t(options.colors), out))
            return {};

        std::unique_ptr<liq_attr, LiqDeleter> attr(liq_attr_create());
        if (!attr)
            return "cannot start the colour quantiser";
        liq_set_max_colors(attr.get(), options.colors);
        liq_set_speed(attr.get(), options.speed ? options.speed : automaticSpeed(uint64_t(in.width) * in.height));
        std::unique_ptr<liq_image, LiqDeleter> image(liq_image_create_custom(
            attr.get(), rowCallback, const_cast<Image*>(&in), int(in.width), int(in.height), 0));
        if (!image)
            return "the colour quantiser cannot take this image";
        liq_result* raw = nullptr;
        if (liq_image_quantize(image.get(), attr.get(), &raw) != LIQ_OK || !raw)
            return "colour quantisation failed";
        std::unique_ptr<liq_result, LiqDeleter> result(raw);
        liq_set_dithering_level(result.get(), options.dither ? 1.0f : 0.0f);

        out = Image{};
        out.width = in.width;
        out.height = in.height;
        out.indexed = true;
        out.pixels.resize(size_t(in.width) * in.height);
        if (liq_write_remapped_image(result.get(), image.get(), out.pixels.data(), out.pixels.size()) != LIQ_OK)
            return "colour remapping failed";
        const liq_palette* pal = liq_get_palette(result.get());
        out.palette.resize(pal->count);
        for (unsigned i = 0; i < pal->count; ++i)
            out.palette[i] = Rgb{pal->entries[i].r, pal->entries[i].g, pal->entries[i].b};
        compact(out);
        return {};
    } catch (const std::bad_alloc&) {
        out = Image{};
        return "not enough memory";
    }
}

}  // namespace pcx
