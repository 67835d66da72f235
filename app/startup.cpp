#include "app/startup.h"

#include "core/errorreport.h"
#include "core/messages.h"
#include "core/globals.h"
#include "core/prompts.h"

#include <QRandomGenerator>
#include <QTime>
#include <cmath>

namespace {

StartupDraw g_draw;

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
        throw AppError(Messages::kWebPageNotOpened.arg(Globals::kWebAddress));
}

void setStartupDrawForTesting(StartupDraw draw) { g_draw = std::move(draw); }
