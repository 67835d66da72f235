// The folder browser: the prompt above a folder tree (the home folder first, then "/" and the
// user's mounted volumes), and under it the selected folder's full path as an editable line
// with completion, so a folder can be picked by typing or pasting its path.
#pragma once

#include <QDialog>
#include <QStringList>

class QCompleter;
class QDialogButtonBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The tree's top folders, in order: the home folder (when it exists), "/", then the mounted
// volumes a user keeps files on.
QStringList BrowserRootFolders();
// True for a volume the browser lists beside "/": removable and user mounts (below /media,
// /run/media or /mnt) and network shares; never "/" itself or the system's own file systems.
bool IsUserVolume(const QString& rootPath, const QByteArray& fileSystemType);

// Makes the folder name inside the folder parent. Returns the new folder's path, or empty
// with why set to a sentence the user can read ("/" in the name, "." or "..", a name already
// taken, or the system's reason).
QString MakeFolder(const QString& parent, const QString& name, QString& why);
// The name proposed for a new folder in parent: "New Folder", or "New Folder 2", 3, ... when
// that is taken.
QString ProposedFolderName(const QString& parent);

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

    // "New Folder" (also Ctrl+Shift+N): asks for a name through the prompts, makes the folder
    // inside the selected one and selects it, or says why it could not be made. Nothing
    // happens while no folder is selected.
    void newFolder();

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
    // Shows folder, just made inside parent, in the tree when parent's subfolders are listed.
    void addMadeFolder(const QString& parent, const QString& folder);

    QTreeWidget* m_tree;
    QLineEdit* m_path;
    QCompleter* m_completer;
    QDialogButtonBox* m_buttons;
    QPushButton* m_newFolder;
    // Set while one of tree and path line follows the other, so it does not echo back.
    bool m_following = false;
};
