// The folder browser: the prompt above a folder tree (the home folder first, then "/" and the
// user's mounted volumes), and under it the selected folder's full path as an editable line
// with completion, so a folder can be picked by typing or pasting its path.
#pragma once

#include <QDialog>
#include <QStringList>

class QCompleter;
class QDialogButtonBox;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

// The tree's top folders, in order: the home folder (when it exists), "/", then the mounted
// volumes a user keeps files on.
QStringList BrowserRootFolders();
// True for a volume the browser lists beside "/": removable and user mounts (below /media,
// /run/media or /mnt) and network shares; never "/" itself or the system's own file systems.
bool IsUserVolume(const QString& rootPath, const QByteArray& fileSystemType);

class FolderBrowser : public QDialog {
    Q_OBJECT
public:
    // Opens at startFolder when it is an existing folder, else at the home folder.
    FolderBrowser(QWidget* owner, const QString& prompt, const QString& startFolder);

    // Shows the browser modally; the chosen folder, or empty when cancelled.
    static QString getFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

    // The existing folder the path line names (absolute, or "~" for the home folder), with
    // the platform's separators and without a trailing one (except "/"); empty when it names
    // none. OK is enabled exactly when this is not empty.
    QString selectedFolder() const;
    // The path line as it stands.
    QString statusText() const;
    // The tree folder an item stands for.
    static QString itemFolder(const QTreeWidgetItem* item);

    QTreeWidget* tree() const { return m_tree; }
    QLineEdit* pathField() const { return m_path; }
    QCompleter* completer() const { return m_completer; }

private:
    QTreeWidgetItem* addFolderItem(QTreeWidgetItem* parent, const QString& label, const QString& folder);
    // Lists item's subfolders under it, once.
    void fill(QTreeWidgetItem* item);
    // Expands the tree down to folder and makes it the current item; false when the tree does
    // not show it (a hidden folder, one that went away).
    bool reveal(const QString& folder);
    void treeCurrentChanged(QTreeWidgetItem* current);
    void pathEdited();
    void pathReturnPressed();
    void updateOk();

    QTreeWidget* m_tree;
    QLineEdit* m_path;
    QCompleter* m_completer;
    QDialogButtonBox* m_buttons;
    // Set while one of tree and path line follows the other, so it does not echo back.
    bool m_following = false;
};
