#include "filelist/addfolder.h"

#include "core/busy.h"
#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/globals.h"
#include "core/platform.h"
#include "core/prompts.h"
#include "core/services.h"
#include "filelist/paths.h"
#include "widgets/closewatch.h"
#include "widgets/controls.h"
#include "widgets/formhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QChar kSep = QDir::separator();

// The platform's limits: a path must be shorter than kMaxPath characters, a name than kMaxName.
const qsizetype kMaxPath = Platform::MaxPathLength();
const qsizetype kMaxName = Platform::MaxNameLength();

QString g_lastFolder;

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

DIR* openDir(const QString& folder, int& err) { return services().openFolder(folder, err); }

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

// A folder the scan may list and enter: a root, or not hidden+system (with or without link).
bool isScannableFolder(const QString& path)
{
    if (!Platform::HasSystemFolders() || QDir(path).isRoot())
        return true;
    const int word = FileAttributeWord(path);
    return word != 22 && word != 1046;
}

// Lets pending events run, at most every few milliseconds: often enough for the window to
// repaint and answer at once, rarely enough to cost nothing next to the file system.
class EventPacer {
public:
    void run()
    {
        if (m_clock.isValid() && m_clock.elapsed() < 5)
            return;
        QCoreApplication::processEvents();
        m_clock.start();
    }

private:
    QElapsedTimer m_clock;
};

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

// One entry of a folder as read, kept until the folder's entries are in name order.
struct DirEntry {
    QString name;            // decoded; names that do not decode are never listed
    qsizetype raw = 0;       // where its bytes start in the listing's name store
    unsigned char type = 0;  // the entry's d_type
};

// A folder's entries in name order. Reused from folder to folder, so a scan allocates the
// stores once.
class Listing {
public:
    // Reads every entry of dir but "." and ".."; false when the reading stopped part-way
    // (the entries read so far are kept).
    bool read(DIR* dir)
    {
        m_entries.clear();
        m_bytes.clear();
        for (;;) {
            errno = 0;
            const dirent* e = readdir(dir);
            if (!e)
                return errno == 0;
            if (isDotOrDotDot(e->d_name))
                continue;
            DirEntry entry;
            if (!decodeName(e->d_name, entry.name))
                continue;  // neither entered nor added
            entry.raw = static_cast<qsizetype>(m_bytes.size());
            entry.type = e->d_type;
            m_bytes.append(e->d_name, strlen(e->d_name) + 1);
            m_entries.push_back(std::move(entry));
        }
    }
    void sort()
    {
        std::sort(m_entries.begin(), m_entries.end(),
                  [](const DirEntry& a, const DirEntry& b) { return NameOrderLess(a.name, b.name); });
    }
    const std::vector<DirEntry>& entries() const { return m_entries; }
    // The entry's name as the file system stores it, for the calls that take it.
    const char* bytes(const DirEntry& e) const { return m_bytes.data() + e.raw; }

private:
    std::vector<DirEntry> m_entries;
    std::string m_bytes;
};

// Decides whether a folder entry that is not a folder is an existing file whose name matches;
// gives its attribute word. known is the entry's stat (links followed) when the caller has it.
// Regular files with plain names need no query: the entry already says they exist and are
// neither links nor hidden.
bool acceptFile(int dirFd, const char* bytes, unsigned char type, const QString& name,
                const struct stat* known, const NamePattern& pattern, int& word)
{
    if (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN)
        return false;  // folders, pipes, sockets and devices
    if (!pattern.matches(name))
        return false;
    const bool hidden = bytes[0] == '.';
    if (type == DT_REG && !hidden) {
        word = kAttrArchive;
        return true;
    }
    struct stat st;
    if (!known) {
        if (fstatat(dirFd, bytes, &st, 0) != 0)
            return false;
        known = &st;
    }
    if (!S_ISREG(known->st_mode))
        return false;
    bool link = type == DT_LNK;
    if (type == DT_UNKNOWN) {
        struct stat lst;
        link = fstatat(dirFd, bytes, &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode);
    }
    word = kAttrArchive;
    if (hidden)
        word |= kAttrHidden;
    if (!(known->st_mode & S_IWUSR))
        word |= kAttrReadOnly;
    if (link)
        word |= kAttrReparsePoint;
    return true;
}

