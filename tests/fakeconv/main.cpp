// A stand-in converter for the tests: takes the real one's arguments (-colors N -c 1 -o OUT IN,
// -palette P in place of -colors N) and does what FAKECONV_MODE asks:
//   copy (default)  write the first half of IN to OUT, exit 0; exit 2 with no OUT if IN is unreadable
//   fail            write nothing, exit 1
//   nothing         write nothing, exit 0
//   complain        write nothing, say why on standard error as the real one does, exit 1
//   chatter         write nothing, write 1 MiB of numbered lines to standard error, exit 1
//   crash           write nothing, end by SIGSEGV (without a core file)
//   sleep           wait FAKECONV_SLEEP_MS milliseconds, then copy
//   named           the input's file name says what to do: "MS-MODE-..." waits MS milliseconds,
//                   then does MODE (copy, fail, nothing, complain, chatter or crash)
// With FAKECONV_HOLD naming IN, it writes as the real one does, into a hidden ".NAME.XXXXXX"
// beside OUT, and holds there (up to 30 s, then exit 98) until a signal; SIGTERM then does
// what FAKECONV_ON_TERM says: clean (default) removes that file and exits, leave exits without,
// ignore is ignored (but noted). FAKECONV_TERM_NOTE names a file made when SIGTERM arrives, and
// FAKECONV_PIDFILE one that gets its process id.
// With FAKECONV_LOG set, appends its arguments there, one a line, then a line "--".
// With FAKECONV_TRACE set, appends there "+ NAME" as it starts and "- NAME" as it ends, NAME
// the input's file name.
// With FAKECONV_ENV_LOG set, appends there NAME=VALUE (or NAME alone when unset) for the variables
// that steer the real one's start and threads, then a line "--".
// With FAKECONV_SAY set, writes it to standard error first, as it is.
// Its pairs form, -pairs0-from F ('-': standard input): reads input and output names, each
// NUL-ended, one pair at a time as the real one does, writes "palettrim-convert: #N start IN" as
// pair N starts and, unless it crashes or holds, "#N ok BYTES" when it exits 0 (whether or not it
// wrote OUT) or "#N failed: REASON" (REASON "IN: not a PCX file" when complaining, "IN: cannot
// open the file" for an input it cannot read, else empty), each pair done as its one-file
// form would be: MODE, named, FAKECONV_HOLD, FAKECONV_TRACE and FAKECONV_SAY (before each pair)
// alike. FAKECONV_LOG gets each pair as the one-file form's arguments, the options followed by
// -o OUT IN; FAKECONV_STARTS gets a line "start" at every start of the program. With
// FAKECONV_NO_PAIRS set it refuses the form, as a converter from before it would.
// Its palette forms, with -palette-out Q:
//   -shared -colors N ... -files0-from F   names its files as the real one does, a line
//                 "palettrim-convert: i/n NAME" on standard error as each starts; leaves out one
//                 it cannot open or whose file name contains FAKECONV_LEAVE_OUT, with a line
//                 "palettrim-convert: NAME: cannot open (left out)"; holds at the one named by
//                 FAKECONV_HOLD, writing beside Q; then writes Q, an .act of N entries, and exits
//                 0, or in mode fail, or when it could open none, says so and exits 1.
//                 FAKECONV_NAMES_LOG gets the names read, one a line, then "--".
//   -palette P    (no inputs) checks P: writes Q, an .act of FAKECONV_ENTRIES entries (256 by
//                 default), and says "P: N entries, fake" on standard output; P unreadable, or
//                 beginning with "bad", is refused with a line naming it and exit 1.
#include "lineformat.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

char g_temp[4096];
char g_note[4096];
bool g_clean = true;

extern "C" void onTerm(int)
{
    if (g_note[0])
        ::close(::open(g_note, O_CREAT | O_WRONLY, 0600));
    if (g_clean)
        ::unlink(g_temp);
    ::_exit(143);
}

// Heard, and held on regardless.
extern "C" void onTermIgnored(int)
{
    if (g_note[0])
        ::close(::open(g_note, O_CREAT | O_WRONLY, 0600));
}

