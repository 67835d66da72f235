// The two working windows. Only the program's top floor knows both; the windows never reach
// into each other, and the results window hears of a run only through its records. Both are
// pages of one platform window (widgets/formhost.h): showing one shows it there, in place.
#pragma once

class Form1;
class Form2;

namespace Forms {

// The main window; created on first use.
Form1& form1();
// The results window; created and loaded (its Form_Load run) on first use.
Form2& form2();
// The results window if it exists, else nullptr; never creates it.
Form2* form2IfLoaded();
// Destroys both windows and their platform window, so none outlives the application; the next
// use creates them anew.
void destroyAll();

}  // namespace Forms
