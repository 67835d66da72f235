#include "app/errorreport.h"
#include "app/form1.h"
#include "app/samples.h"

void Form1::PushButton4_Click()
{
    ErrorTrap trap("Form1", "PushButton4_Click");
    STEP(trap, LoadSampleFiles(ListView1));
}
