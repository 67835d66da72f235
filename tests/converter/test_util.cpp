// SPDX-License-Identifier: GPL-3.0-or-later
#include "test_util.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testutil {

std::vector<uint8_t> readFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + p.string());
}

std::vector<fs::path> testFiles()
{
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(PCX_TEST_DATA))
        if (e.path().extension() == ".pcx")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "pcxtest-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<uint8_t> header(const Crafted& c)
{
    std::vector<uint8_t> h(128, 0);
    auto put16 = [&](size_t at, uint16_t v) {
        h[at] = uint8_t(v);
        h[at + 1] = uint8_t(v >> 8);
    };
    h[0] = 10;
    h[1] = c.version;
    h[2] = c.encoding;
    h[3] = c.bits;
    put16(4, c.xmin);
    put16(6, c.ymin);
    put16(8, c.xmax);
    put16(10, c.ymax);
    for (size_t i = 0; i < c.headerPalette.size() && i < 16; ++i) {
        h[16 + 3 * i] = c.headerPalette[i].r;
        h[17 + 3 * i] = c.headerPalette[i].g;
        h[18 + 3 * i] = c.headerPalette[i].b;
    }
    h[65] = c.planes;
    put16(66, c.bytesPerLine);
    put16(68, 1);
    return h;
}

std::vector<uint8_t> Crafted::bytes() const
{
    std::vector<uint8_t> out = header(*this);
    for (const auto& line : lines) {
        for (uint8_t b : line) {
            // Naive on purpose: every byte on its own, escaped when it looks like a count.
            if (encoding == 1 && b >= 0xC0)
                out.push_back(0xC1);
            out.push_back(b);
        }
    }
    if (!trailingPalette.empty()) {
        out.push_back(12);
        for (size_t i = 0; i < 256; ++i) {
            const pcx::Rgb c = i < trailingPalette.size() ? trailingPalette[i] : pcx::Rgb{};
            out.insert(out.end(), {c.r, c.g, c.b});
        }
    }
    return out;
}

bool haveProgram(const std::string& name)
{
    const std::string cmd = "command -v " + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::string shellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

bool readPpmFrom(const std::string& command, Rgb8& out)
{
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (!p)
        return false;
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        data.insert(data.end(), buf, buf + n);
    const int status = pclose(p);
    if (status != 0 || data.size() < 2 || data[0] != 'P' || data[1] != '6')
        return false;
    // Header: P6, width, height, maxval, each after whitespace, then one whitespace byte.
    size_t i = 2;
    unsigned values[3] = {};
    for (unsigned& v : values) {
        while (i < data.size() && std::isspace(data[i]))
            ++i;
        if (i >= data.size() || !std::isdigit(data[i]))
            return false;
        while (i < data.size() && std::isdigit(data[i]))
            v = v * 10 + unsigned(data[i++] - '0');
    }
    ++i;
    if (values[2] != 255)
        return false;
    out.width = values[0];
    out.height = values[1];
    const size_t need = size_t(out.width) * out.height * 3;
    if (data.size() < i + need)
        return false;
    out.rgb.assign(data.begin() + long(i), data.begin() + long(i + need));
    return true;
}

std::string pythonWithPil()
{
    for (const char* py : {"python3", "/usr/bin/python3"}) {
        const std::string cmd = std::string(py) + " -c 'import PIL' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) == 0)
            return py;
    }
    return {};
}

Ran runProgram(const std::string& exe, const std::vector<std::string>& args, const TempDir& scratch,
               const std::string& stdinFile)
{
    std::string cmd = "timeout 120 " + shellQuote(exe);
    for (const auto& a : args)
        cmd += ' ' + shellQuote(a);
    const auto out = scratch / "run-out.txt", err = scratch / "run-err.txt";
    cmd += " >" + shellQuote(out.string()) + " 2>" + shellQuote(err.string()) + " <" + shellQuote(stdinFile);
    const int status = std::system(cmd.c_str());
    Ran r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto o = readFile(out), e = readFile(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    return r;
}

Rgb8 toRgb(const pcx::Image& img)
{
    Rgb8 r;
    r.width = img.width;
    r.height = img.height;
    r.rgb.reserve(size_t(img.width) * img.height * 3);
    for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x) {
            const pcx::Rgb c = img.at(x, y);
            r.rgb.insert(r.rgb.end(), {c.r, c.g, c.b});
        }
    return r;
}

}  // namespace testutil
