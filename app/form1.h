// The main window: the file list, the colour count and the commands around them.
#pragma once

#include "core/controls.h"
#include "engine/run.h"
#include "filelist/reorder.h"

#include <QComboBox>
#include <QGroupBox>

class ErrorTrap;
class QCloseEvent;
class QDragMoveEvent;
class QDropEvent;

class Form1 : public FormBase {
    Q_OBJECT
public:
    Form1();

    // Controls, named as the window's design names them.
    ListView* ListView1;
    ProgressBar* ProgressBar1;
    QGroupBox* Frame1;
    QComboBox* Combo1;
    PushButton* PushButton1;  // "Add PCX File(s)"
    PushButton* PushButton2;  // "Start Reducing"
    PushButton* PushButton3;  // "Add All PCX File(s) In Folder"
    PushButton* PushButton4;  // "Load Sample/Example Files"
    PushButton* PushButton5;  // "Help"
    PushButton* PushButton6;  // "Clear List"

    // Handlers.
    void Form_Load();
    void Form_KeyDown(int keyCode);
    void PushButton1_Click();
    void PushButton2_Click();
    void PushButton3_Click();
    void PushButton4_Click();
    void PushButton5_Click();
    void PushButton6_Click();
    void Combo1_Click();
    void ListView1_DblClick();
    void ListView1_KeyDown(int keyCode);
    void ListView1_OLEDragOver(QDragMoveEvent* event);
    void ListView1_OLEDragDrop(QDropEvent* event);
    void ListView1_MouseDown(Qt::MouseButton button, QPoint pos);
    void ListView1_MouseMove(Qt::MouseButtons buttons, QPoint pos);
    void ListView1_MouseUp(Qt::MouseButton button, QPoint pos);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The run of inputs, stopped by Escape and by the window's close.
    RunResult runReduction(ErrorTrap& trap, const QStringList& inputs);

    RowReorder m_reorder;
    // The run in progress, which Escape asks to stop; none between runs.
    RunControl* m_run = nullptr;
};
