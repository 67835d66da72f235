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

#include "bands.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    case Error::NotRegularFile: return "not a regular file";
    case Error::LongerThanPicture: return "more data than the picture can need";
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
    // Without O_NONBLOCK, opening a named pipe would wait for a writer; anything but a regular
    // file is refused before a byte is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        notRegular_ = true;
        ::close(fd);
        return;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !(f_ = fdopen(fd, "rb"))) {
        ::close(fd);
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

    // Decodes the next n bytes of pixel data into dst; a run may carry over from one call to the
    // next, as writers let runs cross scan lines. False when the data ends first.
    bool decodeInto(uint8_t* dst, size_t n, bool rle)
    {
        size_t filled = 0;
        while (filled < n) {
            if (runLeft_) {
                const size_t k = std::min<size_t>(runLeft_, n - filled);
                std::memset(dst + filled, runValue_, k);
                filled += k;
                runLeft_ -= unsigned(k);
                continue;
            }
            if (at_ == len_ && !refill())
                return false;
            if (!rle) {
                const size_t k = std::min(len_ - at_, n - filled);
                std::memcpy(dst + filled, buf_.data() + at_, k);
                at_ += k;
                filled += k;
                continue;
            }
            filled = decodeBuffered(dst, filled, n);
            if (filled < n && at_ + 1 == len_ && buf_[at_] >= 0xC0) {
                // A count whose value byte lies beyond this buffer.
                const unsigned count = buf_[at_++] & 0x3Fu;
                const int v = next();
                if (v < 0)
                    return false;
                runLeft_ = count;
                runValue_ = uint8_t(v);
            }
        }
        return true;
    }

private:
    // Decodes from the buffered bytes until dst holds n bytes, the buffer runs out, or a count
    // byte is the buffer's last; returns how many bytes dst holds.
    size_t decodeBuffered(uint8_t* dst, size_t filled, size_t n)
    {
        const uint8_t* p = buf_.data() + at_;
        const uint8_t* end = buf_.data() + len_;
        while (filled < n && p < end) {
            const uint8_t c = *p;
            if (c < 0xC0) {
                dst[filled++] = c;
                ++p;
                continue;
            }
            if (p + 1 == end)
                break;
            const unsigned count = c & 0x3Fu;
            const uint8_t v = p[1];
            p += 2;
            const size_t k = std::min<size_t>(count, n - filled);
            std::memset(dst + filled, v, k);
            filled += k;
            if (k < count) {
                runLeft_ = unsigned(count - k);
                runValue_ = v;
            }
        }
        at_ = size_t(p - buf_.data());
        return filled;
    }

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
    std::array<uint8_t, 65536> buf_;  // left uninitialised: only bytes read are looked at
    size_t len_ = 0;
    size_t at_ = 0;
    bool failed_ = false;
    unsigned runLeft_ = 0;
    uint8_t runValue_ = 0;
};

bool readExact(Source& src, uint8_t* buf, size_t n)
{
    return src.read(buf, n) == n;
}

// Turns one decoded scan line (every plane in turn) into row y of the image.
void unpackRow(const Header& h, const uint8_t* line, Image& img, uint32_t y, bool keepAlpha)
{
    const uint32_t w = img.width;
    const size_t bpl = h.bytesPerLine;
    if (!img.indexed) {
        uint8_t* row = img.pixels.data() + size_t(y) * w * 4;
        const uint8_t* r = line;
        const uint8_t* g = r + bpl;
        const uint8_t* b = g + bpl;
        const uint8_t* a = keepAlpha && h.planes == 4 ? b + bpl : nullptr;
        for (uint32_t x = 0; x < w; ++x, row += 4) {
            row[0] = r[x];
            row[1] = g[x];
            row[2] = b[x];
            row[3] = a ? a[x] : 255;
        }
        return;
    }
    uint8_t* row = img.pixels.data() + size_t(y) * w;
    if (h.bitsPerPixel == 8) {
        std::memcpy(row, line, w);
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
}

}  // namespace

namespace {

// The header's fields and every check that needs no more than its 128 bytes (got of them read).
Error parseHeader(const uint8_t* b, size_t got, Header& h, const Limits& limits)
{
    if (got == 0 || b[0] != 10)
        return Error::NotPcx;
    if (got < 128)
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
    return Error::None;
}

uint64_t rawDataSize(const Header& h) { return uint64_t(h.bytesPerLine) * h.planes * h.height(); }

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
    if (Error e = parseHeader(b, got, h, limits); e != Error::None)
        return e;
    // A run-length pair yields at most 63 bytes, so the data needs at least this many bytes.
    const uint64_t raw = rawDataSize(h);
    const uint64_t least = h.encoding == 1 ? (raw + 62) / 63 * 2 : raw;
    if (size < 128 || size - 128 < least)
        return Error::LargerThanFile;
    return Error::None;
}

