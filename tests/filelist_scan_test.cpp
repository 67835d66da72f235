// The folder scan, the file tests and the path rules behind every way of adding a folder.
#include "core/fileops.h"
#include "filelist/addfolder.h"
#include "filelist/paths.h"
#include "support/test_env.h"
#include "widgets/controls.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Tree {
public:
    Tree() { EXPECT_TRUE(m_dir.isValid()); }
    QString root() const { return m_dir.path(); }
    QString path(const QString& rel) const { return m_dir.path() + QLatin1Char('/') + rel; }
    void dir(const QString& rel) const { ASSERT_TRUE(QDir().mkpath(path(rel))); }
    void file(const QString& rel, const QByteArray& body = "x") const
    {
        QFile f(path(rel));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << rel.toStdString();
        f.write(body);
    }
    void link(const QString& target, const QString& rel) const
    {
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(),
                            QFile::encodeName(path(rel)).constData()),
                  0);
    }

private:
    QTemporaryDir m_dir;
};

// Opening a folder whose path ends with suffix fails with the error number err.
void failOpenDir(const QString& suffix, int err)
{
    SetService(&Services::openFolder, [suffix, err](const QString& folder, int& e) -> DIR* {
        if (!folder.endsWith(suffix))
            return OpenFolderEntries(folder, e);
        e = err;
        return nullptr;
    });
}

struct FaultGuard {
    ~FaultGuard() { ResetService(&Services::openFolder); }
};

}  // namespace

class ScanTest : public AppTest {
protected:
    ListView& list() { return *m_list; }
    void SetUp() override
    {
        AppTest::SetUp();
        m_list = std::make_unique<ListView>(nullptr);
    }
    std::unique_ptr<ListView> m_list;
};

TEST_F(ScanTest, FoldersComeLevelByLevelAndEachFoldersEntriesInNameOrder)
{
    Tree t;
    // Made out of name order, so the file system's own order cannot pass for it.
    t.dir("b/z");
    t.dir("b/B1");
    t.dir("a");
    t.dir("A/A1");
    for (const char* name : {"frame10.pcx", "frame02.pcx", "Frame03.PCX", "frame01.pcx"})
        t.file(name);
    t.file("b/b.PCX");
    t.file("b/z/z.pcx");
    t.file("b/B1/b1.pcx");
    t.file("A/A1/deep.pcx");
    t.file("A/a.pcx");
    t.file("A/notes.txt");

    // Case-insensitive, a tie ("A", "a") in byte order; breadth-first by parent.
    const QString r = t.root() + "/";
    QStringList folders{r};
    GetSubDirectories2016(folders, true);
    EXPECT_EQ(folders, (QStringList{r, r + "A/", r + "a/", r + "b/", r + "A/A1/", r + "b/B1/",
                                    r + "b/z/"}));

    // Without recursion only the direct children are added.
    QStringList shallow{r};
    GetSubDirectories2016(shallow, false);
    EXPECT_EQ(shallow, folders.mid(0, 4));

    EXPECT_EQ(AddFolderTree(&list(), t.root(), PatternForExtension("pcx")), 9);
    EXPECT_EQ(list().rowTexts(),
              (QStringList{t.path("frame01.pcx"), t.path("frame02.pcx"), t.path("Frame03.PCX"),
                           t.path("frame10.pcx"), t.path("A/a.pcx"), t.path("b/b.PCX"),
                           t.path("A/A1/deep.pcx"), t.path("b/B1/b1.pcx"), t.path("b/z/z.pcx")}));
    EXPECT_EQ(ListFiles(t.root(), "*.pcx"),
              (QStringList{"frame01.pcx", "frame02.pcx", "Frame03.PCX", "frame10.pcx"}));
}

