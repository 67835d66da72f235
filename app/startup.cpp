#include "app/startup.h"

#include "core/errorreport.h"
#include "core/messages.h"
#include "core/globals.h"
#include "core/prompts.h"
#include "core/services.h"

#include <QRandomGenerator>
#include <QTime>
#include <cmath>

double ClockSeededDraw()
{
    QRandomGenerator gen(static_cast<quint32>(QTime::currentTime().msecsSinceStartOfDay()));
    return gen.generateDouble();
}

int StartupDrawNumber(double r)
{
    if (!(r >= 0.0))
        r = 0.0;
    return std::min(static_cast<int>(std::floor(r * 100.0)) + 1, 100);
}

void StartupWebVisit()
{
    if (StartupDrawNumber(services().startupDraw()) != 7)
        return;
    if (!prompts().openUrl(Globals::kWebAddress))
        throw AppError(Messages::kWebPageNotOpened.arg(Globals::kWebAddress));
}
