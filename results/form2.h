// The results window: sizes before and after, the naming rule, the output folder.
#pragma once

#include "app/controls.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QStringList>

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

protected:
    void closeEvent(QCloseEvent* event) override;
};