// The real converter's way of writing: a hidden file beside the output, held open.
int holdTemporary(const std::string& output)
{
    const size_t slash = output.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : output.substr(0, slash + 1);
    const std::string temp = dir + "." + output.substr(dir.size()).substr(0, 64) + ".XXXXXX";
    if (temp.size() >= sizeof g_temp)
        return 2;
    std::strcpy(g_temp, temp.c_str());
    std::strncpy(g_note, env("FAKECONV_TERM_NOTE").c_str(), sizeof g_note - 1);
    const std::string onTermMode = env("FAKECONV_ON_TERM");
    g_clean = onTermMode != "leave";
    std::signal(SIGTERM, onTermMode == "ignore" ? onTermIgnored : onTerm);
    // The id first: whoever waits for the hidden file may read it the moment that appears.
    if (const std::string pidFile = env("FAKECONV_PIDFILE"); !pidFile.empty())
        std::ofstream(pidFile) << ::getpid();
    if (::mkstemp(g_temp) < 0)
        return 2;
    for (int i = 0; i < 300; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 98;
}

// What MODE does with input and output; the exit code.
int convert(const std::string& mode, const std::string& input, const std::string& output)
{
    if (mode == "fail")
        return 1;
    if (mode == "nothing")
        return 0;
    if (mode == "complain") {
        std::fprintf(stderr, "palettrim-convert: %s: not a PCX file\n", input.c_str());
        return 1;
    }
    if (mode == "chatter") {
        for (long written = 0, line = 0; written < (1L << 20); ++line)
            written += std::fprintf(stderr, "line %06ld\n", line);
        return 1;
    }
    if (mode == "crash") {
        const rlimit none = {0, 0};
        ::setrlimit(RLIMIT_CORE, &none);
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
    }
    if (mode == "sleep")
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(env("FAKECONV_SLEEP_MS").c_str())));

    std::ifstream in(input, std::ios::binary);
    if (!in)
        return 2;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream out(output, std::ios::binary);
    if (!out)
        return 2;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    return out ? 0 : 2;
}

std::string lineName(const std::string& name) { return lines::escapeName(name); }

std::string valueOf(const std::vector<std::string>& args, const char* option)
{
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option)
            return args[i + 1];
    return {};
}

// A Photoshop .act of entries entries, as the real one writes it: 256 colours, the count and
// no transparent index.
int writeAct(const std::string& path, int entries)
{
    std::string bytes(772, '\0');
    for (int i = 0; i < 768; ++i)
        bytes[size_t(i)] = char(i * 7);
    bytes[768] = char(entries >> 8);
    bytes[769] = char(entries & 0xff);
    bytes[770] = bytes[771] = char(0xff);
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return out ? 0 : 2;
}

int gather(const std::vector<std::string>& args, const std::string& paletteOut)
{
    std::ifstream list(valueOf(args, "-files0-from"), std::ios::binary);
    std::vector<std::string> names;
    for (std::string name; std::getline(list, name, '\0');)
        names.push_back(name);
    if (const std::string log = env("FAKECONV_NAMES_LOG"); !log.empty()) {
        std::ofstream out(log, std::ios::app);
        for (const auto& n : names)
            out << n << '\n';
        out << "--\n";
    }
    const std::string leaveOut = env("FAKECONV_LEAVE_OUT");
    size_t readable = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        std::fprintf(stderr, "%s%s\n", lines::kOwnName.data(), lines::startLine(i + 1, names.size(), name).c_str());
        std::fflush(stderr);
        if (!name.empty() && name == env("FAKECONV_HOLD"))
            return holdTemporary(paletteOut);
        const std::string fileName = name.substr(name.rfind('/') + 1);
        if (!std::ifstream(name) || (!leaveOut.empty() && fileName.find(leaveOut) != std::string::npos)) {
            std::fprintf(stderr, "palettrim-convert: %s: cannot open (left out)\n", lineName(name).c_str());
            continue;
        }
        ++readable;
    }
    if (env("FAKECONV_MODE") == "fail" || readable == 0) {
        std::fprintf(stderr, "palettrim-convert: no input could be read; no palette written\n");
        return 1;
    }
    return writeAct(paletteOut, std::atoi(valueOf(args, "-colors").c_str()));
}

int checkPalette(const std::string& palette, const std::string& paletteOut)
{
    std::ifstream in(palette, std::ios::binary);
    std::string head(3, '\0');
    if (!in || !in.read(head.data(), 3) || head == "bad") {
        std::fprintf(stderr, "palettrim-convert: %s: %s\n", lineName(palette).c_str(),
                     in ? "line 2: not three numbers" : "cannot open");
        return 1;
    }
    const int entries = env("FAKECONV_ENTRIES").empty() ? 256 : std::atoi(env("FAKECONV_ENTRIES").c_str());
    std::printf("%s: %d entries, fake\n", palette.c_str(), entries);
    return writeAct(paletteOut, entries);
}

