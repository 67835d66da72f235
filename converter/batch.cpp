// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch.h"
#include "lineformat.h"

#include "bands.h"
#include "grid_palette.h"
#include "output_names.h"
#include "palette_file.h"
#include "palette_map.h"
#include "pooled.h"
#include "protect.h"
#include "reduce.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <set>
#include <thread>
#include <sys/stat.h>

namespace pcx {

namespace {

// Pictures being converted side by side hold at most about this much between them; a larger one
// runs alone (its own stages then use every core).
constexpr uint64_t memoryBudget = uint64_t(64) << 20;

// With -shared -outdir, the pictures the palette pass decodes are kept for the writing pass up to
// this much between them (first come, first kept), so that a set of sprites is not read twice.
constexpr uint64_t keptBudget = uint64_t(16) << 20;

// libimagequant's speed for the pooled colours when none is asked for: the converter's own k-means
// moves its proposal anyway, and this runs alone between the two passes; at the default speed its
// own rounds took half the time there and changed the PSNR of sprite sets by less than 0.1 dB.
constexpr int pooledSpeed = 6;

uint64_t bytesOf(const Image& img) { return sizeof(Image) + img.pixels.size() + img.palette.size() * sizeof(Rgb); }

std::string outputFor(const Options& o, const std::string& input)
{
    if (o.outdir.empty())
        return o.output;
    return o.outdir + (o.outdir.back() == '/' ? "" : "/") + outputName(input, o.parents);
}

// About the memory a conversion of the file takes, from its header; 0 when it cannot be read.
uint64_t memoryFor(const std::string& path)
{
    FileSource src(path);
    Header h;
    if (!src.isOpen() || readHeader(src, h) != Error::None)
        return 0;
    return uint64_t(h.width()) * h.height() * 8;
}

// The lines of a run, each whole however many threads write them.
class Report {
public:
    Report(const Options& o, size_t steps) : progress_(o.progress), quiet_(o.quiet), steps_(steps) {}
    void starting(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(m_);
        ++started_;
        if (progress_)
            std::fprintf(stderr, "%s%s\n", lines::kOwnName.data(), lines::startLine(started_, steps_, name).c_str());
    }
    void error(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_);
        std::fprintf(stderr, "%s\n", lines::errorLine(line).c_str());
    }
    // What was written; with -o, the warning for a name that says something else than PCX.
    void done(const std::string& line, const Options* one = nullptr)
    {
        std::lock_guard<std::mutex> lock(m_);
        if (quiet_)
            return;
        // Standard output may be the picture itself.
        std::fprintf(one && one->output == "-" ? stderr : stdout, "%s\n", line.c_str());
        if (const std::string warning = one ? nameWarning(*one) : std::string(); !warning.empty())
            std::fprintf(stderr, "%s\n", warning.c_str());
    }

private:
    std::mutex m_;
    const bool progress_, quiet_;
    const size_t steps_;
    size_t started_ = 0;
};

// Runs job(i, worker) for every input i, taken in order by up to one thread a usable core, each
// reported as it is taken; a job waits while those running and its own would take more than the
// memory budget, unless nothing else runs. need(i), when given, is what job i takes, else the
// input's header tells.
void runJobs(const std::vector<std::string>& inputs, Report& report, const std::function<void(size_t, unsigned)>& job,
             const std::function<uint64_t(size_t)>& need = {})
{
    const size_t n = inputs.size();
    const unsigned workers = unsigned(std::min<size_t>(n, std::clamp(usableCores(), 1u, 8u)));
    std::mutex m;
    std::condition_variable freed;
    size_t next = 0;
    uint64_t held = 0;
    unsigned running = 0;
    auto work = [&](unsigned worker) {
        for (;;) {
            size_t i;
            {
                std::lock_guard<std::mutex> lock(m);
                if (next >= n)
                    return;
                i = next++;
                report.starting(inputs[i]);
            }
            const uint64_t takes = std::min(need ? need(i) : memoryFor(inputs[i]), memoryBudget);
            {
                std::unique_lock<std::mutex> lock(m);
                freed.wait(lock, [&] { return running == 0 || held + takes <= memoryBudget; });
                held += takes;
                ++running;
            }
            job(i, worker);
            {
                std::lock_guard<std::mutex> lock(m);
                held -= takes;
                --running;
            }
            freed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(work, w);
        } catch (const std::system_error&) {
            break;
        }
    }
    work(0);
    for (auto& t : threads)
        t.join();
}

// The NUL-separated names of -files0-from ("-": standard input). An empty text, or what is wrong.
std::string readNames(const std::string& from, std::vector<std::string>& names, bool& usage)
{
    std::FILE* f = from == "-" ? stdin : std::fopen(from.c_str(), "rb");
    usage = false;
    const std::string shown = from == "-" ? "standard input" : from;
    if (!f)
        return lines::aboutFile(shown, errorText(Error::CannotOpen));
    std::string all;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        all.append(buf, n);
    const bool failed = std::ferror(f);
    if (f != stdin)
        std::fclose(f);
    if (failed)
        return lines::aboutFile(shown, errorText(Error::ReadFailed));
    // Names a line each, as find writes them without -print0, would read as one name.
    if (all.find('\0') == std::string::npos && all.find('\n') != std::string::npos) {
        usage = true;
        return lines::escapeName(shown) + " holds no NUL: names must each end in a NUL, as find -print0 writes them";
    }
    size_t start = 0;
    while (start < all.size()) {
        const size_t end = std::min(all.find('\0', start), all.size());
        if (end == start) {
            usage = true;
            return lines::aboutFile(shown, "name " + std::to_string(names.size() + 1) + " is empty");
        }
        names.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return {};
}

// Usage errors that only the inputs' names show: standard input in a multi-file form, two outputs
// of one name.
std::string inputsError(const Options& o)
{
    if ((o.shared || !o.outdir.empty()) && std::find(o.inputs.begin(), o.inputs.end(), "-") != o.inputs.end())
        return "standard input (-) does not go with -shared or -outdir";
    if (o.outdir.empty())
        return {};
    std::map<std::string, const std::string*> byName;
    for (const std::string& in : o.inputs) {
        if (const std::string err = o.parents ? parentsError(in) : std::string(); !err.empty())
            return err;
        const std::string name = outputName(in, o.parents);
        if (name.empty())
            return lineSafe(in) + " names a folder, not a file";
        const auto [at, fresh] = byName.emplace(name, &in);
        if (!fresh)
            return "two inputs named " + lineSafe(name) + " (" + lineSafe(*at->second) + " and " + lineSafe(in) +
                   ") would make one output in " + lineSafe(o.outdir);
    }
    return {};
}

// A file as the file system knows it, through links: one that exists by its device and inode,
// one still to be made by its folder's and its own name (a folder that is not there yet by the
// path's text).
struct FileKey {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;
    auto operator<=>(const FileKey&) const = default;
};

std::optional<FileKey> existing(const std::string& path)
{
    struct stat st {};
    if (path == "-" || stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileKey{st.st_dev, st.st_ino, {}};
}

FileKey outputKey(const std::string& path)
{
    if (const auto key = existing(path))
        return *key;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (const auto key = existing(folder))
        return FileKey{key->dev, key->ino, name};
    return FileKey{0, 0, path};
}

}  // namespace

std::string outputsError(const Options& o)
{
    // What may not be written over, and what it is, in the order the message prefers them.
    std::map<FileKey, std::string> taken;
    for (const std::string& in : o.inputs)
        if (const auto key = existing(in))
            taken.emplace(*key, "the input " + lineSafe(in));
    if (const auto key = existing(o.palette); key && !o.palette.empty())
        taken.emplace(*key, "the palette " + lineSafe(o.palette));
    std::vector<std::string> outputs;
    if (!o.output.empty() && o.output != "-")
        outputs.push_back(o.output);
    if (!o.outdir.empty())
        for (const std::string& in : o.inputs)
            outputs.push_back(outputFor(o, in));
    if (!o.paletteOut.empty())
        outputs.push_back(o.paletteOut);
    for (const std::string& out : outputs) {
        const auto [at, fresh] = taken.emplace(outputKey(out), "the output " + lineSafe(out));
        if (fresh)
            continue;
        if (at->second.rfind("the output ", 0) == 0)
            return "the outputs " + at->second.substr(11) + " and " + lineSafe(out) + " are one file";
        return "the output " + lineSafe(out) + " would replace " + at->second;
    }
    return {};
}

namespace {

// Pools the colours of every input and fills the target's free entries from them. With outputs
// to write, an input that cannot be read stops the run; without, it is left out. kept, when
// given, gets the decoded pictures the budget has room for, at their inputs' places; colours the
// pictures' colours when the pool knows them exactly.
// failed gets how many inputs could not be read.
bool poolColours(const Options& o, TargetPalette& target, Report& report, bool writes, std::vector<Image>* kept,
                 std::vector<Rgb>& colours, size_t& failed)
{
    std::vector<ColourPool> pools(8);
    std::mutex m;
    size_t readable = 0;
    failed = 0;
    uint64_t keptBytes = 0;
    if (kept)
        kept->assign(o.inputs.size(), Image{});
    runJobs(o.inputs, report, [&](size_t i, unsigned worker) {
        const std::string& in = o.inputs[i];
        Image img;
        Limits limits;
        limits.keepAlpha = target.key >= 0;
        if (const Error e = decodeFile(in, img, limits); e != Error::None) {
            report.error(writes ? lines::aboutFile(in, errorText(e)) : lines::leftOutLine(in, errorText(e)));
            std::lock_guard<std::mutex> lock(m);
            ++failed;
            return;
        }
        pools[worker].add(img, target);
        std::lock_guard<std::mutex> lock(m);
        ++readable;
        if (kept && keptBytes + bytesOf(img) <= keptBudget) {
            keptBytes += bytesOf(img);
            (*kept)[i] = std::move(img);
        }
    });
    if (writes && failed) {
        report.error("nothing written: " + std::to_string(failed) + " of " + std::to_string(o.inputs.size()) +
                     " inputs could not be read");
        return false;
    }
    if (!readable) {
        report.error("no input could be read; no palette written");
        return false;
    }
    for (size_t w = 1; w < pools.size(); ++w)
        pools[0].merge(pools[w]);
    if (pools[0].exact()) {
        std::vector<uint64_t> counts, lone;
        pools[0].weighted(colours, counts, lone);
    }
    if (const std::string err = fillFree(pools[0], o.speed ? o.speed : pooledSpeed, target, o.depth); !err.empty()) {
        report.error(err);
        return false;
    }
    return true;
}

// With -depth, the entries a run writes as given that are off its grid: the given palette's (those
// of -free aside, which are chosen), and the key colour where it is written as an entry.
std::string gridError(const Options& o, const std::vector<Rgb>& given, int key)
{
    if (o.depth >= 8)
        return {};
    const Grid grid(o.depth);
    std::vector<Rgb> kept = given;
    for (int i = std::max(o.freeFirst, 0); i <= o.freeLast && size_t(i) < kept.size(); ++i)
        kept[size_t(i)] = Rgb{};
    if (const std::string err = offGridEntry(kept, grid); !err.empty())
        return o.palette + ": " + err + ", which -depth " + std::to_string(o.depth) + " asks for";
    const bool keyWritten = key >= 0 && (o.palette.empty() || (key >= o.freeFirst && key <= o.freeLast));
    if (keyWritten && !grid.holds(o.keyColour))
        return "-transparent " + hexColour(o.keyColour) + " is not on the " + std::to_string(o.depth) +
               "-bit grid of -depth " + std::to_string(o.depth) + " (the nearest colour on it is " +
               hexColour(grid.nearest(o.keyColour)) + ")";
    return {};
}

int usageError(const std::string& message)
{
    std::fprintf(stderr, "%s\n", lines::usageErrorLine(message).c_str());
    return 2;
}

int failure(const std::string& message)
{
    std::fprintf(stderr, "%s\n", lines::errorLine(message).c_str());
    return 1;
}

// A raw palette whose values are all 63 or less reads back as 6-bit VGA values, scaled up.
void warnOfSixBitReading(const Options& o, const std::vector<Rgb>& entries)
{
    const auto dark = [](Rgb c) { return c.r <= 63 && c.g <= 63 && c.b <= 63; };
    if (o.quiet || o.paletteFormat != PaletteFormat::Raw || !std::all_of(entries.begin(), entries.end(), dark) ||
        std::all_of(entries.begin(), entries.end(), [](Rgb c) { return c == Rgb{}; }))
        return;
    std::fprintf(stderr, "warning: %s\n",
                 lines::aboutFile(o.paletteOut, "every value is 63 or less, so -palette reads it back as 6-bit VGA values").c_str());
}

// The check form: reads the palette, says what it holds, writes it again.
int checkPalette(const Options& o, const PaletteFile& given, int key, const PaletteFormat* format)
{
    if (!o.quiet)
        std::printf("%s\n", lines::aboutFile(o.palette, std::to_string(given.entries.size()) + " entries, " + given.format).c_str());
    if (const std::string err = writePaletteFile(o.paletteOut, given.entries, key, format); !err.empty())
        return failure(err);
    warnOfSixBitReading(o, given.entries);
    return 0;
}

}  // namespace

std::string lineSafe(const std::string& name) { return lines::escapeName(name); }

bool beyondOneFile(const Options& o)
{
    return o.setsForm;
}

int runBatch(Options o)
{
    if (!o.files0From.empty()) {
        bool usage = false;
        if (const std::string err = readNames(o.files0From, o.inputs, usage); !err.empty())
            return usage ? usageError(err) : failure(err);
        if (o.inputs.empty())
            return usageError(lineSafe(o.files0From) + " holds no input names");
    }
    if (const std::string err = inputsError(o); !err.empty())
        return usageError(err);
    if (const std::string err = outputsError(o); !err.empty())
        return usageError(err);
    if (struct stat st {}; !o.outdir.empty()) {
        const bool there = stat(o.outdir.c_str(), &st) == 0;
        if (!there && errno == ENOENT)
            return failure(lines::aboutFile(o.outdir, "no such folder"));
        if (!there || !S_ISDIR(st.st_mode))
            return failure(lines::aboutFile(o.outdir, there ? "not a folder" : std::strerror(errno)));
    }

    TargetPalette target;
    const bool haveTarget = o.shared || !o.palette.empty();
    if (!o.palette.empty()) {
        PaletteFile given;
        if (const std::string err = readPaletteFile(o.palette, given); !err.empty())
            return failure(err);
        const int key = !o.transparent ? -1 : o.keyIndex >= 0 ? o.keyIndex : std::max(given.transparent, 0);
        if (const std::string err = gridError(o, given.entries, key); !err.empty())
            return usageError(err);
        // The check form writes what a conversion would take: the same palette and options, checked alike.
        const size_t count = o.colorsGiven ? size_t(o.colors) : 0;
        if (const std::string err = givenTarget(given.entries, key, o.keyColour, o.freeFirst, o.freeLast, count, target);
            !err.empty())
            return failure(lines::aboutFile(o.palette, err));
        if (const std::string err = protectEntries(o.protect, target); !err.empty())
            return usageError(err + " of " + lineSafe(o.palette));
        if (o.inputs.empty())
            return checkPalette(o, given, key >= 0 ? key : given.transparent, o.paletteFormat ? &*o.paletteFormat : nullptr);
    } else if (o.shared) {
        if (const std::string err = gridError(o, {}, o.transparent ? std::max(o.keyIndex, 0) : -1); !err.empty())
            return usageError(err);
        target = sharedTarget(size_t(o.colors), o.transparent ? std::max(o.keyIndex, 0) : -1, o.keyColour);
    }

    target.match = o.match;
    const bool writes = !o.outdir.empty() || !o.output.empty();
    Report report(o, o.inputs.size() * ((o.shared ? 1 : 0) + (writes ? 1 : 0)));
    std::vector<Image> kept;
    std::vector<Rgb> colours;
    size_t leftOut = 0;
    if (o.shared && !poolColours(o, target, report, writes, writes ? &kept : nullptr, colours, leftOut))
        return 1;
    if (!o.paletteOut.empty()) {
        const std::vector<Rgb> entries = target.listed();
        if (const std::string err =
                writePaletteFile(o.paletteOut, entries, target.key, o.paletteFormat ? &*o.paletteFormat : nullptr);
            !err.empty())
            return failure(err);
        warnOfSixBitReading(o, entries);
        report.done(lines::aboutFile(o.paletteOut, std::to_string(entries.size()) + " entries"));
    }
    if (leftOut)
        return failure(lines::aboutFile(o.paletteOut, "the palette of " + std::to_string(o.inputs.size() - leftOut) +
                                                          " of " + std::to_string(o.inputs.size()) + " inputs; " +
                                                          std::to_string(leftOut) + " left out"));
    if (!writes)
        return 0;
    // Shared, the search is set up once for many pictures; for one, its table (2 MB, cleared)
    // costs more than the picture's own remapping, which sizes its table to the picture.
    if (haveTarget && !target.freeCount && o.inputs.size() > 1)
        shareSearch(target, colours);

    std::mutex m;
    size_t failed = 0;
    Options each = o;
    each.inputs.clear();
    const auto isKept = [&](size_t i) { return i < kept.size() && kept[i].width; };
    runJobs(o.inputs, report, [&](size_t i, unsigned) {
        Options one = each;
        one.input = o.inputs[i];
        one.output = outputFor(o, one.input);
        if (const std::string err = o.parents ? makeFoldersFor(o.outdir, outputName(one.input, true)) : std::string();
            !err.empty()) {
            report.error(err);
            std::lock_guard<std::mutex> lock(m);
            ++failed;
            return;
        }
        std::string summary;
        if (const std::string err = convert(one, &summary, haveTarget ? &target : nullptr, isKept(i) ? &kept[i] : nullptr);
            !err.empty()) {
            report.error(err);
            std::lock_guard<std::mutex> lock(m);
            ++failed;
            return;
        }
        report.done(summary, o.output.empty() ? nullptr : &one);
    }, [&](size_t i) { return isKept(i) ? uint64_t(kept[i].width) * kept[i].height * 8 : memoryFor(o.inputs[i]); });
    return failed ? 1 : 0;
}

}  // namespace pcx
