// The main window: the file list, the colour count and the commands around them.
// Its controls, top to bottom:
//   control       caption                           what it does
//   PushButton5   "Help"                            what to expect from reducing (F1)
//   ListView1     "PCX File(s)" (its column)        the files to reduce; takes dropped files and
//                                                   folders, rows drag to a new place, Delete or
//                                                   a double-click removes one
//   PushButton1   "Add PCX File(s)"                 adds files through the open-file dialog
//                                                   (Ctrl+O)
//   PushButton3   "Add All PCX File(s) In Folder"   adds every file of one extension from a
//                                                   folder and its subfolders
//   PushButton6   "Clear List"                      empties the list
//   PushButton4   "Load Sample/Example Files"       adds the sample files the program carries
//   Frame1        "Colors"                          holds Combo1
//   Combo1        "256 colors" ... "4 colors"       the colour count of the next run, kept in
//                                                   the settings
//   PushButton2   "Start Reducing"                  reduces every listed file, then shows the
//                                                   results window (Ctrl+Enter); Escape stops a
//                                                   run, the files in flight included
//   ProgressBar1  (the run's own texts)             how far a run is, and at which file
// and the list's context menu, Menu1 (a right click, the Menu key or Shift+F10):
//   mnuAddFiles       "Add PCX File(s)…"                        as PushButton1 (Ctrl+O)
//   mnuAddFolder      "Add All PCX File(s) In Folder…"          as PushButton3
//   mnuRemove         "Remove"                                  removes the selected row (Delete)
//   mnuClearList      "Clear List"                              as PushButton6
//   mnuOnePalette     "Start Reducing with One Palette for All" reduces every file to one palette
//                                                               gathered from all of them
//                                                               (Ctrl+Shift+Enter)
//   mnuPaletteOfFile  "Start Reducing to the Palette of a File…" reduces every file to the
//                                                               palette of a file the user picks
//                                                               (Ctrl+Shift+P)
//   mnuKeyColour      "Key Colour…"                             the colour both palette runs make
//                                                               index 0, or none; kept in the
//                                                               settings
//   mnuNoDither       "No Dither"                               no run dithers
//   mnuDither         "Smooth Gradients (Dither)"               every run diffuses the error
//   mnuPatternDither  "Steady Pattern (Dither for Animation)"   every run dithers in a fixed
//                                                               pattern; one of the three is
//                                                               chosen, kept in the settings
#pragma once

#include "engine/run.h"
#include "filelist/reorder.h"
#include "widgets/controls.h"

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
    QMenu* Menu1;
    QAction* mnuAddFiles;
    QAction* mnuAddFolder;
    QAction* mnuRemove;
    QAction* mnuClearList;
    QAction* mnuOnePalette;
    QAction* mnuPaletteOfFile;
    QAction* mnuKeyColour;
    QAction* mnuNoDither;
    QAction* mnuDither;
    QAction* mnuPatternDither;

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
    void ListView1_ContextMenu(QPoint at);
    void mnuRemove_Click();
    void mnuOnePalette_Click();
    void mnuPaletteOfFile_Click();
    void mnuKeyColour_Click();
    void mnuDither_Click(Dither dither);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The constructor's parts, in the order it calls them.
    void makeControls();
    void watchPointers();
    void connectHandlers();
    void describeForScreenReaders();
    void addWindowKeys();
    void makeListMenu();
    void makeDitherItems();
    // Checks the dither's item; the dither the next run takes.
    void showDither(Dither dither);
    Dither chosenDither() const;

    // Reduces the listed files as choice says (its dither and key colour as the menu keeps
    // them) and shows the results; nothing while the program is busy, "No files added." for
    // an empty list.
    void reduceListedFiles(ErrorTrap& trap, RunChoice choice);
    // The run of inputs, stopped by Escape and by the window's close.
    RunResult runReduction(ErrorTrap& trap, const QStringList& inputs, const RunChoice& choice);
    // Shows the key colour kept in the settings beside its menu item.
    void showKeyColour(const QString& colour);

    RowReorder m_reorder;
    // The run in progress, which Escape asks to stop; none between runs.
    RunControl* m_run = nullptr;
};
