// Makes the work folder ready as a run does before its first file (the folder TEMP names, or
// the private one in the cache folder) with the converter the program carries, and prints what
// came of it: "ready " and the converter's path (exit 0), or the reason the run would give
// (exit 1).
#include "app/programservices.h"
#include "core/errorreport.h"
#include "engine/workfolder.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    installServices(ProgramServices());
    try {
        std::printf("ready %s\n", PrepareConverter().toLocal8Bit().constData());
        return 0;
    } catch (const AppError& e) {
        std::printf("%s\n", e.description().toLocal8Bit().constData());
        return 1;
    }
}