void trace(char mark, const std::string& input)
{
    if (const std::string log = env("FAKECONV_TRACE"); !log.empty()) {
        // One write per line, appended, so lines of converters side by side never mix.
        const std::string line = std::string(1, mark) + " " + input.substr(input.rfind('/') + 1) + "\n";
        const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
            ::close(fd);
        }
    }
}

void logCall(const std::vector<std::string>& args)
{
    if (const std::string log = env("FAKECONV_LOG"); !log.empty()) {
        std::ofstream out(log, std::ios::app);
        for (const auto& a : args)
            out << a << '\n';
        out << "--\n";
    }
}

void say()
{
    if (const std::string say = env("FAKECONV_SAY"); !say.empty()) {
        std::fputs(say.c_str(), stderr);
        std::fflush(stderr);
    }
}

// What MODE, or the input's name in mode named, does with one file; the exit code.
int convertOne(const std::string& input, const std::string& output)
{
    if (!input.empty() && input == env("FAKECONV_HOLD"))
        return holdTemporary(output);
    std::string mode = env("FAKECONV_MODE");
    trace('+', input);
    if (mode == "named") {
        const std::string name = input.substr(input.rfind('/') + 1);
        const size_t dash = name.find('-');
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(name.c_str())));
        mode = name.substr(dash + 1, name.find('-', dash + 1) - dash - 1);
    }
    const int code = convert(mode, input, output);
    trace('-', input);
    return code;
}

bool readName(std::FILE* from, std::string& name)
{
    name.clear();
    for (int c; (c = std::getc(from)) != EOF;) {
        if (c == '\0')
            return true;
        name += char(c);
    }
    return !name.empty();
}

int pairs(const std::vector<std::string>& args, const std::string& list)
{
    std::vector<std::string> options;
    for (size_t i = 0; i < args.size(); ++i)
        if (args[i] == "-pairs0-from")
            ++i;
        else
            options.push_back(args[i]);
    std::FILE* from = list == "-" ? stdin : std::fopen(list.c_str(), "rb");
    if (!from)
        return 1;
    int code = 0;
    std::string input, output;
    for (size_t place = 1; readName(from, input) && readName(from, output); ++place) {
        std::vector<std::string> call = options;
        call.insert(call.end(), {"-o", output, input});
        logCall(call);
        say();
        std::fprintf(stderr, "%s%s\n", lines::kOwnName.data(), lines::pairStartLine(place, input).c_str());
        std::fflush(stderr);
        const bool complains = env("FAKECONV_MODE") == "complain" ||
                               input.substr(input.rfind('/') + 1).find("-complain-") != std::string::npos;
        const bool readable = bool(std::ifstream(input));
        const int one = convertOne(input, output);
        std::ifstream written(output, std::ios::binary | std::ios::ate);
        const std::string end = one == 0 ? lines::pairEndLine(place, written ? size_t(written.tellg()) : 0)
            : complains                 ? lines::pairFailedLine(place, input + ": not a PCX file")
            : !readable                 ? lines::pairFailedLine(place, input + ": cannot open the file")
                                        : lines::pairFailedLine(place, std::string());
        std::fprintf(stderr, "%s%s\n", lines::kOwnName.data(), end.c_str());
        std::fflush(stderr);
        code = std::max(code, one == 0 ? 0 : 1);
    }
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const std::string log = env("FAKECONV_STARTS"); !log.empty())
        std::ofstream(log, std::ios::app) << "start\n";

    if (const std::string log = env("FAKECONV_ENV_LOG"); !log.empty()) {
        std::ofstream out(log, std::ios::app);
        for (const char* name : {"OMP_WAIT_POLICY", "GLIBC_TUNABLES", "OMP_NUM_THREADS"}) {
            const char* v = std::getenv(name);
            out << name << (v ? std::string("=") + v : std::string()) << '\n';
        }
        out << "--\n";
    }

    if (const std::string list = valueOf(args, "-pairs0-from"); !list.empty()) {
        if (!env("FAKECONV_NO_PAIRS").empty()) {
            std::fprintf(stderr, "palettrim-convert: unknown option -pairs0-from (see --help)\n");
            return 2;
        }
        return pairs(args, list);
    }
    logCall(args);
    say();
    if (const std::string paletteOut = valueOf(args, "-palette-out"); !paletteOut.empty())
        return valueOf(args, "-files0-from").empty() ? checkPalette(valueOf(args, "-palette"), paletteOut)
                                                     : gather(args, paletteOut);

    const std::string output = valueOf(args, "-o");
    if (args.empty() || output.empty())
        return 3;
    return convertOne(args.back(), output);
}
