// SPDX-License-Identifier: GPL-3.0-or-later
#include "atomic_file.h"
#include "cli.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace testutil;

namespace {

pcx::Parsed parse(std::vector<std::string> args, pcx::Options& o, std::string& message)
{
    return pcx::parseArguments(args, o, message);
}

struct Result {
    int exitCode = -1;
    std::string out, err;
};

// How the converter's standard input is given: a file, or the output of a command through a pipe.
struct Input {
    std::string file = "/dev/null";
    std::string pipedFrom;
};

Result run(const std::string& exe, const std::vector<std::string>& args, const TempDir& scratch, const Input& in = {})
{
    // A converter that hangs is a failure, not a stuck test run.
    std::string cmd = (in.pipedFrom.empty() ? "" : in.pipedFrom + " | ") + "timeout 60 " + shellQuote(exe);
    for (const auto& a : args) {
        cmd += ' ';
        cmd += shellQuote(a);
    }
    const auto outFile = scratch / "stdout.txt", errFile = scratch / "stderr.txt";
    cmd += " >" + shellQuote(outFile.string()) + " 2>" + shellQuote(errFile.string());
    if (in.pipedFrom.empty())
        cmd += " <" + shellQuote(in.file);
    const int status = std::system(cmd.c_str());
    Result r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    auto text = [](const fs::path& p) {
        const auto b = readFile(p);
        return std::string(b.begin(), b.end());
    };
    r.out = text(outFile);
    r.err = text(errFile);
    return r;
}

size_t entriesIn(const fs::path& dir)
{
    return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

const std::string photo = std::string(PCX_TEST_DATA) + "/netpbm_24bit.pcx";

}  // namespace

TEST(CommandLine, AcceptsTheOptionsInAnyOrder)
{
    pcx::Options o;
    std::string msg;
    ASSERT_EQ(parse({"-colors", "256", "-c", "1", "-o", "out.pcx", "in.pcx"}, o, msg), pcx::Parsed::Run) << msg;
    EXPECT_EQ(o.colors, 256);
    EXPECT_TRUE(o.rle);
    EXPECT_EQ(o.output, "out.pcx");
    EXPECT_EQ(o.input, "in.pcx");

    ASSERT_EQ(parse({"-q", "-o", "o", "-dither", "-c", "0", "-colors", "16.0", "--", "-in.pcx"}, o, msg), pcx::Parsed::Run) << msg;
    EXPECT_EQ(o.colors, 16);
    EXPECT_FALSE(o.rle);
    EXPECT_TRUE(o.dither == pcx::Dither::Diffuse && o.quiet);
    EXPECT_EQ(o.input, "-in.pcx");

    ASSERT_EQ(parse({"-o", "o", "in"}, o, msg), pcx::Parsed::Run);
    EXPECT_EQ(o.colors, 256);
    ASSERT_EQ(parse({"-speed", "10", "-o", "o", "in"}, o, msg), pcx::Parsed::Run);
    EXPECT_EQ(o.speed, 10);
    EXPECT_EQ(parse({"-o", "o", "--help"}, o, msg), pcx::Parsed::Help);
    EXPECT_EQ(parse({"--version"}, o, msg), pcx::Parsed::Version);
}

TEST(CommandLine, RejectsMistakesWithAOneLineMessage)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"-o", "o"},
        {"in.pcx"},
        {"-colors", "abc", "-o", "o", "in"},
        {"-colors", "16.5", "-o", "o", "in"},
        {"-colors", "1", "-o", "o", "in"},
        {"-colors", "257", "-o", "o", "in"},
        {"-colors", "", "-o", "o", "in"},
        {"-colors", "0x10", "-o", "o", "in"},
        {"-colors", "nan", "-o", "o", "in"},
        {"-c", "2", "-o", "o", "in"},
        {"-speed", "0", "-o", "o", "in"},
        {"-o", "o", "-colors"},
        {"-o", "", "in"},
        {"-frobnicate", "-o", "o", "in"},
        {"-o", "o", "in", "-q"},
        {"-o", "o", "in", "second"},
        {"-o", "o", "--"},
    };
    for (const auto& args : bad) {
        pcx::Options o;
        std::string msg;
        std::string joined;
        for (const auto& a : args)
            joined += "[" + a + "]";
        EXPECT_EQ(parse(args, o, msg), pcx::Parsed::Error) << joined;
        EXPECT_FALSE(msg.empty()) << joined;
        EXPECT_EQ(msg.find('\n'), std::string::npos) << joined;
    }
}

