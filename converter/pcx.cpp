// SPDX-License-Identifier: GPL-3.0-or-later
//
// The PCX file, byte by byte (all numbers little-endian):
//
//   0   manufacturer, always 10
//   1   version 0..5; we write 5 (the one every reader takes with a 256-colour palette)
//   2   encoding: 1 run-length, 0 none
//   3   bits per pixel in each plane: 1, 2, 4 or 8
//   4   xmin, ymin, xmax, ymax (u16 each): the window; width = xmax - xmin + 1. The origin
//       need not be 0 and says nothing about the pixels.
//   12  horizontal and vertical dpi (u16 each)
//   16  header palette: 16 RGB triples, used by layouts of at most 16 colours
//   64  reserved
//   65  number of planes: 1, 2, 3 or 4
//   66  bytes per line in one plane (u16); at least enough for the width, often padded to even
//   68  palette info (u16): 1 colour, 2 grey; readers ignore it
//   70  screen size, then filler up to byte 128
//   128 pixel data: each scan line holds every plane in turn, bytesPerLine bytes each.
//       Run-length: a byte with its top two bits set (192..255) repeats the next byte
//       (its low six bits) times; any other byte stands for itself. So a lone byte of 192 or more
//       costs two bytes. Writers let a run carry over into the next scan line; we read that and
//       never write it.
//   end 8 bits x 1 plane: byte 12 and 768 palette bytes, the last 769 bytes of the file. Without
//       them the image is grey.
//
// Layouts: 1 bit x 1..4 planes (the pixel's bit in plane p is bit p of its index), 2 or 4 bits x
// 1 plane (packed, high bits first), 8 bits x 1 plane (index), 8 bits x 3 planes (R, G, B),
// 8 bits x 4 planes (R, G, B and an alpha that we ignore, as netpbm does).

#include "pcx.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <sys/stat.h>

