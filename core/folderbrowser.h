// The folder browser: the prompt above the folder tree, the selected folder's full path as
// its status line, and confirming only a file-system folder.
#pragma once

#include <QDialog>

class QDialogButtonBox;
class QFileSystemModel;
class QLabel;
class QTreeView;

class FolderBrowser : public QDialog {
    Q_OBJECT
public:
    FolderBrowser(QWidget* owner, const QString& prompt, const QString& startFolder);

    // Shows the browser modally; the chosen folder, or empty when cancelled.
    static QString getFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

    // The selected folder's full path, or empty when nothing usable is selected.
    QString selectedFolder() const;
    QString statusText() const;
    QTreeView* tree() const { return m_tree; }
    QFileSystemModel* model() const { return m_model; }

private:
    void selectionChanged();

    QFileSystemModel* m_model;
    QTreeView* m_tree;
    QLabel* m_status;
    QDialogButtonBox* m_buttons;
    QString m_startFolder;
};
