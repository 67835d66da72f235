// Constants and small process-wide state shared by every window.
#pragma once

#include <QString>

namespace Globals {

// The product title: window captions and the source of the application title.
inline const QString kProductTitle = QStringLiteral("Palettrim");
// Location prefix of the error report.
inline const QString kProjectWord = QStringLiteral("Colorpare2021/08/31");
// Location prefix of the folder scan's error report.
inline const QString kDirscanWord = QStringLiteral("Dirscan2021/08/31");
inline const QString kSupportAddress = QStringLiteral("support@palettrim.org");
inline const QString kWebAddress = QStringLiteral("https://palettrim.org/");
// Scrambles the sample snapshot; eight lower-case letters, never changed once shipped.
inline const QString kSampleKey = QStringLiteral("qvlmkrtz");

// Folder of the running executable, without a trailing separator, as the services give it.
QString programFolder();

// The application title: caption of every message box that names none.
QString appTitle();
void setAppTitleText(const QString& title);

}  // namespace Globals
