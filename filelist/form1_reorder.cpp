#include "app/form1.h"

void Form1::ListView1_MouseDown(Qt::MouseButton, QPoint) {}
void Form1::ListView1_MouseMove(Qt::MouseButtons, QPoint) {}
void Form1::ListView1_MouseUp(Qt::MouseButton, QPoint) {}
