// The sample files shipped beside the program, recorded at first start.
#pragma once

#include <QString>

class ListView;

QString ShiftEncode(const QString& text, const QString& key);
QString ShiftDecode(const QString& text, const QString& key);
// Lists the samples folder and stores the scrambled list under "Snapshot".
void BuildSampleSnapshot();
// Adds the recorded samples that exist and are not listed yet, then offers to open the folder.
void LoadSampleFiles(ListView* list);
