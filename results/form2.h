// The results window: sizes before and after, the naming rule, the output folder.
// Its controls, top to bottom:
//   control       caption                           what it does
//   ListView1     "Preview", "Size Before",         a row per file of the run; resting on a row,
//                 "Size After" (its columns)        or Space, previews it before and after
//   Frame3        "Output Filename"                 holds Option3 and Option4
//   Option3       "Save x.pcx as x-reduced.pcx"     saves each copy under its name with "-reduced"
//   Option4       "Save x.pcx as x.pcx"             saves each copy under the file's own name
//   Frame1        "Save File(s) To This Folder"     holds Text1 and PushButton7
//   Text1         (the folder's path)               the folder the copies are saved into, kept
//                                                   in the settings
//   PushButton7   "..."                             picks that folder with the folder browser
//   PushButton8   "< Back"                          discards the reduced copies and shows the
//                                                   main window again (Escape)
//   PushButton6   "Save Results"                    copies the reduced files into the folder
//                                                   (Ctrl+S)
// and the results list's context menu, Menu1 (a right click, the Menu key or Shift+F10), complete
// by itself for the keyboard:
//   mnuSaveResults    "Save Results"                as PushButton6 (Ctrl+S)
//   mnuSaveTree       "Save Keeping Subfolders"     copies each reduced file into the subfolders
//                                                   of its input below the folder it was added
//                                                   from, made as needed (Ctrl+Shift+S)
//   mnuBack           "< Back"                      as PushButton8 (Escape)
#pragma once

#include "core/records.h"
#include "results/save.h"
#include "widgets/controls.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QStringList>

class ErrorTrap;
class PreviewTips;
class QCloseEvent;

class Form2 : public FormBase {
    Q_OBJECT
public:
    Form2();

    ListView* ListView1;
    QGroupBox* Frame3;
    QRadioButton* Option3;  // "Save x.pcx as x-reduced.pcx"
    QRadioButton* Option4;  // "Save x.pcx as x.pcx"
    QGroupBox* Frame1;
    QLineEdit* Text1;
    PushButton* PushButton7;  // "..."
    PushButton* PushButton8;  // "< Back"
    PushButton* PushButton6;  // "Save Results"
    QMenu* Menu1;
    QAction* mnuSaveResults;
    QAction* mnuSaveTree;
    QAction* mnuBack;

    // The records of the last run, one per row in list order; the window shows and saves from
    // these alone.
    const ReductionRecords& records() const { return m_records; }
    // The run's reduced copies in the work folder, one per row.
    QStringList mColFiles() const { return WorkCopiesOf(m_records); }
    // A run's records, one row each in order: rows, records and pictures of the last run give way
    // to these.
    void setRecords(const ReductionRecords& records);
    // The rows' tooltips with their pictures; dropped with the records and the work copies.
    PreviewTips& previews() { return *m_previews; }

    void Form_Load();
    void Text1_Change();
    void PushButton6_Click();
    void PushButton7_Click();
    void PushButton8_Click();
    void ListView1_ContextMenu(QPoint at);
    void mnuSaveTree_Click();
    // Runs on every request to close the window; never cancels it.
    void Form_QueryUnload();

signals:
    // "< Back" has removed the copies: the main window is to be shown again.
    void backToMainWindow();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void makeListMenu();
    // One save of every row into the folder of Text1, by the naming rule of the options; nothing
    // while the program is busy.
    void saveRows(ErrorTrap& trap, Results::Layout layout);
    void removeWorkCopies(ErrorTrap& trap);
    // Carries out a close or a "< Back" that was asked for while the program was busy.
    void runPendingCommand();

    ReductionRecords m_records;
    PreviewTips* m_previews;
    bool m_closePending = false;
    bool m_backPending = false;
};
