#include "filelist/addfolder.h"

#include "app/controls.h"
#include "app/errorreport.h"
#include "app/globals.h"
#include "app/prompts.h"
#include "filelist/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QStringDecoder>

#include <cerrno>
#include <climits>
#include <set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QChar kSep = QDir::separator();

// The platform's limits: a path must be shorter than kMaxPath characters, a name than kMaxName.
#ifdef Q_OS_WIN
constexpr qsizetype kMaxPath = 260;
constexpr qsizetype kMaxName = 260;
#else
constexpr qsizetype kMaxPath = PATH_MAX;
constexpr qsizetype kMaxName = NAME_MAX + 1;
#endif

QString g_lastFolder;
QString g_browseStart;
QString g_faultSuffix;
int g_faultErr = 0;

using FolderId = std::pair<dev_t, ino_t>;
using EnteredSet = std::set<FolderId>;

// Closes a directory stream when the scope ends.
struct DirHandle {
    DIR* dir = nullptr;
    explicit DirHandle(DIR* d) : dir(d) {}
    ~DirHandle()
    {
        if (dir)
            closedir(dir);
    }
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
};

DIR* openDir(const QString& folder, int& err)
{
    if (!g_faultSuffix.isEmpty() && folder.endsWith(g_faultSuffix)) {
        err = g_faultErr;
        return nullptr;
    }
    DIR* d = opendir(QFile::encodeName(folder).constData());
    err = d ? 0 : errno;
    return d;
}

// Decodes a name as the file system stores it; false when its bytes are not valid text.
bool decodeName(const char* bytes, QString& out)
{
    const size_t n = strlen(bytes);
    bool ascii = true;
    for (size_t i = 0; i < n && ascii; ++i)
        ascii = static_cast<unsigned char>(bytes[i]) < 0x80;
    if (ascii) {
        out = QString::fromLatin1(bytes, static_cast<qsizetype>(n));
        return true;
    }
    QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    out = dec(QByteArrayView(bytes, static_cast<qsizetype>(n)));
    return !dec.hasError();
}

bool isDotOrDotDot(const char* n)
{
    return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0));
}

// The path without trailing separators, so a link is queried as itself; the root stays.
QString withoutTrailingSeparators(const QString& path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(kSep))
        p.chop(1);
    return p;
}

bool isRootFolder(const QString& path)
{
#ifdef Q_OS_WIN
    return QDir(path).isRoot();
#else
    return NormalizePath(path) == QStringLiteral("/");
#endif
}

// A folder the scan may list and enter: a root, or not hidden+system (with or without link).
bool isScannableFolder(const QString& path)
{
    if (isRootFolder(path))
        return true;
    const int word = FileAttributeWord(path);
    return word != 22 && word != 1046;
}

// Case-insensitive match with "*" (any run) and "?" (one character); "*.*" takes every name.
class NamePattern {
public:
    explicit NamePattern(const QString& pattern)
    {
        if (pattern == QStringLiteral("*.*") || pattern == QStringLiteral("*")) {
            m_all = true;
        } else if (pattern.startsWith(QStringLiteral("*."))
                   && !pattern.mid(1).contains(QLatin1Char('*'))
                   && !pattern.contains(QLatin1Char('?'))) {
            m_suffix = pattern.mid(1);  // ".pcx": the common case, without the general walk
        } else {
            m_folded = pattern.toCaseFolded();
        }
    }

    bool matches(const QString& name) const
    {
        if (m_all)
            return true;
        if (!m_suffix.isEmpty())
            return name.endsWith(m_suffix, Qt::CaseInsensitive);
        return glob(m_folded, name.toCaseFolded());
    }

private:
    static bool glob(const QString& p, const QString& s)
    {
        qsizetype pi = 0, si = 0, star = -1, mark = 0;
        while (si < s.size()) {
            if (pi < p.size() && (p[pi] == QLatin1Char('?') || p[pi] == s[si])) {
                ++pi;
                ++si;
            } else if (pi < p.size() && p[pi] == QLatin1Char('*')) {
                star = pi++;
                mark = si;
            } else if (star >= 0) {
                pi = star + 1;
                si = ++mark;
            } else {
                return false;
            }
        }
        while (pi < p.size() && p[pi] == QLatin1Char('*'))
            ++pi;
        return pi == p.size();
    }

    bool m_all = false;
    QString m_suffix;
    QString m_folded;
};

struct ListedFile {
    QString name;
    int attributes;  // only the bits the adding rule needs are exact: hidden, archive, link, read-only
};

