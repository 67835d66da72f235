#include "core/globals.h"

#include "core/services.h"

namespace {
QString g_appTitle;
}  // namespace

namespace Globals {

QString programFolder() { return services().programFolder; }

QString appTitle() { return g_appTitle.isEmpty() ? kProductTitle : g_appTitle; }

void setAppTitleText(const QString& title) { g_appTitle = title; }

}  // namespace Globals
