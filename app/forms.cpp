#include "app/forms.h"

#include "app/form1.h"
#include "results/form2.h"

namespace {
Form1* g_form1 = nullptr;
Form2* g_form2 = nullptr;
}  // namespace

namespace Forms {

Form1& form1()
{
    if (!g_form1) {
        g_form1 = new Form1();
        g_form1->setAttribute(Qt::WA_DeleteOnClose, false);
    }
    return *g_form1;
}

Form2& form2()
{
    if (!g_form2) {
        g_form2 = new Form2();
        g_form2->setAttribute(Qt::WA_DeleteOnClose, false);
        QObject::connect(g_form2, &Form2::backToMainWindow, g_form2, [] { form1().show(); });
        g_form2->Form_Load();
    }
    return *g_form2;
}

Form2* form2IfLoaded() { return g_form2; }

void resetForTesting()
{
    delete g_form2;
    g_form2 = nullptr;
    delete g_form1;
    g_form1 = nullptr;
}

}  // namespace Forms