Error readStream(int fd, std::vector<uint8_t>& bytes, const Limits& limits)
{
    bytes.clear();
    // Reads until n bytes are there or the stream ends; false on a read error.
    auto fill = [&](uint64_t n) {
        while (bytes.size() < n) {
            const size_t at = bytes.size();
            bytes.resize(size_t(std::min<uint64_t>(n, at + (uint64_t(1) << 20))));
            const ssize_t k = ::read(fd, bytes.data() + at, bytes.size() - at);
            if (k < 0 && errno == EINTR) {
                bytes.resize(at);
                continue;
            }
            bytes.resize(at + size_t(std::max<ssize_t>(k, 0)));
            if (k <= 0)
                return k == 0;
        }
        return true;
    };
    try {
        if (!fill(128))
            return Error::ReadFailed;
        Header h;
        if (Error e = parseHeader(bytes.data(), bytes.size(), h, limits); e != Error::None)
            return e;
        // Every data byte coded alone, the 256-colour palette and some padding that writers leave:
        // no file of this picture needs more, and memory stays within what the picture takes.
        const uint64_t most = 128 + 2 * rawDataSize(h) + 769 + 4096;
        if (!fill(most + 1))
            return Error::ReadFailed;
        if (bytes.size() > most)
            return Error::LongerThanPicture;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
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
    for (uint32_t y = 0; y < ht; ++y) {
        if (!in.decodeInto(line.data(), lineBytes, h.encoding == 1))
            return in.failed() ? Error::ReadFailed : Error::Truncated;
        unpackRow(h, line.data(), img, y, limits.keepAlpha);
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
        return src.notRegular() ? Error::NotRegularFile : Error::CannotOpen;
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

// The shortest line that holds the width; odd lengths are read by every reader we target.
size_t bytesPerLineFor(size_t width, LayoutShape s) { return (width * s.bits + 7) / 8; }

IndexMap identityMap()
{
    IndexMap m{};
    for (size_t i = 0; i < 256; ++i)
        m[i] = uint8_t(i);
    return m;
}

// Makes the scan lines of a picture in one layout, its indices renumbered through a map.
class LineMaker {
public:
    LineMaker(const Image& img, Layout layout, const IndexMap& map)
        : img_(img), shape_(shapeOf(layout)), bpl_(bytesPerLineFor(img.width, shape_)), map_(map)
    {
        // Each plane's bit of an index at bit 8 * plane of a word, so that eight pixels shifted
        // into place fill every plane's byte at once.
        for (size_t v = 0; v < 256; ++v) {
            uint32_t word = 0;
            for (unsigned p = 0; p < shape_.planes; ++p)
                word |= uint32_t(map[v] >> p & 1u) << (8 * p);
            spread_[v] = word;
        }
    }
    size_t bytesPerLine() const { return bpl_; }
    size_t lineBytes() const { return bpl_ * shape_.planes; }
    unsigned planes() const { return shape_.planes; }

    // Scan line y: every plane in turn, bytesPerLine() bytes each.
    void make(uint32_t y, uint8_t* line) const
    {
        const size_t w = img_.width;
        const uint8_t* row = img_.pixels.data() + size_t(y) * w;
        if (shape_.bits == 8) {
            for (size_t x = 0; x < w; ++x)
                line[x] = map_[row[x]];
            return;
        }
        const size_t full = w / 8;
        for (size_t j = 0; j < full; ++j)
            put(line, j, pack(row + 8 * j));
        if (w % 8) {
            uint8_t v[8];
            lastBytePixels(row, w, v);
            put(line, full, pack(v));
        }
    }

    // The pixels of a row's last, partly used byte of a 1-bit plane. SDL_image reads them from its
    // low bits, every other reader from its high bits: they go at both ends (planarRowEndsAgree
    // says when that can work), and any bits between continue the last pixel's run.
    static void lastBytePixels(const uint8_t* row, size_t w, uint8_t (&v)[8])
    {
        const size_t full = w / 8, rem = w % 8, s = 8 - rem;
        for (size_t t = 0; t < 8; ++t)
            v[t] = row[8 * full + (t < rem ? t : t >= s ? t - s : rem - 1)];
    }

private:
    uint32_t pack(const uint8_t* px) const
    {
        uint32_t word = 0;
        for (unsigned k = 0; k < 8; ++k)
            word |= spread_[px[k]] << (7 - k);
        return word;
    }
    void put(uint8_t* line, size_t j, uint32_t word) const
    {
        for (unsigned p = 0; p < shape_.planes; ++p)
            line[p * bpl_ + j] = uint8_t(word >> (8 * p));
    }

    const Image& img_;
    LayoutShape shape_;
    size_t bpl_;
    IndexMap map_;
    std::array<uint32_t, 256> spread_{};
};

// The most one count byte can say.
constexpr size_t kLongestRun = 63;

// The bytes a run of b is coded in: a count byte before it, unless it is a lone byte that cannot
// be taken for one.
constexpr unsigned codedRunSize(size_t run, uint8_t b) { return run > 1 || b >= 0xC0 ? 2 : 1; }

// The length of a run starting at p, at most kLongestRun and at most n.
size_t runAt(const uint8_t* p, size_t n)
{
    const size_t limit = std::min(n, kLongestRun);
    size_t run = 1;
    while (run < limit && p[run] == p[0])
        ++run;
    return run;
}

// Run-length codes n bytes into out (room for 2n); returns the end. Each call starts afresh:
// runs never continue into the next plane or line, as some readers restart at each.
uint8_t* encodeRuns(const uint8_t* p, size_t n, uint8_t* out)
{
    for (size_t i = 0; i < n;) {
        const size_t run = runAt(p + i, n - i);
        if (codedRunSize(run, p[i]) == 2)
            *out++ = uint8_t(0xC0 | run);
        *out++ = p[i];
        i += run;
    }
    return out;
}

// What encodeRuns would write for these bytes.
size_t runLengthSize(const uint8_t* p, size_t n)
{
    size_t size = 0;
    for (size_t i = 0; i < n;) {
        const size_t run = runAt(p + i, n - i);
        size += codedRunSize(run, p[i]);
        i += run;
    }
    return size;
}

bool canWrite(const Image& img, Layout layout)
{
    const auto allowed = candidateLayouts(img);
    return std::find(allowed.begin(), allowed.end(), layout) != allowed.end() && img.width > 0 &&
           img.height > 0 && img.width <= 65536 && img.height <= 65536 &&
           img.pixels.size() == size_t(img.width) * img.height &&
           bytesPerLineFor(img.width, shapeOf(layout)) <= 65535;
}

// The run-length coded size of each plane of the lines, counted on all cores.
std::array<uint64_t, 4> codedPlaneSizes(const Image& img, const LineMaker& lines)
{
    using Sizes = std::array<uint64_t, 4>;
    return sumOverBands<Sizes>(
        bandCount(img.pixels.size()), img.height,
        [&](Sizes& sum, uint32_t y0, uint32_t y1) {
            std::vector<uint8_t> line(lines.lineBytes());
            for (uint32_t y = y0; y < y1; ++y) {
                lines.make(y, line.data());
                for (unsigned p = 0; p < lines.planes(); ++p)
                    sum[p] += runLengthSize(line.data() + p * lines.bytesPerLine(), lines.bytesPerLine());
            }
        },
        [](Sizes& a, const Sizes& b) {
            for (unsigned p = 0; p < 4; ++p)
                a[p] += b[p];
        });
}

// The encoded size of a writable picture, without writing it.
uint64_t sizeOf(const Image& img, Layout layout, bool rle)
{
    const LineMaker lines(img, layout, identityMap());
    const uint64_t size = 128 + (layout == Layout::Byte ? 769 : 0);
    if (!rle)
        return size + uint64_t(lines.lineBytes()) * img.height;
    const auto planes = codedPlaneSizes(img, lines);
    return size + planes[0] + planes[1] + planes[2] + planes[3];
}

}  // namespace

bool planarRowEndsAgree(const Image& img)
{
    const size_t w = img.width, rem = w % 8;
    if (rem < 5 || img.pixels.size() != w * img.height)
        return true;
    const size_t s = 8 - rem;
    for (size_t y = 0; y < img.height; ++y) {
        const uint8_t* last = img.pixels.data() + y * w + (w - rem);
        for (size_t t = s; t < rem; ++t)
            if (last[t] != last[t - s])
                return false;
    }
    return true;
}

std::vector<Layout> candidateLayouts(const Image& img)
{
    std::vector<Layout> c;
    if (!img.indexed || img.palette.empty() || img.palette.size() > 256)
        return c;
    const size_t n = img.palette.size();
    if (n <= 16 && planarRowEndsAgree(img)) {
        if (n <= 4)
            c.push_back(Layout::Planes2);
        c.push_back(Layout::Planes4);
    }
    c.push_back(Layout::Byte);
    return c;
}

Error encode(const Image& img, Layout layout, bool rle, Sink& sink)
{
    if (!canWrite(img, layout))
        return Error::Unsupported;
    const LineMaker lines(img, layout, identityMap());
    const size_t bpl = lines.bytesPerLine();

    uint8_t h[128] = {};
    h[0] = 10;
    h[1] = 5;
    h[2] = rle ? 1 : 0;
    h[3] = uint8_t(shapeOf(layout).bits);
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
    h[65] = uint8_t(lines.planes());
    h[66] = uint8_t(bpl);
    h[67] = uint8_t(bpl >> 8);
    h[68] = 1;

    std::vector<uint8_t> line(lines.lineBytes()), coded(2 * lines.lineBytes());
    std::vector<uint8_t> out(h, h + sizeof h);
    out.reserve(size_t(1) << 16);
    bool ok = true;
    for (uint32_t y = 0; y < img.height && ok; ++y) {
        lines.make(y, line.data());
        if (rle) {
            uint8_t* c = coded.data();
            for (unsigned p = 0; p < lines.planes(); ++p)
                c = encodeRuns(line.data() + p * bpl, bpl, c);
            out.insert(out.end(), coded.data(), c);
        } else {
            out.insert(out.end(), line.begin(), line.end());
        }
        if (out.size() >= (size_t(1) << 16)) {
            ok = sink.write(out.data(), out.size());
            out.clear();
        }
    }
    if (layout == Layout::Byte) {
        out.push_back(12);
        for (size_t i = 0; i < 256; ++i) {
            const Rgb c = i < img.palette.size() ? img.palette[i] : Rgb{};
            out.insert(out.end(), {c.r, c.g, c.b});
        }
    }
    if (ok && !out.empty())
        ok = sink.write(out.data(), out.size());
    return ok ? Error::None : Error::WriteFailed;
}

uint64_t encodedSize(const Image& img, Layout layout, bool rle)
{
    return canWrite(img, layout) ? sizeOf(img, layout, rle) : 0;
}

std::array<uint64_t, 8> planeSizes(const Image& img, const IndexMap& bits, unsigned planes)
{
    using Sizes = std::array<uint64_t, 8>;
    if (img.width == 0 || img.pixels.size() != size_t(img.width) * img.height)
        return {};
    planes = std::min(planes, 8u);
    // Each plane's bit of an index at bit 8 * plane of a word, so that eight pixels shifted into
    // place fill every plane's byte at once.
    std::array<uint64_t, 256> spread{};
    for (size_t v = 0; v < 256; ++v)
        for (unsigned p = 0; p < planes; ++p)
            spread[v] |= uint64_t(bits[v] >> p & 1u) << (8 * p);
    const size_t w = img.width, full = w / 8, bpl = (w + 7) / 8;
    return sumOverBands<Sizes>(
        bandCount(img.pixels.size()), img.height,
        [&](Sizes& sum, uint32_t y0, uint32_t y1) {
            for (uint32_t y = y0; y < y1; ++y) {
                const uint8_t* row = img.pixels.data() + size_t(y) * w;
                // Each plane's run so far, coded as encodeRuns codes it once it ends.
                std::array<uint8_t, 8> last{};
                std::array<unsigned, 8> run{};
                for (size_t j = 0; j < bpl; ++j) {
                    uint8_t v[8];
                    const uint8_t* px = row + 8 * j;
                    if (j == full) {
                        LineMaker::lastBytePixels(row, w, v);
                        px = v;
                    }
                    uint64_t word = 0;
                    for (unsigned k = 0; k < 8; ++k)
                        word |= spread[px[k]] << (7 - k);
                    for (unsigned p = 0; p < planes; ++p) {
                        const uint8_t b = uint8_t(word >> (8 * p));
                        if (run[p] && b == last[p] && run[p] < kLongestRun) {
                            ++run[p];
                        } else {
                            if (run[p])
                                sum[p] += codedRunSize(run[p], last[p]);
                            last[p] = b;
                            run[p] = 1;
                        }
                    }
                }
                for (unsigned p = 0; p < planes; ++p)
                    sum[p] += codedRunSize(run[p], last[p]);
            }
        },
        [](Sizes& a, const Sizes& b) {
            for (unsigned p = 0; p < 8; ++p)
                a[p] += b[p];
        });
}

bool canEncode(const Image& img, Layout layout) { return canWrite(img, layout); }

void planeBytePixels(const Image& img, uint32_t y, size_t j, uint8_t (&px)[8])
{
    const uint8_t* row = img.pixels.data() + size_t(y) * img.width;
    if (8 * j + 8 <= img.width)
        std::memcpy(px, row + 8 * j, 8);
    else
        LineMaker::lastBytePixels(row, img.width, px);
}

}  // namespace pcx
