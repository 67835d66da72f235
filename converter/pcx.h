// SPDX-License-Identifier: GPL-3.0-or-later
// PCX codec: reads every layout in real use, writes the run-length layouts all common readers agree on.
// No Qt and no windows here; the converter program and its tests use it directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pcx {

enum class Error {
    None = 0,
    CannotOpen,          // the file cannot be opened
    ReadFailed,          // the system reported a read error
    NotPcx,              // first byte is not the PCX marker 10
    BadVersion,          // version byte above 5
    BadEncoding,         // encoding byte neither 0 nor 1
    Unsupported,         // bits per pixel and plane count that no layout uses
    BadDimensions,       // right edge left of the left edge, or bottom above the top
    TooLarge,            // beyond the decoder's limits
    BytesPerLineTooSmall,
    LargerThanFile,      // the header promises more pixels than the file's bytes can encode
    Truncated,           // the pixel data ends early
    PaletteTruncated,    // an 8-bit image whose trailing palette is cut short
    OutOfMemory,
    WriteFailed,
    NotRegularFile,      // a folder, named pipe, device or socket
    LongerThanPicture,   // a stream longer than any file of its picture could be
};

// One readable text per error code.
const char* errorText(Error e);

// Explicit bounds, checked against the header before anything is allocated.
struct Limits {
    uint32_t maxWidth = 65536;
    uint32_t maxHeight = 65536;
    uint64_t maxPixels = uint64_t(1) << 28;
    // A 32-bit file's fourth plane goes to the pixels' fourth byte; otherwise that byte is 255.
    bool keepAlpha = false;
};

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

struct Header {
    uint8_t version = 5;
    uint8_t encoding = 1;
    uint8_t bitsPerPixel = 8;
    uint8_t planes = 1;
    uint16_t xmin = 0, ymin = 0, xmax = 0, ymax = 0;
    uint16_t bytesPerLine = 0;
    uint16_t paletteInfo = 1;
    Rgb palette[16];
    uint32_t width() const { return uint32_t(xmax) - xmin + 1; }
    uint32_t height() const { return uint32_t(ymax) - ymin + 1; }
};

// A decoded picture: either one palette index per pixel, or four bytes (R, G, B, 255) per pixel,
// the layout the quantiser takes without a copy.
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    bool indexed = true;
    std::vector<Rgb> palette;     // indexed only; every index in pixels is below its size
    std::vector<uint8_t> pixels;  // row-major, no padding
    Rgb at(uint32_t x, uint32_t y) const;
};

// Where the decoder takes its bytes from; it reads forward and seeks once for the trailing palette.
class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    virtual bool seek(uint64_t pos) = 0;
    // Returns how many bytes were read; fewer than n only at the end or on error (then failed()).
    virtual size_t read(uint8_t* buf, size_t n) = 0;
    virtual bool failed() const { return false; }
};

class MemorySource : public Source {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t size() const override { return size_; }
    bool seek(uint64_t pos) override;
    size_t read(uint8_t* buf, size_t n) override;
private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

class FileSource : public Source {
public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    bool isOpen() const { return f_ != nullptr; }
    // The path names something other than a regular file (then isOpen() is false).
    bool notRegular() const { return notRegular_; }
    uint64_t size() const override { return size_; }
    bool seek(uint64_t pos) override;
    size_t read(uint8_t* buf, size_t n) override;
    bool failed() const override { return failed_; }
private:
    std::FILE* f_ = nullptr;
    uint64_t size_ = 0;
    bool failed_ = false;
    bool notRegular_ = false;
};

// Parses and checks the header, including whether the file can hold what it promises.
Error readHeader(Source& src, Header& h, const Limits& limits = {});

// Reads a whole PCX file from a stream such as a pipe into bytes: the header first, then no more
// than a file of that picture can hold, so that memory is bounded as for a file.
Error readStream(int fd, std::vector<uint8_t>& bytes, const Limits& limits = {});

Error decode(Source& src, Image& out, const Limits& limits = {});
Error decodeMemory(const uint8_t* data, size_t size, Image& out, const Limits& limits = {});
Error decodeFile(const std::string& path, Image& out, const Limits& limits = {});

// ---- Writing ----

// Layouts that ImageMagick, GraphicsMagick, netpbm and Pillow all read back to the same colours.
// Not 1 bit x 1 plane: Pillow reads it as black at 0, ImageMagick as white at 0, both whatever
// the palette says. Not 1 bit x 3 planes, 2 or 4 bits x 1 plane: Pillow refuses them.
enum class Layout {
    Planes2,  // 1 bit x 2 planes, header palette, up to 4 colours
    Planes4,  // 1 bit x 4 planes, header palette, up to 16 colours
    Byte,     // 8 bits x 1 plane, 256-colour palette at the end
};

const char* layoutName(Layout l);

// Layouts able to carry this indexed image as it is (palette order included), so that every
// reader above and SDL_image read it alike.
std::vector<Layout> candidateLayouts(const Image& img);

// SDL_image takes the pixels of a 1-bit plane's last, partly used byte from its low bits, other
// readers from its high bits. The writer puts them at both ends; with 5 to 7 pixels there the two
// places overlap, and both readings agree only when every row's pixel there equals the one
// 8 - width % 8 places to its left. The 1-bit layouts are offered only for pictures where they do.
bool planarRowEndsAgree(const Image& img);

class Sink {
public:
    virtual ~Sink() = default;
    virtual bool write(const uint8_t* data, size_t n) = 0;
};

class CountingSink : public Sink {
public:
    bool write(const uint8_t*, size_t n) override { count += n; return true; }
    uint64_t count = 0;
};

class VectorSink : public Sink {
public:
    bool write(const uint8_t* data, size_t n) override { bytes.insert(bytes.end(), data, data + n); return true; }
    std::vector<uint8_t> bytes;
};

// Writes an indexed image (version 5). rle false writes encoding 0.
Error encode(const Image& img, Layout layout, bool rle, Sink& sink);
uint64_t encodedSize(const Image& img, Layout layout, bool rle);

// Whether encode() can write the picture in this layout.
bool canEncode(const Image& img, Layout layout);

// A number for each palette index: a new index, or the bits of one index in several planes.
using IndexMap = std::array<uint8_t, 256>;

// The run-length coded sizes of the first `planes` (up to eight) 1-bit planes of the picture,
// each line and plane coded as encode() codes them (row ends included), where a pixel's bit in
// plane p is bit p of bits[index]. So the size of a planar layout for any numbering, or of one
// plane for any choice of the indices whose bit is set, is counted without writing.
std::array<uint64_t, 8> planeSizes(const Image& img, const IndexMap& bits, unsigned planes);

// The indices of the pixels that make byte j of a 1-bit plane's line y as encode() packs them,
// the one at the byte's high bit first (a row's last, partly used byte included).
void planeBytePixels(const Image& img, uint32_t y, size_t j, uint8_t (&px)[8]);

}  // namespace pcx
