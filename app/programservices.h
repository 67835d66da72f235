// The services of the running program, as start-up installs them.
#pragma once

#include "core/services.h"

// The real dialogs, the executable's folder, the real end, opendir, a 100 ms timer, a converter
// per core, the converter the executable carries, a draw seeded from the clock and pictures
// decoded from the files. Call once the application exists.
Services ProgramServices();
