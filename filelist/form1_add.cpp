#include "app/form1.h"

void Form1::PushButton1_Click() {}
void Form1::PushButton3_Click() {}
void Form1::ListView1_OLEDragOver(QDragMoveEvent*) {}
void Form1::ListView1_OLEDragDrop(QDropEvent*) {}