TEST(CommandLine, TheManualNamesEveryOptionAndExitCode)
{
    const auto page = readFile(std::string(PCX_SOURCE_DIR) + "/packaging/palettrim-convert.1");
    const std::string manual(page.begin(), page.end());
    // Each option of the table has its own entry (.B or .BI) under OPTIONS, and its line in --help.
    const std::string usage = pcx::usageText();
    for (const pcx::OptionSpec& row : pcx::optionTable()) {
        std::string roff;
        for (const char* c = row.name; *c; ++c)
            roff += *c == '-' ? "\\-" : std::string(1, *c);
        const std::string end = row.argument ? " " : "\n";
        EXPECT_TRUE(manual.find("\n.B " + roff + end) != std::string::npos ||
                    manual.find("\n.BI " + roff + end) != std::string::npos)
            << row.name;
        EXPECT_NE(usage.find("\n  " + std::string(row.name) + (row.argument ? " " : "")), std::string::npos) << row.name;
    }
    EXPECT_NE(manual.find(".SH EXIT STATUS\n.TP\n.B 0\n"), std::string::npos);
    for (const char* code : {"\n.B 1\n", "\n.B 2\n"})
        EXPECT_NE(manual.find(code), std::string::npos) << code;
}

TEST(CommandLine, WritesTheOutputAndExitsZero)
{
    TempDir dir;
    const auto out = dir / "small.pcx";
    const Result r = run(CONVERTER_EXE, {"-colors", "16", "-c", "1", "-o", out.string(), photo}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.err.empty());
    pcx::Image img;
    ASSERT_EQ(pcx::decodeFile(out.string(), img), pcx::Error::None);
    EXPECT_LE(img.palette.size(), 16u);
    EXPECT_LT(fs::file_size(out), fs::file_size(photo));

    // Quiet prints nothing; an input whose name begins with "-" after "--".
    fs::copy_file(photo, dir / "-dash.pcx");
    fs::current_path(dir.path());
    const Result q2 = run(CONVERTER_EXE, {"-q", "-o", "o2.pcx", "--", "-dash.pcx"}, dir);
    EXPECT_EQ(q2.exitCode, 0) << q2.err;
    EXPECT_TRUE(q2.out.empty());
    EXPECT_TRUE(fs::exists(dir / "o2.pcx"));
    fs::current_path("/");
}

TEST(CommandLine, APictureThatFitsKeepsItsSmallerFile)
{
    // Two colours in one 1-bit plane, a layout we never write, and smaller than any we do.
    const std::string drawing = std::string(PCX_TEST_DATA) + "/pillow_pil184.pcx";
    TempDir dir;
    const Result r = run(CONVERTER_EXE, {"-colors", "16", "-o", (dir / "kept.pcx").string(), drawing}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(dir / "kept.pcx"), readFile(drawing));

    // Not when that file is in the other encoding than the one asked for.
    const Result raw = run(CONVERTER_EXE, {"-c", "0", "-o", (dir / "raw.pcx").string(), drawing}, dir);
    ASSERT_EQ(raw.exitCode, 0) << raw.err;
    pcx::Image ours, theirs;
    ASSERT_EQ(pcx::decodeFile((dir / "raw.pcx").string(), ours), pcx::Error::None);
    ASSERT_EQ(pcx::decodeFile(drawing, theirs), pcx::Error::None);
    EXPECT_EQ(readFile(dir / "raw.pcx")[2], 0);
    EXPECT_EQ(toRgb(ours).rgb, toRgb(theirs).rgb);

    // Nor when a renumbered rewrite is smaller (four colours, two bits packed).
    const std::string packed = std::string(PCX_TEST_DATA) + "/netpbm_2bit.pcx";
    const Result small = run(CONVERTER_EXE, {"-renumber", "-colors", "4", "-o", (dir / "small.pcx").string(), packed}, dir);
    ASSERT_EQ(small.exitCode, 0) << small.err;
    EXPECT_LT(fs::file_size(dir / "small.pcx"), fs::file_size(packed));
}

