// A stand-in converter for the tests: takes the real one's arguments (-colors N -c 1 -o OUT IN)
// and does what FAKECONV_MODE asks:
//   copy (default)  write the first half of IN to OUT, exit 0; exit 2 with no OUT if IN is unreadable
//   fail            write nothing, exit 1
//   nothing         write nothing, exit 0
//   complain        write nothing, say why on standard error as the real one does, exit 1
//   sleep           wait FAKECONV_SLEEP_MS milliseconds, then copy
// With FAKECONV_LOG set, appends its arguments there, one a line, then a line "--".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const std::string log = env("FAKECONV_LOG"); !log.empty()) {
        std::ofstream out(log, std::ios::app);
        for (const auto& a : args)
            out << a << '\n';
        out << "--\n";
    }

    std::string output;
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "-o")
            output = args[i + 1];
    if (args.empty() || output.empty())
        return 3;
    const std::string& input = args.back();

    const std::string mode = env("FAKECONV_MODE");
    if (mode == "fail")
        return 1;
    if (mode == "nothing")
        return 0;
    if (mode == "complain") {
        std::fprintf(stderr, "palettrim-convert: %s: not a PCX file\n", input.c_str());
        return 1;
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
