// A program that gets stuck on its way out, for the tests of how the program ends. It reduces
// the inputs with the given converter (the stand-in, which holds the file FAKECONV_HOLD names)
// in the work folder; once the converter's hidden file is there it does what MODE says:
//   stuck  sends itself SIGTERM and blocks its event loop (up to 30 s, then exits 99)
//   live   sends itself SIGTERM and keeps its event loop running for 3 s, then exits 0
//   die    is killed outright (SIGKILL)
//   twice  sends itself SIGTERM, and once that is handled SIGHUP, then SIGTERM again; exits 99
//          if it outlives them
// The watchdog waits 1 s for a stuck event loop.
// Usage: palettrim_stuckapp MODE WORKFOLDER CONVERTER INPUT...
#include "app/programservices.h"
#include "widgets/allwindows.h"
#include "core/errorreport.h"
#include "core/session.h"
#include "engine/run.h"
#include "engine/workfolder.h"
#include "tests/support/recorded_progress.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <csignal>
#include <thread>

namespace {

bool converterIsWriting(const QString& folder)
{
    return !QDir(folder).entryList({QStringLiteral(".tavrik*")}, QDir::Files | QDir::Hidden).isEmpty();
}

void act(const QString& mode)
{
    if (mode == QLatin1String("die"))
        ::raise(SIGKILL);
    ::raise(SIGTERM);
    QElapsedTimer clock;
    clock.start();
    if (mode == QLatin1String("twice")) {
        while (!SessionEnding() && clock.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // A signal's default action is taken before raise returns; a handled one returns.
        ::raise(SIGHUP);
        ::raise(SIGTERM);
        std::_Exit(99);
    }
    if (mode == QLatin1String("live")) {
        while (clock.elapsed() < 3000) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::_Exit(0);
    }
    while (clock.elapsed() < 30000)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::_Exit(99);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 5)
        return 2;
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString work = QFile::decodeName(argv[2]);
    qputenv("TEMP", argv[2]);
    QFile converter(QFile::decodeName(argv[3]));
    if (!converter.open(QIODevice::ReadOnly))
        return 2;
    Services services = ProgramServices();
    services.converterImage = [image = converter.readAll()] { return image; };
    installServices(std::move(services));
    QStringList inputs;
    for (int i = 4; i < argc; ++i)
        inputs << QFile::decodeName(argv[i]);

    InstallSessionEndHandlers(CloseForSessionEnd, std::chrono::seconds(1));
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (converterIsWriting(work)) {
            poll.stop();
            act(mode);
        }
    });
    poll.start(10);
    RecordedProgress progress;
    RunParts parts;
    parts.progress = &progress;
    parts.colourText = [] { return QStringLiteral("256 colors"); };
    ErrorTrap trap("Stuck", "main");
    RunReduction(trap, inputs, parts);
    return 97;
}
