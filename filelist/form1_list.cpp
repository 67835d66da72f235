#include "app/errorreport.h"
#include "app/form1.h"
#include "app/settings.h"

void Form1::PushButton6_Click()
{
    ErrorTrap trap("Form1", "PushButton6_Click");
    if (isBusy())
        return;
    STEP(trap, ListView1->clearRows());
}

void Form1::Combo1_Click()
{
    // The store can fail on this platform, so the save reports rather than escaping the signal.
    ErrorTrap trap("Form1", "Combo1_Click");
    const int position = Combo1->currentIndex();
    if (position < 0)
        return;
    STEP(trap, Settings::put(Settings::kCombo1, QString::number(position)));
}

void Form1::ListView1_DblClick()
{
    if (isBusy() || ListView1->rowCount() == 0)
        return;
    const int row = ListView1->selectedRow();
    if (row >= 0)
        ListView1->removeRow(row);
}

void Form1::ListView1_KeyDown(int keyCode)
{
    if (keyCode == Qt::Key_Delete)
        ListView1_DblClick();
}
