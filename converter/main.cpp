// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli.h"

int main(int argc, char** argv) { return pcx::runConverter(argc, argv); }