TEST(CommandLine, APaletteThatFitsKeepsItsIndicesUnlessRenumbered)
{
    // An 8-bit picture using entries 3, 17 and 200, the first two of one colour (collision data
    // in a game), and a palette whose unused entries matter too; and one using entries 0 to 3 only.
    auto crafted = [](std::vector<uint8_t> used, size_t w) {
        Crafted c;
        c.xmax = uint16_t(w - 1);
        c.ymax = 5;
        c.bytesPerLine = uint16_t(w);
        for (size_t y = 0; y < 6; ++y) {
            std::vector<uint8_t> line;
            for (size_t x = 0; x < w; ++x)
                line.push_back(used[(x / 3 + y) % used.size()]);
            c.lines.push_back(line);
        }
        for (size_t i = 0; i < 256; ++i)
            c.trailingPalette.push_back(pcx::Rgb{uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
        c.trailingPalette[17] = c.trailingPalette[3];
        return c.bytes();
    };
    TempDir dir;
    const auto collisions = dir / "collisions.pcx", low = dir / "low.pcx";
    writeFile(collisions, crafted({3, 17, 200}, 40));
    writeFile(low, crafted({0, 1, 2, 3}, 64));
    const std::string game = std::string(PCX_TEST_DATA) + "/allegro_allegro.pcx";

    struct Case {
        std::string input;
        int colours;
        size_t carried;  // entries the kept layout holds: all 256 for 8 bits
        pcx::Layout layout;
        bool renumberingShrinks;
    };
    for (const Case& c : std::vector<Case>{{collisions.string(), 16, 256, pcx::Layout::Byte, true},
                                           {low.string(), 4, 4, pcx::Layout::Planes2, false},
                                           {game, 256, 256, pcx::Layout::Byte, true}}) {
        SCOPED_TRACE(c.input + " at " + std::to_string(c.colours));
        pcx::Image in, kept, renumbered;
        ASSERT_EQ(pcx::decodeFile(c.input, in), pcx::Error::None);
        const auto keptFile = dir / "kept.pcx", renumberedFile = dir / "renumbered.pcx";
        const std::string n = std::to_string(c.colours);
        ASSERT_EQ(run(CONVERTER_EXE, {"-colors", n, "-o", keptFile.string(), c.input}, dir).exitCode, 0);
        ASSERT_EQ(run(CONVERTER_EXE, {"-renumber", "-colors", n, "-o", renumberedFile.string(), c.input}, dir).exitCode, 0);
        ASSERT_EQ(pcx::decodeFile(keptFile.string(), kept), pcx::Error::None);
        ASSERT_EQ(pcx::decodeFile(renumberedFile.string(), renumbered), pcx::Error::None);
        EXPECT_TRUE(kept.pixels == in.pixels);
        ASSERT_GE(kept.palette.size(), c.carried);
        EXPECT_TRUE(std::equal(in.palette.begin(), in.palette.begin() + long(c.carried), kept.palette.begin()));
        EXPECT_EQ(readFile(keptFile)[65] == 1 ? pcx::Layout::Byte
                  : readFile(keptFile)[65] == 2 ? pcx::Layout::Planes2 : pcx::Layout::Planes4, c.layout);
        // Renumbered, the picture looks the same, in a smaller file with its own numbering where
        // one is smaller.
        EXPECT_EQ(toRgb(renumbered).rgb, toRgb(in).rgb);
        EXPECT_LE(fs::file_size(renumberedFile), fs::file_size(keptFile));
        if (c.renumberingShrinks) {
            EXPECT_LT(fs::file_size(renumberedFile), fs::file_size(keptFile));
            EXPECT_FALSE(renumbered.pixels == in.pixels && renumbered.palette == kept.palette);
        }
    }
    // Three entries in use do not fit two colours, even though they show two: that reduces.
    const Result two = run(CONVERTER_EXE, {"-colors", "2", "-o", (dir / "two.pcx").string(), collisions.string()}, dir);
    ASSERT_EQ(two.exitCode, 0) << two.err;
    pcx::Image in, out;
    ASSERT_EQ(pcx::decodeFile(collisions.string(), in), pcx::Error::None);
    ASSERT_EQ(pcx::decodeFile((dir / "two.pcx").string(), out), pcx::Error::None);
    EXPECT_EQ(toRgb(out).rgb, toRgb(in).rgb);
    EXPECT_NE(out.pixels, in.pixels);
}

TEST(CommandLine, ReadsStandardInputAndWritesStandardOutput)
{
    TempDir dir;
    const auto file = dir / "file.pcx";
    ASSERT_EQ(run(CONVERTER_EXE, {"-colors", "16", "-o", file.string(), photo}, dir).exitCode, 0);
    const auto written = readFile(file);

    // From a file or a pipe into standard output: the same bytes as the file, the summary aside.
    for (const Input& in : {Input{photo, ""}, Input{"", "cat " + shellQuote(photo)}}) {
        SCOPED_TRACE(in.pipedFrom.empty() ? "file" : "pipe");
        const Result r = run(CONVERTER_EXE, {"-colors", "16", "-o", "-", "-"}, dir, in);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(std::vector<uint8_t>(r.out.begin(), r.out.end()) == written);
        EXPECT_EQ(r.err.rfind("standard output: 16 colours, ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // A failure writes nothing there.
    const auto garbage = dir / "garbage";
    writeFile(garbage, std::vector<uint8_t>(500, 'z'));
    const Result bad = run(CONVERTER_EXE, {"-o", "-", "-"}, dir, Input{"", "cat " + shellQuote(garbage.string())});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_TRUE(bad.out.empty());
    EXPECT_EQ(bad.err, "palettrim-convert: standard input: not a PCX file\n");

    // ./- names files; /dev/stdin is refused when it is a pipe, as any special file is.
    fs::current_path(dir.path());
    const Result named = run(CONVERTER_EXE, {"-q", "-colors", "16", "-o", "./-", photo}, dir);
    const Result again = run(CONVERTER_EXE, {"-q", "-o", "again.pcx", "./-"}, dir);
    fs::current_path("/");
    EXPECT_EQ(named.exitCode, 0) << named.err;
    EXPECT_TRUE(named.out.empty() && named.err.empty());
    EXPECT_TRUE(readFile(dir / "-") == written);
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(readFile(dir / "again.pcx") == written);
    const Result special = run(CONVERTER_EXE, {"-o", (dir / "o.pcx").string(), "/dev/stdin"}, dir,
                               Input{"", "cat " + shellQuote(photo)});
    EXPECT_EQ(special.err, "palettrim-convert: /dev/stdin: not a regular file\n");
}

TEST(CommandLine, WarnsOfAnOutputNamedAsAnotherFormat)
{
    TempDir dir;
    for (const auto& [name, quiet, warned] : std::vector<std::tuple<std::string, bool, bool>>{
             {"out.png", false, true}, {"out", false, true}, {"out.png", true, false},
             {"OUT.PCX", false, false}, {"out.Pcx", false, false}}) {
        const auto out = dir / name;
        std::vector<std::string> args = {"-colors", "16", "-o", out.string(), photo};
        if (quiet)
            args.insert(args.begin(), "-q");
        const Result r = run(CONVERTER_EXE, args, dir);
        EXPECT_EQ(r.exitCode, 0) << name;
        EXPECT_EQ(r.err, warned ? "warning: " + out.string() + " is written as PCX whatever its name\n" : "") << name;
        EXPECT_EQ(r.out.empty(), quiet) << name;
        pcx::Image img;
        EXPECT_EQ(pcx::decodeFile(out.string(), img), pcx::Error::None) << name;
        fs::remove(out);
    }
}

TEST(CommandLine, RunsWhenCopiedElsewhere)
{
    TempDir dir;
    const auto exe = dir / "nconvert";
    fs::copy_file(CONVERTER_EXE, exe);
    const Result r = run(exe.string(), {"-colors", "4", "-c", "1", "-o", (dir / "o.pcx").string(), photo}, dir);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "o.pcx"));
}

TEST(CommandLine, FailuresLeaveNothingAtTheOutput)
{
    TempDir dir;
    TempDir scratch;
    const auto out = dir / "out.pcx";
    auto garbage = scratch / "garbage.pcx";
    writeFile(garbage, std::vector<uint8_t>(500, 'z'));
    auto truncated = scratch / "truncated.pcx";
    auto bytes = readFile(photo);
    bytes.resize(bytes.size() / 2);
    writeFile(truncated, bytes);

    // A named pipe with no writer: opening it must not wait for one.
    const auto fifo = scratch / "pipe.pcx";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    // The program shows the line after the input's name as the reason: it stays word for word.
    const std::string noFolder = (dir / "no/such/folder/out.pcx").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> failing = {
        {{"-colors", "16", "-o", out.string(), fifo.string()}, fifo.string() + ": not a regular file"},
        {{"-colors", "16", "-o", out.string(), (scratch / "missing.pcx").string()},
         (scratch / "missing.pcx").string() + ": cannot open the file"},
        {{"-colors", "16", "-o", out.string(), garbage.string()}, garbage.string() + ": not a PCX file"},
        {{"-colors", "16", "-o", out.string(), truncated.string()}, truncated.string() + ": the file is truncated"},
        {{"-colors", "16", "-o", out.string(), scratch.path().string()},
         scratch.path().string() + ": not a regular file"},
        {{"-colors", "1000", "-o", out.string(), photo}, "-colors must be 2 to 256, not 1000 (see --help)"},
        {{"-colors", "16", "-o", noFolder, photo},
         noFolder + ": cannot create the output file: No such file or directory"},
    };
    for (const auto& [args, line] : failing) {
        const auto started = std::chrono::steady_clock::now();
        const Result r = run(CONVERTER_EXE, args, scratch);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20)) << args.back();
        EXPECT_TRUE(r.exitCode == 1 || r.exitCode == 2) << args.back() << " exit " << r.exitCode;
        EXPECT_EQ(r.err, "palettrim-convert: " + line + "\n");
        EXPECT_EQ(entriesIn(dir.path()), 0u) << "left behind for " << args.back();
    }
    // An output path that is a folder: the folder stays, no temporary file is left in its parent.
    fs::create_directory(dir / "taken");
    const Result r = run(CONVERTER_EXE, {"-o", (dir / "taken").string(), photo}, scratch);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(CommandLine, AWriteBeyondTheFileSizeLimitFailsCleanly)
{
    // Under a file size limit a write fails with EFBIG where the limit's signal is ignored, and
    // the signal comes first where it is not: either way one line, exit 1, nothing left behind.
    for (const bool signalIgnored : {true, false}) {
        SCOPED_TRACE(signalIgnored ? "SIGXFSZ ignored" : "SIGXFSZ default");
        TempDir dir;
        TempDir scratch;
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit lower = old;
        lower.rlim_cur = 1024;
        const auto oldHandler = std::signal(SIGXFSZ, signalIgnored ? SIG_IGN : SIG_DFL);
        const int limited = setrlimit(RLIMIT_FSIZE, &lower);
        // Nothing but the converter writes while the limit stands.
        const Result r = limited == 0
            ? run(CONVERTER_EXE, {"-colors", "16", "-o", (dir / "out.pcx").string(), photo}, scratch)
            : Result{};
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        ASSERT_EQ(limited, 0);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(std::strerror(EFBIG)), std::string::npos) << r.err;
        EXPECT_EQ(entriesIn(dir.path()), 0u);
    }
}

TEST(AtomicFile, AppearsWholeOrNotAtAll)
{
    TempDir dir;
    const auto target = dir / "t.pcx";
    {
        pcx::AtomicFile f(target.string());
        ASSERT_TRUE(f.open());
        const uint8_t data[] = {1, 2, 3};
        ASSERT_TRUE(f.write(data, 3));
        EXPECT_FALSE(fs::exists(target)) << "nothing at the target before commit";
        // Given up: neither target nor temporary remain.
    }
    EXPECT_EQ(entriesIn(dir.path()), 0u);

    writeFile(target, {9, 9});
    {
        pcx::AtomicFile f(target.string());
        ASSERT_TRUE(f.open());
        const uint8_t data[] = {1, 2, 3};
        ASSERT_TRUE(f.write(data, 3));
        ASSERT_TRUE(f.commit());
    }
    EXPECT_EQ(readFile(target), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(AtomicFile, GetsTheUsualPermissionsNotPrivateOnes)
{
    TempDir dir;
    const mode_t old = umask(022);
    pcx::AtomicFile f((dir / "p.pcx").string());
    const bool ok = f.open() && f.commit();
    umask(old);
    ASSERT_TRUE(ok);
    EXPECT_EQ(fs::status(dir / "p.pcx").permissions(), fs::perms(0644));
}

TEST(AtomicFile, ASignalToEndRemovesTheTemporaryFile)
{
    // The desktop program stops a converter with SIGTERM and counts on it to leave nothing.
    TempDir dir;
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            pcx::AtomicFile f((dir / "t.pcx").string());
            const uint8_t data[] = {1, 2, 3};
            if (!f.open() || !f.write(data, 3))
                _exit(2);
            raise(sig);
            _exit(3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_EQ(entriesIn(dir.path()), 0u) << sig;
    }
}
