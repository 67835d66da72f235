// Ties a child program's life to this program's where the system can: a child must not go on
// writing into the work folder after the program that started it is gone.
#pragma once

class QProcess;

// Asks the system to end process's program (SIGTERM) when this program ends, however it ends
// (it may not unwind), and keeps it from starting at all when this program is already gone.
// Call before the process starts. Nothing on systems without such a link.
void TieChildToThisProgram(QProcess& process);
