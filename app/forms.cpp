#include "app/forms.h"

#include "app/form1.h"
#include "results/form2.h"
#include "widgets/formhost.h"

namespace {
FormHost* g_host = nullptr;
Form1* g_form1 = nullptr;
Form2* g_form2 = nullptr;

FormHost& host()
{
    if (!g_host)
        g_host = new FormHost();
    return *g_host;
}

}  // namespace

namespace Forms {

Form1& form1()
{
    if (!g_form1) {
        g_form1 = new Form1();
        host().adopt(g_form1);
    }
    return *g_form1;
}

Form2& form2()
{
    if (!g_form2) {
        g_form2 = new Form2();
        host().adopt(g_form2);
        QObject::connect(g_form2, &Form2::backToMainWindow, g_form2, [] { form1().show(); });
        g_form2->Form_Load();
    }
    return *g_form2;
}

Form2* form2IfLoaded() { return g_form2; }

void destroyAll()
{
    delete g_form2;
    g_form2 = nullptr;
    delete g_form1;
    g_form1 = nullptr;
    delete g_host;
    g_host = nullptr;
}

}  // namespace Forms
