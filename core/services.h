// What the program reaches beyond its own logic through: dialogs, its folder, its end, the
// folders it scans, the clock of its waits, how many converters a run keeps, the converter it
// carries, the start-up's draw and the results' pictures. Start-up installs the real ones
// (ProgramServices in app/); tests install their own, so the program carries no switches for
// them.
#pragma once

#include <QByteArray>
#include <QString>

#include <dirent.h>
#include <functional>
#include <memory>

class Prompts;
namespace Preview {
struct Picture;
}

// What drives a wait's animation. The end of a wait never waits for a tick.
class TickSource {
public:
    virtual ~TickSource() = default;
    // Calls tick on every tick until stop().
    virtual void start(std::function<void()> tick) = 0;
    virtual void stop() = 0;
};

struct Services {
    // Every modal prompt and shell action. Not owned.
    Prompts* prompts = nullptr;
    // Folder of the running executable, without a trailing separator.
    QString programFolder;
    // Leaves the event loop; when a long operation runs inside a handler, ends the process.
    std::function<void(bool operationRunning)> endProgram;
    // Opens folder to read its entries; nullptr with err set to the error number when it
    // cannot, else err is 0.
    std::function<DIR*(const QString& folder, int& err)> openFolder;
    // A clock for one wait, owned by the wait: a tick every 100 ms.
    std::function<std::unique_ptr<TickSource>()> waitTicks;
    // How many files a run converts side by side; 0: one per core.
    int runWorkers = 0;
    // How many small files one converter of a run takes in turn; 0: the run's own choice.
    int chunkFiles = 0;
    // The converter program the executable carries. Throws AppError when it is missing.
    std::function<QByteArray()> converterImage;
    // A draw from [0, 1) for the start-up's web visit.
    std::function<double()> startupDraw;
    // The pictures of a results row's file; called off the interface thread.
    std::function<Preview::Picture(const QString& path)> makePicture;
};

// The services in force.
const Services& services();
// Puts s in force: once at start-up, and by tests around their cases.
void installServices(Services s);
