#include "app/form1.h"

void Form1::PushButton6_Click() {}
void Form1::Combo1_Click() {}
void Form1::ListView1_DblClick() {}
void Form1::ListView1_KeyDown(int) {}