// The existing files of folder that match pattern, with their attribute words, in the file
// system's order. Regular files with plain names need no further query: the directory entry
// already says they exist and are neither links nor hidden.
std::vector<ListedFile> listFilesDetailed(const QString& folder, const NamePattern& pattern)
{
    std::vector<ListedFile> out;
    int err = 0;
    DirHandle h(openDir(folder, err));
    if (!h.dir)
        return out;
    const int fd = dirfd(h.dir);
    QString name;
    while (const dirent* e = readdir(h.dir)) {
        if (e->d_type == DT_DIR || isDotOrDotDot(e->d_name))
            continue;
        if (!decodeName(e->d_name, name) || !pattern.matches(name))
            continue;
        const bool hidden = e->d_name[0] == '.';
        if (e->d_type == DT_REG && !hidden) {
            out.push_back({name, kAttrArchive});
            continue;
        }
        struct stat st;
        if (fstatat(fd, e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        bool link = e->d_type == DT_LNK;
        if (e->d_type == DT_UNKNOWN) {
            struct stat lst;
            link = fstatat(fd, e->d_name, &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode);
        }
        int word = kAttrArchive;
        if (hidden)
            word |= kAttrHidden;
        if (!(st.st_mode & S_IWUSR))
            word |= kAttrReadOnly;
        if (link)
            word |= kAttrReparsePoint;
        out.push_back({name, word});
    }
    return out;
}

enum class Enumeration { Done, Unreadable, Failed };

// Appends folder's usable subfolders to found, each as folder + name + separator.
// Unreadable: access denied or the folder is gone. Failed: stopped part-way for another reason.
Enumeration enumerateSubfolders(const QString& folder, QStringList& found, EnteredSet& entered,
                                bool claimSelf)
{
    int err = 0;
    DirHandle h(openDir(folder, err));
    if (!h.dir)
        return (err == EACCES || err == EPERM || err == ENOENT || err == ENOTDIR)
            ? Enumeration::Unreadable
            : Enumeration::Failed;
    const int fd = dirfd(h.dir);
    if (claimSelf) {
        struct stat self;
        if (fstat(fd, &self) == 0 && !entered.insert({self.st_dev, self.st_ino}).second)
            return Enumeration::Done;  // entered already through another entry
    }
    QString name;
    for (;;) {
        errno = 0;
        const dirent* e = readdir(h.dir);
        if (!e)
            return errno == 0 ? Enumeration::Done : Enumeration::Failed;
        if (e->d_type != DT_DIR && e->d_type != DT_LNK && e->d_type != DT_UNKNOWN)
            continue;
        if (isDotOrDotDot(e->d_name))
            continue;
        struct stat st;
        if (fstatat(fd, e->d_name, &st, 0) != 0 || !S_ISDIR(st.st_mode))
            continue;
        QCoreApplication::processEvents();
        if (!decodeName(e->d_name, name) || name.size() >= kMaxName || HasUnusableChars(name))
            continue;
        // A folder met before (a link back up the tree, or a second link) is left out.
        if (!entered.insert({st.st_dev, st.st_ino}).second)
            continue;
        found.append(folder + name + kSep);
    }
}

}  // namespace

int FileAttributeWord(const QString& path)
{
    if (path.isEmpty())
        return -1;
    const QString p = withoutTrailingSeparators(path);
    const QByteArray enc = QFile::encodeName(p);
    struct stat lst;
    if (lstat(enc.constData(), &lst) != 0)
        return -1;
    int word = 0;
    struct stat st = lst;
    if (S_ISLNK(lst.st_mode)) {
        word |= kAttrReparsePoint;
        if (stat(enc.constData(), &st) != 0)
            st = lst;  // a dangling link is still a link
    }
    if (S_ISDIR(st.st_mode))
        word |= kAttrDirectory;
    else if (S_ISREG(st.st_mode))
        word |= kAttrArchive;
    if (!(st.st_mode & S_IWUSR))
        word |= kAttrReadOnly;
    const qsizetype cut = p.lastIndexOf(kSep);
    const QString name = cut < 0 ? p : p.mid(cut + 1);
    if (name.startsWith(QLatin1Char('.')) && name != QStringLiteral(".")
        && name != QStringLiteral(".."))
        word |= kAttrHidden;
    return word;
}

bool IsExistingFile(const QString& path)
{
    if (path.isEmpty())
        return false;
    struct stat st;
    return stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    struct stat st;
    return stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HasUnusableChars(const QString& name)
{
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        // U+FFFD is what a byte sequence that does not decode turns into.
        if (u < 32 || (u >= 127 && u <= 159) || u == u'?' || u == 0xFFFD)
            return true;
    }
    return false;
}

QStringList ListFiles(const QString& folder, const QString& pattern)
{
    QString f = folder;
    if (!f.endsWith(kSep))
        f += kSep;
    QStringList names;
    for (ListedFile& lf : listFilesDetailed(f, NamePattern(pattern))) {
        if (IsExistingFile(f + lf.name))
            names << std::move(lf.name);
    }
    return names;
}

void GetSubDirectories2016(QStringList& folders, bool recurse)
{
    ErrorTrap trap(Globals::kDirscanWord, "AddFolder", "GetSubDirectories2016");
    EnteredSet entered;
    // Level by level: the given entries are entered first (and stay, unless unreadable), then
    // every usable folder of each deeper level is appended in discovery order.
    QStringList level = folders;
    bool given = true;
    folders.clear();
    while (!level.isEmpty()) {
        QStringList next;
        for (qsizetype i = 0; i < level.size();) {
            const QString e = level.at(i);
            bool keep = true;
            STEP(trap, {
                if (!FolderExists(e) || e.size() >= kMaxPath)
                    return;
                QCoreApplication::processEvents();
                if (!isScannableFolder(e))
                    return;
                if (enumerateSubfolders(e, next, entered, given) == Enumeration::Unreadable)
                    keep = false;
            });
            if (keep)
                ++i;
            else
                level.removeAt(i);
        }
        if (given) {
            folders = level;
        } else {
            for (const QString& e : std::as_const(level)) {
                STEP(trap, {
                    QCoreApplication::processEvents();
                    if (FolderExists(e) && isScannableFolder(e))
                        folders.append(e);
                });
            }
        }
        given = false;
        if (!recurse) {
            // Only the direct children: they are copied but not entered.
            for (const QString& e : std::as_const(next)) {
                STEP(trap, {
                    QCoreApplication::processEvents();
                    if (FolderExists(e) && isScannableFolder(e))
                        folders.append(e);
                });
            }
            break;
        }
        level = std::move(next);
    }
}

QString PatternForExtension(const QString& extension)
{
    return QStringLiteral("*.") + (extension == QStringLiteral("*") ? QStringLiteral("*") : extension);
}

int AddFolderTree(ListView* list, const QString& folder, const QString& pattern)
{
    QPointer<ListView> guard(list);
    QStringList folders{folder + kSep};
    GetSubDirectories2016(folders, true);
    const NamePattern match(pattern);
    // Rows go in per folder (and per few thousand files in a crowded one), with events between,
    // so the window repaints and a large tree does not insert row by row.
    constexpr qsizetype kChunk = 4096;
    int added = 0;
    QList<QTreeWidgetItem*> items;
    auto flush = [&] {
        if (!guard) {
            qDeleteAll(items);
        } else if (!items.isEmpty()) {
            added += static_cast<int>(items.size());
            guard->addTopLevelItems(items);
        }
        items.clear();
        QCoreApplication::processEvents();
    };
    for (QString entry : std::as_const(folders)) {
        if (!guard)
            break;
        if (entry.endsWith(kSep))
            entry.chop(1);
        const QString prefix = entry + kSep;
        for (const ListedFile& f : listFilesDetailed(prefix, match)) {
            if (f.name.startsWith(QLatin1Char('~')))
                continue;
            // Exactly hidden + archive: a dot-file the user may write (editor and tool state).
            if (f.attributes == (kAttrHidden | kAttrArchive))
                continue;
            items << new QTreeWidgetItem(QStringList{NormalizePath(prefix + f.name)});
            if (items.size() >= kChunk)
                flush();
        }
        flush();
    }
    return added;
}

void AddDroppedPaths(ListView* list, const QStringList& paths)
{
    QPointer<ListView> guard(list);
    for (const QString& path : paths) {
        if (!guard)
            return;
        if (FolderExists(path))
            AddFolderTree(guard, path, QStringLiteral("*.*"));
        else
            guard->addRow(path);
    }
}

QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& initialFolder)
{
    g_browseStart = initialFolder;
    return prompts().browseForFolder(owner, prompt, g_browseStart);
}

QString& LastFolder() { return g_lastFolder; }

namespace AddFolderTesting {
void failOpenDir(const QString& pathSuffix, int err)
{
    g_faultSuffix = pathSuffix;
    g_faultErr = err;
}
}  // namespace AddFolderTesting