namespace pcx {

const char* errorText(Error e)
{
    switch (e) {
    case Error::None: return "no error";
    case Error::CannotOpen: return "cannot open the file";
    case Error::ReadFailed: return "the file cannot be read";
    case Error::NotPcx: return "not a PCX file";
    case Error::BadVersion: return "unknown PCX version";
    case Error::BadEncoding: return "unknown PCX encoding";
    case Error::Unsupported: return "unsupported combination of bits per pixel and planes";
    case Error::BadDimensions: return "image dimensions are zero or inverted";
    case Error::TooLarge: return "image dimensions exceed the limits";
    case Error::BytesPerLineTooSmall: return "bytes per line too small for the image width";
    case Error::LargerThanFile: return "the header promises more pixels than the file holds";
    case Error::Truncated: return "the file is truncated";
    case Error::PaletteTruncated: return "the 256-colour palette is cut short";
    case Error::OutOfMemory: return "not enough memory";
    case Error::WriteFailed: return "cannot write the output";
    }
    return "unknown error";
}

Rgb Image::at(uint32_t x, uint32_t y) const
{
    const size_t i = size_t(y) * width + x;
    if (indexed)
        return palette[pixels[i]];
    return Rgb{pixels[i * 4], pixels[i * 4 + 1], pixels[i * 4 + 2]};
}

// ---- Sources ----

bool MemorySource::seek(uint64_t pos)
{
    if (pos > size_)
        return false;
    pos_ = size_t(pos);
    return true;
}

size_t MemorySource::read(uint8_t* buf, size_t n)
{
    const size_t k = std::min(n, size_ - pos_);
    if (k)
        std::memcpy(buf, data_ + pos_, k);
    pos_ += k;
    return k;
}

FileSource::FileSource(const std::string& path)
{
    f_ = std::fopen(path.c_str(), "rb");
    if (!f_)
        return;
    struct stat st {};
    if (fstat(fileno(f_), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f_);
        f_ = nullptr;
        return;
    }
    size_ = uint64_t(st.st_size);
}

FileSource::~FileSource()
{
    if (f_)
        std::fclose(f_);
}

bool FileSource::seek(uint64_t pos)
{
    return f_ && fseeko(f_, off_t(pos), SEEK_SET) == 0;
}

size_t FileSource::read(uint8_t* buf, size_t n)
{
    if (!f_)
        return 0;
    const size_t k = std::fread(buf, 1, n, f_);
    if (k < n && std::ferror(f_))
        failed_ = true;
    return k;
}

// ---- Reading ----

namespace {

uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

bool supportedLayout(unsigned bits, unsigned planes)
{
    if (bits == 1)
        return planes >= 1 && planes <= 4;
    if (bits == 2 || bits == 4)
        return planes == 1;
    if (bits == 8)
        return planes == 1 || planes == 3 || planes == 4;
    return false;
}

// Forward reader over a Source with its own buffer, ending at a fixed offset.
class ByteReader {
public:
    ByteReader(Source& src, uint64_t pos, uint64_t end) : src_(src), pos_(pos), end_(end) {}
    // -1 at the end of the data.
    int next()
    {
        if (at_ == len_ && !refill())
            return -1;
        return buf_[at_++];
    }
    uint64_t position() const { return pos_ - (len_ - at_); }
    bool failed() const { return failed_; }

private:
    bool refill()
    {
        if (pos_ >= end_)
            return false;
        const size_t want = size_t(std::min<uint64_t>(buf_.size(), end_ - pos_));
        const size_t got = src_.read(buf_.data(), want);
        if (got == 0) {
            failed_ = src_.failed();
            return false;
        }
        pos_ += got;
        len_ = got;
        at_ = 0;
        return true;
    }
    Source& src_;
    uint64_t pos_;
    uint64_t end_;
    std::array<uint8_t, 65536> buf_{};
    size_t len_ = 0;
    size_t at_ = 0;
    bool failed_ = false;
};

bool readExact(Source& src, uint8_t* buf, size_t n)
{
    return src.read(buf, n) == n;
}

}  // namespace

Error readHeader(Source& src, Header& h, const Limits& limits)
{
    uint8_t b[128];
    const uint64_t size = src.size();
    if (!src.seek(0))
        return Error::ReadFailed;
    const size_t got = src.read(b, sizeof b);
    if (src.failed())
        return Error::ReadFailed;
    if (got == 0 || b[0] != 10)
        return Error::NotPcx;
    if (got < sizeof b)
        return Error::Truncated;
    h.version = b[1];
    h.encoding = b[2];
    h.bitsPerPixel = b[3];
    h.xmin = u16(b + 4);
    h.ymin = u16(b + 6);
    h.xmax = u16(b + 8);
    h.ymax = u16(b + 10);
    for (int i = 0; i < 16; ++i)
        h.palette[i] = Rgb{b[16 + 3 * i], b[17 + 3 * i], b[18 + 3 * i]};
    h.planes = b[65];
    h.bytesPerLine = u16(b + 66);
    h.paletteInfo = u16(b + 68);

    if (h.version > 5)
        return Error::BadVersion;
    if (h.encoding > 1)
        return Error::BadEncoding;
    if (!supportedLayout(h.bitsPerPixel, h.planes))
        return Error::Unsupported;
    if (h.xmax < h.xmin || h.ymax < h.ymin)
        return Error::BadDimensions;
    const uint64_t w = h.width(), ht = h.height();
    if (w > limits.maxWidth || ht > limits.maxHeight || w * ht > limits.maxPixels)
        return Error::TooLarge;
    if (uint64_t(h.bytesPerLine) * 8 < w * h.bitsPerPixel)
        return Error::BytesPerLineTooSmall;

    // A run-length pair yields at most 63 bytes, so the data needs at least this many bytes.
    const uint64_t raw = uint64_t(h.bytesPerLine) * h.planes * ht;
    const uint64_t least = h.encoding == 1 ? (raw + 62) / 63 * 2 : raw;
    if (size < 128 || size - 128 < least)
        return Error::LargerThanFile;
    return Error::None;
}

Error decode(Source& src, Image& out, const Limits& limits)
{
    out = Image{};
    Header h;
    if (Error e = readHeader(src, h, limits); e != Error::None)
        return e;

    const uint32_t w = h.width(), ht = h.height();
    const uint64_t size = src.size();
    uint64_t dataEnd = size;
    Image img;
    img.width = w;
    img.height = ht;
    img.indexed = h.planes == 1 || h.bitsPerPixel == 1;

    bool trailingPalette = false;
    try {
        if (h.bitsPerPixel == 8 && h.planes == 1) {
            img.palette.resize(256);
            uint8_t pal[769];
            if (size >= 128 + 769 && src.seek(size - 769) && readExact(src, pal, sizeof pal) && pal[0] == 12) {
                for (int i = 0; i < 256; ++i)
                    img.palette[i] = Rgb{pal[1 + 3 * i], pal[2 + 3 * i], pal[3 + 3 * i]};
                dataEnd = size - 769;
                trailingPalette = true;
            } else {
                if (src.failed())
                    return Error::ReadFailed;
                for (int i = 0; i < 256; ++i)
                    img.palette[i] = Rgb{uint8_t(i), uint8_t(i), uint8_t(i)};
            }
        } else if (img.indexed) {
            const unsigned colours = 1u << (h.bitsPerPixel * h.planes);
            img.palette.assign(h.palette, h.palette + colours);
            // A one-bit file with an all-black header palette is plain black on white.
            if (colours == 2 && img.palette[0] == Rgb{} && img.palette[1] == Rgb{})
                img.palette[1] = Rgb{255, 255, 255};
        }
        img.pixels.resize(size_t(w) * ht * (img.indexed ? 1 : 4));
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }

    if (!src.seek(128))
        return Error::ReadFailed;
    const size_t bpl = h.bytesPerLine;
    const size_t lineBytes = bpl * h.planes;
    std::vector<uint8_t> line;
    try {
        line.resize(lineBytes);
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
    ByteReader in(src, 128, dataEnd);
    unsigned runLeft = 0;
    uint8_t runValue = 0;

    for (uint32_t y = 0; y < ht; ++y) {
        size_t filled = 0;
        while (filled < lineBytes) {
            if (runLeft) {
                const size_t k = std::min<size_t>(runLeft, lineBytes - filled);
                std::memset(line.data() + filled, runValue, k);
                filled += k;
                runLeft -= unsigned(k);
                continue;
            }
            const int c = in.next();
            if (c < 0)
                return in.failed() ? Error::ReadFailed : Error::Truncated;
            if (h.encoding == 1 && c >= 0xC0) {
                const int v = in.next();
                if (v < 0)
                    return in.failed() ? Error::ReadFailed : Error::Truncated;
                runLeft = unsigned(c & 0x3F);
                runValue = uint8_t(v);
            } else {
                line[filled++] = uint8_t(c);
            }
        }

        if (img.indexed) {
            uint8_t* row = img.pixels.data() + size_t(y) * w;
            if (h.bitsPerPixel == 8) {
                std::memcpy(row, line.data(), w);
            } else if (h.planes == 1) {
                const unsigned bits = h.bitsPerPixel, perByte = 8 / bits, mask = (1u << bits) - 1;
                for (uint32_t x = 0; x < w; ++x) {
                    const unsigned shift = 8 - bits * (x % perByte + 1);
                    row[x] = uint8_t((line[x / perByte] >> shift) & mask);
                }
            } else {
                for (uint32_t x = 0; x < w; ++x) {
                    unsigned v = 0;
                    for (unsigned p = 0; p < h.planes; ++p)
                        v |= ((line[p * bpl + x / 8] >> (7 - x % 8)) & 1u) << p;
                    row[x] = uint8_t(v);
                }
            }
        } else {
            uint8_t* row = img.pixels.data() + size_t(y) * w * 4;
            const uint8_t* r = line.data();
            const uint8_t* g = r + bpl;
            const uint8_t* b = g + bpl;
            for (uint32_t x = 0; x < w; ++x) {
                row[4 * x] = r[x];
                row[4 * x + 1] = g[x];
                row[4 * x + 2] = b[x];
                row[4 * x + 3] = 255;
            }
        }
    }

    // Bytes after the pixel data that begin with the palette marker but are too few to be one.
    if (h.bitsPerPixel == 8 && h.planes == 1 && !trailingPalette) {
        const uint64_t pos = in.position();
        if (pos < size && size - pos < 769 && in.next() == 12)
            return Error::PaletteTruncated;
    }
    out = std::move(img);
    return Error::None;
}

Error decodeMemory(const uint8_t* data, size_t size, Image& out, const Limits& limits)
{
    MemorySource src(data, size);
    return decode(src, out, limits);
}

Error decodeFile(const std::string& path, Image& out, const Limits& limits)
{
    FileSource src(path);
    if (!src.isOpen())
        return Error::CannotOpen;
    return decode(src, out, limits);
}

// ---- Writing ----

const char* layoutName(Layout l)
{
    switch (l) {
    case Layout::Planes2: return "1-bit x 2 planes";
    case Layout::Planes4: return "1-bit x 4 planes";
    case Layout::Byte: return "8-bit";
    }
    return "?";
}

namespace {

struct LayoutShape {
    unsigned bits, planes;
};

LayoutShape shapeOf(Layout l)
{
    switch (l) {
    case Layout::Planes2: return {1, 2};
    case Layout::Planes4: return {1, 4};
    case Layout::Byte: return {8, 1};
    }
    return {8, 1};
}

// Buffers output so the sink sees large writes.
class Out {
public:
    explicit Out(Sink& s) : sink_(s) { buf_.reserve(1 << 16); }
    void put(uint8_t b)
    {
        buf_.push_back(b);
        if (buf_.size() >= (1 << 16))
            flush();
    }
    void put(const uint8_t* p, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            put(p[i]);
    }
    bool flush()
    {
        if (!buf_.empty() && ok_)
            ok_ = sink_.write(buf_.data(), buf_.size());
        buf_.clear();
        return ok_;
    }
private:
    Sink& sink_;
    std::vector<uint8_t> buf_;
    bool ok_ = true;
};

void encodeLine(const uint8_t* p, size_t n, Out& out)
{
    size_t i = 0;
    while (i < n) {
        const uint8_t v = p[i];
        size_t run = 1;
        while (i + run < n && run < 63 && p[i + run] == v)
            ++run;
        if (run > 1 || v >= 0xC0)
            out.put(uint8_t(0xC0 | run));
        out.put(v);
        i += run;
    }
}

}  // namespace

std::vector<Layout> candidateLayouts(const Image& img)
{
    std::vector<Layout> c;
    if (!img.indexed || img.palette.empty() || img.palette.size() > 256)
        return c;
    const size_t n = img.palette.size();
    if (n <= 4)
        c.push_back(Layout::Planes2);
    if (n <= 16)
        c.push_back(Layout::Planes4);
    c.push_back(Layout::Byte);
    return c;
}

Error encode(const Image& img, Layout layout, bool rle, Sink& sink)
{
    const auto allowed = candidateLayouts(img);
    if (std::find(allowed.begin(), allowed.end(), layout) == allowed.end() || img.width == 0 ||
        img.height == 0 || img.width > 65536 || img.height > 65536 ||
        img.pixels.size() != size_t(img.width) * img.height)
        return Error::Unsupported;

    const LayoutShape s = shapeOf(layout);
    const size_t w = img.width;
    // Shortest line that holds the width; odd lengths are read by all readers we target.
    const size_t bpl = (w * s.bits + 7) / 8;
    if (bpl > 65535)
        return Error::TooLarge;

    uint8_t h[128] = {};
    h[0] = 10;
    h[1] = 5;
    h[2] = rle ? 1 : 0;
    h[3] = uint8_t(s.bits);
    const unsigned xmax = img.width - 1, ymax = img.height - 1;
    h[8] = uint8_t(xmax);
    h[9] = uint8_t(xmax >> 8);
    h[10] = uint8_t(ymax);
    h[11] = uint8_t(ymax >> 8);
    h[12] = h[14] = 72;
    if (layout != Layout::Byte) {
        for (size_t i = 0; i < img.palette.size() && i < 16; ++i) {
            h[16 + 3 * i] = img.palette[i].r;
            h[17 + 3 * i] = img.palette[i].g;
            h[18 + 3 * i] = img.palette[i].b;
        }
    }
    h[65] = uint8_t(s.planes);
    h[66] = uint8_t(bpl);
    h[67] = uint8_t(bpl >> 8);
    h[68] = 1;

    Out out(sink);
    out.put(h, sizeof h);
    std::vector<uint8_t> line(bpl * s.planes);
    for (size_t y = 0; y < img.height; ++y) {
        const uint8_t* row = img.pixels.data() + y * w;
        if (layout == Layout::Byte) {
            std::memcpy(line.data(), row, w);
        } else {
            std::fill(line.begin(), line.end(), 0);
            // Padding bits repeat the last pixel so they extend its run rather than break it.
            const uint8_t last = row[w - 1];
            for (size_t x = 0; x < bpl * 8; ++x) {
                const unsigned v = x < w ? row[x] : last;
                for (unsigned p = 0; p < s.planes; ++p)
                    if (v >> p & 1u)
                        line[p * bpl + x / 8] |= uint8_t(0x80u >> (x % 8));
            }
        }
        if (rle) {
            // Each plane on its own: some readers restart the decoder at every plane.
            for (unsigned p = 0; p < s.planes; ++p)
                encodeLine(line.data() + p * bpl, bpl, out);
        } else {
            out.put(line.data(), line.size());
        }
    }
    if (layout == Layout::Byte) {
        out.put(12);
        for (size_t i = 0; i < 256; ++i) {
            const Rgb c = i < img.palette.size() ? img.palette[i] : Rgb{};
            out.put(c.r);
            out.put(c.g);
            out.put(c.b);
        }
    }
    return out.flush() ? Error::None : Error::WriteFailed;
}

uint64_t encodedSize(const Image& img, Layout layout, bool rle)
{
    CountingSink c;
    return encode(img, layout, rle, c) == Error::None ? c.count : 0;
}

namespace {

void renumber(Image& img, const std::vector<size_t>& order)
{
    // order[newIndex] = oldIndex
    std::array<uint8_t, 256> map{};
    std::vector<Rgb> pal(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        map[order[i]] = uint8_t(i);
        pal[i] = img.palette[order[i]];
    }
    for (auto& p : img.pixels)
        p = map[p];
    img.palette = std::move(pal);
}

std::vector<size_t> orderByCounts(const std::array<uint64_t, 256>& counts, size_t n)
{
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return counts[a] > counts[b]; });
    return order;
}

}  // namespace

