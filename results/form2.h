// The results window: sizes before and after, the naming rule, the output folder.
#pragma once

#include "app/controls.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QStringList>

class ErrorTrap;
class QCloseEvent;

class Form2 : public FormBase {
    Q_OBJECT
public:
    Form2();

    // Output paths of the last run, one per results row, in list order.
    QStringList mColFiles;

    ListView* ListView1;
    QGroupBox* Frame3;
    QRadioButton* Option3;  // "Save x.pcx as x-reduced.pcx"
    QRadioButton* Option4;  // "Save x.pcx as x.pcx"
    QGroupBox* Frame1;
    QLineEdit* Text1;
    PushButton* PushButton7;  // "..."
    PushButton* PushButton8;  // "< Back"
    PushButton* PushButton6;  // "Save Results"

    void Form_Load();
    void Text1_Change();
    void PushButton6_Click();
    void PushButton7_Click();
    void PushButton8_Click();
    // Runs on every request to close the window; never cancels it.
    void Form_QueryUnload();

    // True while saving or going back lets events run; the buttons are ignored meanwhile.
    bool isBusy() const { return m_busy; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void removeWorkCopies(ErrorTrap& trap);
    // Carries out a close that was requested while the window was busy.
    bool closeIfPending();

    bool m_busy = false;
    bool m_closePending = false;
};
