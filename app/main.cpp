#include "widgets/allwindows.h"
#include "core/errorreport.h"
#include "core/session.h"
#include "app/form1.h"
#include "app/forms.h"
#include "app/programservices.h"
#include "core/settings.h"
#include "widgets/skin.h"

#include <QApplication>
#include <QScopeGuard>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    installServices(ProgramServices());
    const auto windowsGo = qScopeGuard(&Forms::destroyAll);
    QApplication::setOrganizationName(Settings::kApplication);
    QApplication::setApplicationName(Settings::kSection);
    QGuiApplication::setDesktopFileName(QStringLiteral("org.palettrim.Palettrim"));
    try {
        QApplication::setWindowIcon(ApplicationIcon());
    } catch (const AppError&) {
        // Form_Load reports a missing icon; the program runs without one.
    }
    // A signal or the end of the session closes the windows as the user would.
    InstallSessionEndHandlers(CloseForSessionEnd);
    // The main window's load handler is the start-up sequence; the window shows when it is done.
    Form1& f = Forms::form1();
    f.Form_Load();
    // A signal while start-up showed a prompt: there is nothing to close yet.
    if (SessionEnding())
        return 0;
    f.show();
    return app.exec();
}
