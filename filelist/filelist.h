// The main window's file list: adding by dialog, by folder and by drop, and removing rows.
// Each function is the body of one of the window's commands; the window keeps the refusals
// that depend on its state (the busy state) and hands in its own error trap, so a failing step
// is reported under the command's name and the command goes on.
#pragma once

#include <QStringList>
#include <Qt>

class ErrorTrap;
class ListView;
class QMimeData;
class QWidget;

// Sets list up as a drop target for files that never starts a drag of its own.
void AcceptFileDrops(ListView* list);

// "Add PCX File(s)": asks for files and appends them; says so when the dialog could not hold
// the names.
void AddFilesByDialog(ErrorTrap& trap, QWidget* owner, ListView* list);
// Appends what the dialog gave: one file as it stands, several each through NormalizePath.
void AddPickedFiles(ListView* list, const QStringList& paths);

// "Add All": asks for the extension and the folder, remembers both, and appends every usable
// file of that extension in the folder's tree.
void AddAllFilesInFolder(ErrorTrap& trap, QWidget* owner, ListView* list);

// The action a drag over the list is answered with: a copy (or a link) of local files, never a
// move, so the program the files come from never deletes them; IgnoreAction for anything else.
Qt::DropAction FileDropAction(const QMimeData* data, Qt::DropActions possible);
// The local paths a drop carries, in its order.
QStringList DroppedLocalPaths(const QMimeData* data);

// A row's tooltip shows its full path above the list's own tooltip, so long paths and files of
// one name from different folders can be told apart; elsewhere the list's own tooltip shows.
void ShowRowPathTips(ListView* list);

// Removes the selected row, if any.
void RemoveSelectedRow(ListView* list);
