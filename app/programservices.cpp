#include "app/programservices.h"

#include "app/startup.h"
#include "core/session.h"
#include "engine/baranimator.h"
#include "engine/workfolder.h"
#include "filelist/addfolder.h"
#include "results/thumbnail.h"
#include "widgets/qtprompts.h"

#include <QCoreApplication>

Services ProgramServices()
{
    Services s;
    s.prompts = &qtPrompts();
    s.programFolder = QCoreApplication::applicationDirPath();
    s.endProgram = &LeaveProgram;
    s.openFolder = &OpenFolderEntries;
    s.waitTicks = &TimerTicks;
    s.runWorkers = 0;
    s.converterImage = &CarriedConverterImage;
    s.startupDraw = &ClockSeededDraw;
    s.makePicture = &Preview::MakePicture;
    return s;
}