// Receives, folder by folder in the order of the final folder list and in name order within a
// folder, the entries that are not folders; st is filled (links followed) when the scan had to
// query the entry anyway.
class FileSink {
public:
    virtual ~FileSink() = default;
    virtual void beginFolder(const QString& folder) = 0;
    virtual void entry(int dirFd, const char* bytes, const DirEntry& e, const struct stat* st) = 0;
    virtual void endFolder() = 0;
    // True when nobody waits for the rows any more: the scan stops.
    virtual bool abandoned() const { return false; }
};

enum class Enumeration { Done, Unreadable, Failed };

// The breadth-first folder scan. Each folder is read once: its subfolders extend the next
// level, its other entries go to the sink, so a tree is read in one pass as `find` reads it.
class TreeScan {
public:
    TreeScan(FileSink* sink) : m_sink(sink) {}

    void run(QStringList& folders, bool recurse)
    {
        ErrorTrap trap(Globals::kDirscanWord, "AddFolder", "GetSubDirectories2016");
        // The given entries stay (unless unreadable); each deeper level follows, in order, with
        // the folders that exist and may be entered.
        QStringList level = folders;
        folders.clear();
        bool given = true;
        while (!level.isEmpty()) {
            QStringList next;
            QStringList* collect = (recurse || given) ? &next : nullptr;
            for (qsizetype i = 0; i < level.size();) {
                if (m_sink && m_sink->abandoned())
                    return;
                const QString e = level.at(i);
                bool keep = true;
                bool listed = given;
                STEP(trap, {
                    if (e.size() >= kMaxPath || (given && !FolderExists(e))) {
                        listed = given || (FolderExists(e) && isScannableFolder(e));
                        return;
                    }
                    m_events.run();
                    const bool enter = isScannableFolder(e);
                    if (!given && !enter) {
                        listed = false;  // neither listed nor entered
                        return;
                    }
                    const Enumeration r = enumerate(e, enter ? collect : nullptr, given);
                    keep = r != Enumeration::Unreadable;
                    listed = keep;
                });
                if (!keep) {
                    level.removeAt(i);
                    continue;
                }
                if (listed) {
                    m_events.run();
                    folders.append(e);
                }
                ++i;
            }
            given = false;
            if (!recurse) {
                // Only the direct children: listed when usable, but not entered.
                for (const QString& e : std::as_const(next)) {
                    STEP(trap, {
                        m_events.run();
                        if (FolderExists(e) && isScannableFolder(e))
                            folders.append(e);
                    });
                }
                break;
            }
            level = std::move(next);
        }
    }

private:
    // Reads one folder: subfolders into subfolders (when given), the rest to the sink, each in
    // name order. Unreadable: access denied or the folder is gone. Failed: stopped part-way
    // otherwise.
    Enumeration enumerate(const QString& folder, QStringList* subfolders, bool claimSelf)
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
            if (fstat(fd, &self) == 0 && !m_entered.insert({self.st_dev, self.st_ino}).second)
                return Enumeration::Done;  // entered already through another entry
        }
        // The file system's own order is arbitrary: the folder is read whole, then sorted.
        const Enumeration result = m_listing.read(h.dir) ? Enumeration::Done : Enumeration::Failed;
        m_listing.sort();
        if (m_sink)
            m_sink->beginFolder(folder);
        for (const DirEntry& e : m_listing.entries()) {
            const char* bytes = m_listing.bytes(e);
            if (e.type != DT_DIR && e.type != DT_LNK && e.type != DT_UNKNOWN) {
                if (m_sink)
                    m_sink->entry(fd, bytes, e, nullptr);
                continue;
            }
            struct stat st;
            if (fstatat(fd, bytes, &st, 0) != 0)
                continue;  // a dangling link: neither a folder nor a file
            if (!S_ISDIR(st.st_mode)) {
                if (m_sink)
                    m_sink->entry(fd, bytes, e, &st);
                continue;
            }
            if (!subfolders)
                continue;
            m_events.run();
            if (e.name.size() >= kMaxName || HasUnusableChars(e.name))
                continue;
            // A folder met before (a link back up the tree, or a second link) is left out.
            if (!m_entered.insert({st.st_dev, st.st_ino}).second)
                continue;
            subfolders->append(folder + e.name + kSep);
        }
        if (m_sink)
            m_sink->endFolder();
        return result;
    }

    FileSink* m_sink;
    EnteredSet m_entered;
    EventPacer m_events;
    Listing m_listing;
};

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
    int err = 0;
    DirHandle h(openDir(f, err));
    if (!h.dir)
        return names;
    Listing listing;
    listing.read(h.dir);
    listing.sort();
    const NamePattern match(pattern);
    int word = 0;
    for (const DirEntry& e : listing.entries()) {
        if (acceptFile(dirfd(h.dir), listing.bytes(e), e.type, e.name, nullptr, match, word))
            names << e.name;
    }
    return names;
}

