// The prompts as the user meets them: Qt's message, input and file dialogs, the folder browser
// and the desktop's opener. None is shown once the program is ending (SessionEnding).
#pragma once

#include "core/prompts.h"

// The real dialogs, whatever is installed (tests that need a dialog to wait on).
Prompts& qtPrompts();

// The common dialog's filter "Text|pattern;pattern|Text|pattern" as Qt's file dialog takes it:
// "All PCX Files (*.pcx)|*.pcx|" gives "All PCX Files (*.pcx)".
QString QtDialogFilter(const QString& filter);
