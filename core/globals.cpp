#include "core/globals.h"

#include <QCoreApplication>

namespace {
QString g_programFolderOverride;
QString g_appTitle;
}  // namespace

namespace Globals {

QString programFolder()
{
    if (!g_programFolderOverride.isEmpty())
        return g_programFolderOverride;
    return QCoreApplication::applicationDirPath();
}

void setProgramFolderForTesting(const QString& folder) { g_programFolderOverride = folder; }

QString appTitle() { return g_appTitle.isEmpty() ? kProductTitle : g_appTitle; }

void setAppTitleText(const QString& title) { g_appTitle = title; }

}  // namespace Globals