TEST_F(ScanTest, ExtensionChoosesFilesAndTildeAndWritableDotFilesAreLeftOut)
{
    Tree t;
    t.file("a.pcx");
    t.file("README");
    t.file("b.txt");
    t.file("~lock.pcx");
    t.file(".hidden.pcx");
    t.file(".readonly.pcx");
    ASSERT_EQ(::chmod(QFile::encodeName(t.path(".readonly.pcx")).constData(), 0444), 0);
    t.dir("sub.pcx");  // a folder is never a file, whatever its name

    AddFolderTree(&list(), t.root(), PatternForExtension("pcx"));
    QStringList rows = list().rowTexts();
    rows.sort();
    // A dot-file the owner may not write has the read-only bit too: its word is 35, not 34.
    EXPECT_EQ(rows, (QStringList{t.path(".readonly.pcx"), t.path("a.pcx")}));

    list().clearRows();
    AddFolderTree(&list(), t.root(), PatternForExtension("*"));
    rows = list().rowTexts();
    rows.sort();
    EXPECT_EQ(rows, (QStringList{t.path(".readonly.pcx"), t.path("README"), t.path("a.pcx"),
                                 t.path("b.txt")}));

    list().clearRows();
    AddFolderTree(&list(), t.root(), PatternForExtension("txt"));
    EXPECT_EQ(list().rowTexts(), QStringList{t.path("b.txt")});

    // The same folder added twice gives every file twice.
    AddFolderTree(&list(), t.root(), PatternForExtension("txt"));
    EXPECT_EQ(list().rowCount(), 2);
}

TEST_F(ScanTest, FoldersWithUnusableNamesAreNotEntered)
{
    Tree t;
    t.dir("good");
    t.file("good/g.pcx");
    t.dir(QString("ctl") + QChar(0x07) + "name");
    t.file(QString("ctl") + QChar(0x07) + "name/c.pcx");
    t.dir("what?");
    t.file("what?/q.pcx");
    t.dir(QString("c1") + QChar(0x85));
    t.file(QString("c1") + QChar(0x85) + "/c1.pcx");
    t.dir(QString::fromUtf8("Résumé"));
    t.file(QString::fromUtf8("Résumé/r.pcx"));
    // The longest name the system allows is usable.
    const QString longest(NAME_MAX, QLatin1Char('n'));
    t.dir(longest);
    t.file(longest + QStringLiteral("/l.pcx"));
    // A name whose bytes are not UTF-8.
    const QByteArray raw = QFile::encodeName(t.root()) + "/bad\xff\xfe";
    ASSERT_EQ(::mkdir(raw.constData(), 0755), 0);
    const int fd = ::open((raw + "/x.pcx").constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);

    AddFolderTree(&list(), t.root(), PatternForExtension("pcx"));
    QStringList rows = list().rowTexts();
    rows.sort();
    EXPECT_EQ(rows, (QStringList{t.path(QString::fromUtf8("Résumé/r.pcx")), t.path("good/g.pcx"),
                                 t.path(longest + QStringLiteral("/l.pcx"))}));
    ::unlink((raw + "/x.pcx").constData());
    ::rmdir(raw.constData());

    EXPECT_TRUE(HasUnusableChars(QStringLiteral("a?b")));
    EXPECT_TRUE(HasUnusableChars(QString("a") + QChar(0x7f)));
    EXPECT_TRUE(HasUnusableChars(QString("a") + QChar(0x9f)));
    EXPECT_FALSE(HasUnusableChars(QString("a") + QChar(0xa0)));
    EXPECT_FALSE(HasUnusableChars(QString::fromUtf8("日本")));
}

TEST_F(ScanTest, UnreadableFoldersAreLeftOutAndTheScanGoesOn)
{
    FaultGuard guard;
    Tree t;
    t.dir("locked/inner");
    t.file("locked/l.pcx");
    t.dir("open");
    t.file("open/o.pcx");
    t.file("t.pcx");

    failOpenDir(QStringLiteral("/locked/"), EACCES);
    QStringList folders{t.root() + "/"};
    GetSubDirectories2016(folders, true);
    EXPECT_FALSE(folders.contains(t.root() + "/locked/"));
    EXPECT_TRUE(folders.contains(t.root() + "/open/"));
    EXPECT_TRUE(prompts.messages.empty());

    // A folder that fails for another reason stays, with what it gave.
    failOpenDir(QStringLiteral("/locked/"), EMFILE);
    folders = QStringList{t.root() + "/"};
    GetSubDirectories2016(folders, true);
    EXPECT_TRUE(folders.contains(t.root() + "/locked/"));
    EXPECT_FALSE(folders.contains(t.root() + "/locked/inner/"));

    // The picked folder itself unreadable: nothing is listed, nothing is reported.
    failOpenDir(t.root() + "/", EACCES);
    folders = QStringList{t.root() + "/"};
    GetSubDirectories2016(folders, true);
    EXPECT_TRUE(folders.isEmpty());

    failOpenDir(QStringLiteral("/locked/"), EACCES);
    AddFolderTree(&list(), t.root(), PatternForExtension("pcx"));
    QStringList rows = list().rowTexts();
    rows.sort();
    EXPECT_EQ(rows, (QStringList{t.path("open/o.pcx"), t.path("t.pcx")}));
}

