#include "widgets/allwindows.h"

#include "core/services.h"
#include "widgets/controls.h"
#include "widgets/formhost.h"

#include <QApplication>
#include <QDialog>
#include <QWidget>

void EndProgram(bool operationRunning)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        w->hide();
    services().endProgram(operationRunning);
}

void CloseAllWindows()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && (qobject_cast<FormBase*>(w) || qobject_cast<FormHost*>(w)))
            w->close();
    }
}

void CloseForSessionEnd()
{
    // A prompt waits in an event loop of its own, which no window's close ends: left open, it
    // would hold the program on its way out (during start-up there is no window to close yet).
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(w);
        if (dialog && dialog->isVisible())
            dialog->reject();
    }
    CloseAllWindows();
}
