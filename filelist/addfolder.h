// The folder scan and the file tests behind "Add All", folder drops and the sample list.
#pragma once

#include <QString>
#include <QStringList>

#include <dirent.h>

class QWidget;
class ListView;

// Attribute bits the scan rules are stated in. On POSIX the word is built from what the file
// system keeps: 16 directory, 2 hidden (a name beginning with "."), 1 read-only (the owner may
// not write), 32 archive (every regular file), 1024 reparse point (a symbolic link); never 4.
enum FileAttribute : int {
    kAttrReadOnly = 1,
    kAttrHidden = 2,
    kAttrSystem = 4,
    kAttrDirectory = 16,
    kAttrArchive = 32,
    kAttrReparsePoint = 1024,
};

// The attribute word of path, or -1 when the path cannot be queried.
int FileAttributeWord(const QString& path);
// True when name holds a control character (below 32 or 127..159), "?", or bytes that do not
// decode in the file system's encoding.
bool HasUnusableChars(const QString& name);
// Names (not paths) of the existing files directly inside folder that match pattern
// ("*" any run, "?" one character, case-insensitive, "*.*" every name), in name order
// (NameOrderLess). Folders are never listed; hidden files are.
QStringList ListFiles(const QString& folder, const QString& pattern);
// Extends folders (each ending in a separator) in place, breadth-first, with every usable
// subfolder, every level when recurse is on; a folder's subfolders follow in name order.
// A folder reached a second time (through a link) is neither listed nor entered again, so a
// link loop ends.
void GetSubDirectories2016(QStringList& folders, bool recurse);

// What a typed extension means: the text without surrounding blanks and without a leading "."
// or "*." (".pcx", "*.pcx" and "pcx" alike; "*.*" is "*"), letter case as typed. Empty when
// nothing is left.
QString ExtensionFromAnswer(const QString& answer);
// "Add All"'s pattern for a typed extension: "*" gives "*.*", "pcx" gives "*.pcx".
QString PatternForExtension(const QString& extension);
// Scans folder and its whole tree, and appends to list every file matching pattern, folder by
// folder in scan order, skipping names that begin with "~" and files whose attribute word is
// exactly 34. Each row's tag is the folder (normalised, with a separator), which begins its path.
// Lets events run between folders. Returns the number of rows added.
int AddFolderTree(ListView* list, const QString& folder, const QString& pattern);

// "Add All"'s last folder, kept for the session (the caller also keeps it in the settings).
QString& LastFolder();

// The services' openFolder in the program: opendir, with err the error number on failure and
// 0 otherwise. Tests put their own in its place (the file system refuses nothing to root, so
// "access denied" has to be made up).
DIR* OpenFolderEntries(const QString& folder, int& err);

// Appends what a drop delivers, in order: a folder's whole tree (every file, "*.*"), and any
// other path as it stands.
void AddDroppedPaths(ListView* list, const QStringList& paths);