TEST_F(ScanTest, LinkLoopsEndAndEveryFolderIsEnteredOnce)
{
    Tree t;
    Tree outside;
    t.dir("A/B");
    t.file("A/B/b.pcx");
    t.link(t.root(), "A/B/up");       // back to the top
    t.link("..", "A/B/parent");       // back to A
    outside.file("o.pcx");
    t.link(outside.root(), "out1");   // a folder elsewhere, reached twice
    t.link(outside.root(), "A/out2");

    QStringList folders{t.root() + "/"};
    GetSubDirectories2016(folders, true);
    EXPECT_EQ(folders.size(), 4) << folders.join(' ').toStdString();

    AddFolderTree(&list(), t.root(), PatternForExtension("pcx"));
    QStringList rows = list().rowTexts();
    EXPECT_EQ(rows.size(), 2) << rows.join(' ').toStdString();
    EXPECT_TRUE(rows.contains(t.path("A/B/b.pcx")));
}

TEST_F(ScanTest, TrailingSeparatorsAndRootStyleJoinsGiveSingleSeparators)
{
    Tree t;
    t.dir("sub");
    t.file("sub/s.pcx");
    t.file("r.pcx");
    // A drive root comes back with its separator; the folder list adds one more.
    AddFolderTree(&list(), t.root() + "/", PatternForExtension("pcx"));
    QStringList rows = list().rowTexts();
    rows.sort();
    EXPECT_EQ(rows, (QStringList{t.path("r.pcx"), t.path("sub/s.pcx")}));

    EXPECT_EQ(NormalizePathPosix("//a///b/c.pcx"), "/a/b/c.pcx");
    EXPECT_EQ(NormalizePathPosix("/a/b.pcx"), "/a/b.pcx");
    EXPECT_EQ(NormalizePathWindows("C:\\\\Pics\\\\a.pcx"), "C:\\Pics\\a.pcx");
    EXPECT_EQ(NormalizePathWindows("\\\\\\srv\\\\dir\\a.pcx"), "\\\\srv\\dir\\a.pcx");
    EXPECT_EQ(NormalizePathWindows("C:\\\\a.pcx"), "C:\\a.pcx");
    EXPECT_EQ(NormalizePath("x//y"), "x/y");
}

TEST_F(ScanTest, FileTestsAndAttributeWords)
{
    Tree t;
    t.file("f.pcx");
    t.file(".dot");
    t.file("ro");
    ASSERT_EQ(::chmod(QFile::encodeName(t.path("ro")).constData(), 0444), 0);
    t.dir(".hid");
    t.link(t.path("f.pcx"), "lnk");
    t.link(t.path("missing"), "dangling");

    EXPECT_EQ(FileAttributeWord(t.path("f.pcx")), kAttrArchive);
    EXPECT_EQ(FileAttributeWord(t.path(".dot")), kAttrArchive | kAttrHidden);
    EXPECT_EQ(FileAttributeWord(t.path("ro")), kAttrArchive | kAttrReadOnly);
    EXPECT_EQ(FileAttributeWord(t.path(".hid/")), kAttrDirectory | kAttrHidden);
    EXPECT_EQ(FileAttributeWord(t.path("lnk")), kAttrArchive | kAttrReparsePoint);
    EXPECT_EQ(FileAttributeWord(t.path("nothing")), -1);

    EXPECT_TRUE(IsExistingFile(t.path("lnk")));
    EXPECT_FALSE(IsExistingFile(t.path("dangling")));
    EXPECT_FALSE(IsExistingFile(t.root()));
    EXPECT_FALSE(IsExistingFile(QString()));
    EXPECT_TRUE(FolderExists(t.root() + "/"));
    EXPECT_FALSE(FolderExists(t.path("f.pcx")));
    EXPECT_FALSE(FolderExists(QString()));

    EXPECT_EQ(ListFiles(t.root(), "*.*"), (QStringList{".dot", "f.pcx", "lnk", "ro"}));
    EXPECT_EQ(ListFiles(t.root(), "F.P?X"), QStringList{"f.pcx"});
    EXPECT_EQ(ListFiles(t.root(), "*.PCX"), QStringList{"f.pcx"});
    EXPECT_TRUE(ListFiles(t.path("nothing"), "*.*").isEmpty());
}
