#include "app/samples.h"

QString ShiftEncode(const QString& text, const QString&) { return text; }
QString ShiftDecode(const QString& text, const QString&) { return text; }
void BuildSampleSnapshot() {}
void LoadSampleFiles(ListView*) {}
