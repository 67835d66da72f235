// Why a conversion left no file, as a row tells it: in the converter's own words where it gave
// any, else what the run saw.
#pragma once

#include "engine/processrunner.h"

#include <QString>

// From the converter's report: its own first line of standard error without its name and the
// input's path, or what the run saw (it could not be started, a signal ended it, it wrote
// nothing).
QString FailureReason(const ProcessReport& report, const QString& inputPath);