void GetSubDirectories2016(QStringList& folders, bool recurse)
{
    TreeScan(nullptr).run(folders, recurse);
}

QString ExtensionFromAnswer(const QString& answer)
{
    const QString typed = answer.trimmed();
    if (typed.startsWith(QStringLiteral("*.")))
        return typed.mid(2);
    if (typed.startsWith(QLatin1Char('.')))
        return typed.mid(1);
    return typed;
}

QString PatternForExtension(const QString& extension)
{
    return QStringLiteral("*.") + (extension == QStringLiteral("*") ? QStringLiteral("*") : extension);
}

namespace {

// Turns the files the scan meets into rows. Rows go into the list in batches a tenth of a
// second apart: each insertion makes the list lay out all its rows again, so inserting folder
// by folder would make a large tree take quadratic time.
class RowSink final : public FileSink {
public:
    RowSink(ListView* list, const QString& folder, const QString& pattern)
        : m_list(list), m_match(pattern), m_addedFrom(NormalizePath(folder + kSep))
    {
        if (list)
            m_windowClose.watch(FormOf(list));
        m_sinceInsert.start();
    }
    ~RowSink() override { qDeleteAll(m_items); }

    // The list is gone, or its window was closed while the scan let events run. A hidden
    // window still wants its rows: a run may hide the main window in the middle of a scan.
    bool abandoned() const override { return !m_list || m_windowClose.closed(); }

    void beginFolder(const QString& folder) override
    {
        QString prefix = folder;
        if (!prefix.endsWith(kSep))
            prefix += kSep;
        // The name holds no separator, so the joined path normalises as its folder part does.
        m_prefix = NormalizePath(prefix);
    }

    void entry(int dirFd, const char* bytes, const DirEntry& e, const struct stat* st) override
    {
        if (bytes[0] == '~')
            return;
        int word = 0;
        if (!acceptFile(dirFd, bytes, e.type, e.name, st, m_match, word))
            return;
        // Exactly hidden + archive: a dot-file the user may write (editor and tool state).
        if (word == (kAttrHidden | kAttrArchive))
            return;
        auto* item = new QTreeWidgetItem;
        item->setText(0, m_prefix + e.name);
        item->setData(0, ListView::kTagRole, m_addedFrom);
        m_items << item;
    }

    void endFolder() override
    {
        if (m_sinceInsert.elapsed() >= 100)
            insertPending();
    }

    int insertPending()
    {
        if (m_list && !m_items.isEmpty()) {
            m_added += static_cast<int>(m_items.size());
            m_list->addTopLevelItems(m_items);
            m_items.clear();
        }
        m_sinceInsert.restart();
        return m_added;
    }

private:
    QPointer<ListView> m_list;
    NamePattern m_match;
    // Every row's path begins with it, followed by the subfolders the scan went through.
    QString m_addedFrom;
    QString m_prefix;
    QList<QTreeWidgetItem*> m_items;
    QElapsedTimer m_sinceInsert;
    int m_added = 0;
    CloseWatch m_windowClose;
};

}  // namespace

int AddFolderTree(ListView* list, const QString& folder, const QString& pattern)
{
    BusyOperation scanning;
    RowSink rows(list, folder, pattern);
    QStringList folders{folder + kSep};
    TreeScan(&rows).run(folders, true);
    return rows.insertPending();
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

QString& LastFolder() { return g_lastFolder; }

DIR* OpenFolderEntries(const QString& folder, int& err)
{
    DIR* d = opendir(QFile::encodeName(folder).constData());
    err = d ? 0 : errno;
    return d;
}