void orderByFrequency(Image& img)
{
    std::array<uint64_t, 256> counts{};
    for (uint8_t p : img.pixels)
        ++counts[p];
    renumber(img, orderByCounts(counts, img.palette.size()));
}

void orderForLoneBytes(Image& img)
{
    // A run that the encoder emits with a remainder of one pixel also writes a lone byte.
    std::array<uint64_t, 256> lone{}, counts{};
    const size_t w = img.width;
    for (size_t y = 0; y < img.height; ++y) {
        const uint8_t* row = img.pixels.data() + y * w;
        size_t i = 0;
        while (i < w) {
            size_t run = 1;
            while (i + run < w && row[i + run] == row[i])
                ++run;
            if (run % 63 == 1)
                ++lone[row[i]];
            counts[row[i]] += 1;
            i += run;
        }
    }
    // Ties (colours never alone) fall back to how many runs they start.
    for (size_t i = 0; i < 256; ++i)
        lone[i] = lone[i] * (uint64_t(1) << 32) + counts[i];
    renumber(img, orderByCounts(lone, img.palette.size()));
}

Choice chooseSmallest(const Image& indexed, bool rle)
{
    Choice best;
    bool have = false;
    auto consider = [&](Image&& img, Layout l) {
        const uint64_t size = encodedSize(img, l, rle);
        if (size && (!have || size < best.size)) {
            best.image = std::move(img);
            best.layout = l;
            best.size = size;
            have = true;
        }
    };
    const size_t n = indexed.palette.size();
    if (n <= 16) {
        Image planar = indexed;
        orderByFrequency(planar);
        for (const Image* img : {&indexed, static_cast<const Image*>(&planar)}) {
            if (n <= 4)
                consider(Image(*img), Layout::Planes2);
            consider(Image(*img), Layout::Planes4);
        }
    }
    consider(Image(indexed), Layout::Byte);
    Image bytes = indexed;
    orderForLoneBytes(bytes);
    consider(std::move(bytes), Layout::Byte);
    return best;
}

}  // namespace pcx
