#include "app/startup.h"

#include "app/errorreport.h"
#include "app/globals.h"
#include "app/prompts.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QTime>
#include <QWidget>
#include <cmath>
#include <cstdlib>

namespace {

StartupDraw g_draw;
std::function<void(bool)> g_endHook;

double clockSeededDraw()
{
    QRandomGenerator gen(static_cast<quint32>(QTime::currentTime().msecsSinceStartOfDay()));
    return gen.generateDouble();
}

}  // namespace

int StartupDrawNumber(double r)
{
    if (!(r >= 0.0))
        r = 0.0;
    return std::min(static_cast<int>(std::floor(r * 100.0)) + 1, 100);
}

void StartupWebVisit()
{
    const double r = g_draw ? g_draw() : clockSeededDraw();
    if (StartupDrawNumber(r) != 7)
        return;
    if (!prompts().openUrl(Globals::kWebAddress))
        throw AppError(QStringLiteral("Cannot open %1 in the web browser").arg(Globals::kWebAddress));
}

void setStartupDrawForTesting(StartupDraw draw) { g_draw = std::move(draw); }

void EndProgram(bool operationRunning)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        w->hide();
    if (g_endHook) {
        g_endHook(operationRunning);
        return;
    }
    QApplication::exit(0);
    // Settings are on disk after every write, so nothing is lost by not unwinding.
    if (operationRunning)
        std::_Exit(0);
}

void setEndProgramForTesting(std::function<void(bool)> hook) { g_endHook = std::move(hook); }
