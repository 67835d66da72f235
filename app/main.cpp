#include "app/form1.h"
#include "app/forms.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quillmark"));
    QApplication::setApplicationName(QStringLiteral("Palettrim"));
    Form1& f = Forms::form1();
    f.Form_Load();
    f.show();
    return app.exec();
}
