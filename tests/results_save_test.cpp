// The saving rules and the copy beneath "Save Results", without a window.
#include "core/errorreport.h"
#include "core/fileops.h"
#include "support/files.h"
#include "filelist/addfolder.h"
#include "results/save.h"
#include "widgets/controls.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <cstring>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using Results::KeptSubfolder;
using Results::NamingRule;

namespace {

// Lowers this process's file size limit for a scope, so a write past it fails with EFBIG (the
// signal that would otherwise end the process is ignored meanwhile). Nothing but the code under
// test may write a file while it stands.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_saved = ::getrlimit(RLIMIT_FSIZE, &m_old) == 0;
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = m_old;
        lower.rlim_cur = bytes;
        m_set = m_saved && ::setrlimit(RLIMIT_FSIZE, &lower) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_saved)
            ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool isSet() const { return m_set; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = SIG_DFL;
    bool m_saved = false;
    bool m_set = false;
};

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

// What a step threw, or "done".
template <class F>
std::string outcome(F&& step)
{
    try {
        step();
    } catch (const AppError& e) {
        return e.description().toStdString();
    }
    return "done";
}

std::string copyOutcome(const QString& source, const QString& target)
{
    return outcome([&] { Results::CopyReplacing(source, target); });
}

std::string systemReason(int error)
{
    return std::strerror(error);
}

}  // namespace

TEST(ResultsSave, NamingRulesSplitAtTheLastDotAndKeepCase)
{
    EXPECT_EQ(Results::SavedName("photo.pcx", NamingRule::Reduced), "photo-reduced.pcx");
    EXPECT_EQ(Results::SavedName("PIC.PCX", NamingRule::Reduced), "PIC-reduced.PCX");
    EXPECT_EQ(Results::SavedName("scan.01.pcx", NamingRule::Reduced), "scan.01-reduced.pcx");
    EXPECT_EQ(Results::SavedName("README", NamingRule::Reduced), "README-reduced");
    EXPECT_EQ(Results::SavedName(".pcx", NamingRule::Reduced), "-reduced.pcx");

    for (const char* name : {"photo.pcx", "PIC.PCX", "scan.01.pcx", "README"})
        EXPECT_EQ(Results::SavedName(name, NamingRule::Own), name);
}

TEST(ResultsSave, CopyReplacesAnExistingTargetAsAWhole)
{
    QTemporaryDir dir;
    const QString source = dir.filePath("work.pcx");
    const QString target = dir.filePath("photo.pcx");
    QByteArray big(300 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    writeFile(source, big);
    writeFile(target, "the user's original");
    ASSERT_TRUE(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                  | QFileDevice::ReadGroup));

    // A reader of the original keeps seeing it whole: the new file takes its place by rename
    // instead of being written into it.
    QFile earlier(target);
    ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));

    Results::CopyReplacing(source, target);

    EXPECT_EQ(readFile(target), big);
    EXPECT_EQ(earlier.readAll(), QByteArray("the user's original"));
    const auto modeBits = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
        | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    EXPECT_EQ(QFile::permissions(target) & modeBits,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

TEST(ResultsSave, FailedCopyLeavesTheTargetFolderAsItWas)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("photo.pcx");
    writeFile(target, "original");

    // Missing source: the existing target is not touched.
    EXPECT_THROW(Results::CopyReplacing(dir.filePath("gone.pcx"), target), AppError);
    EXPECT_EQ(readFile(target), QByteArray("original"));

    // A folder where the file should go cannot be replaced.
    const QString source = dir.filePath("work.pcx");
    writeFile(source, "reduced");
    ASSERT_TRUE(QDir(dir.path()).mkdir("taken.pcx"));
    try {
        Results::CopyReplacing(source, dir.filePath("taken.pcx"));
        FAIL() << "copy onto a folder succeeded";
    } catch (const AppError& e) {
        EXPECT_TRUE(e.description().contains("taken.pcx")) << e.what();
    }
    EXPECT_TRUE(QFileInfo(dir.filePath("taken.pcx")).isDir());

    // No temporary file is left behind by either failure.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList({"photo.pcx", "work.pcx"}));
}

TEST(ResultsSave, AWriteCutShortLeavesTheTargetAsItWasAndSaysWhy)
{
    // The copy is larger than the limit allows, so its write comes back short after 16 KiB; a
    // second source crosses the limit in its second block.
    QTemporaryDir dir;
    const QString target = dir.filePath("photo.pcx");
    const QByteArray original = pattern(30000);
    writeFile(target, original);
    writeFile(dir.filePath("work.pcx"), pattern(40000));
    writeFile(dir.filePath("big.pcx"), pattern(200000));

    std::string firstWhy, secondWhy, converterWhy;
    {
        FileSizeLimit limit(16384);
        ASSERT_TRUE(limit.isSet());
        firstWhy = copyOutcome(dir.filePath("work.pcx"), target);
        secondWhy = copyOutcome(dir.filePath("big.pcx"), target);
        // The converter written into the work folder takes the same care.
        converterWhy = outcome([&] {
            WriteBytesReplacing(pattern(40000), dir.filePath("nconvert"), QFileDevice::ReadOwner);
        });
    }
    const std::string expected = "cannot write " + target.toStdString() + ": " + systemReason(EFBIG);
    EXPECT_EQ(firstWhy, expected);
    EXPECT_EQ(secondWhy, expected);
    EXPECT_EQ(converterWhy,
              "Cannot write " + dir.filePath("nconvert").toStdString() + ": " + systemReason(EFBIG));
    EXPECT_EQ(readFile(target), original);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList({"big.pcx", "photo.pcx", "work.pcx"}));
}

TEST(ResultsSave, AFullDiskLeavesTheTargetAsItWasAndSaysWhy)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    QTemporaryDir dir;
    const QByteArray disk = QFile::encodeName(dir.filePath("disk"));
    ASSERT_TRUE(QDir(dir.path()).mkdir("disk"));
    if (::mount("tmpfs", disk.constData(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    const auto unmount = qScopeGuard([&] { ::umount2(disk.constData(), MNT_DETACH); });

    const QString target = dir.filePath("disk/photo.pcx");
    const QByteArray original = pattern(30000);
    writeFile(target, original);
    // Leave 16 KiB free.
    struct statvfs fs;
    ASSERT_EQ(::statvfs(disk.constData(), &fs), 0);
    const qint64 free = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    ASSERT_GT(free, 16384);
    writeFile(dir.filePath("disk/filler"), QByteArray(int(free - 16384), 'f'));
    writeFile(dir.filePath("work.pcx"), pattern(40000));

    EXPECT_EQ(copyOutcome(dir.filePath("work.pcx"), target),
              "cannot write " + target.toStdString() + ": " + systemReason(ENOSPC));
    EXPECT_EQ(readFile(target), original);
    EXPECT_EQ(QDir(dir.filePath("disk")).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList({"filler", "photo.pcx"}));
}

static ReductionRecord row(const QString& input, const QString& copy, const QString& failure = {})
{
    return ReductionRecord{input, copy, "1 KB", failure.isEmpty() ? "1 KB" : "Fail to reduce",
                           failure};
}

// One save of rows, as "Save Results" makes it: each row's outcome, "saved" or its refusal.
static std::vector<std::string> saveAll(const ReductionRecords& rows, const QString& folder,
                                 NamingRule rule)
{
    Results::Saving save(rows, folder, rule);
    std::vector<std::string> outcomes;
    for (qsizetype i = 0; i < save.rowCount(); ++i) {
        const std::string o = outcome([&] { save.saveRow(i); });
        outcomes.push_back(o == "done" ? "saved" : o);
    }
    return outcomes;
}

using Outcomes = std::vector<std::string>;

// The exit code of a program run to its end, its output dropped.
static int runQuietly(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return p.exitCode();
}

TEST(ResultsSave, RowsThatCannotBeSavedAreRefusedNamingTheInputAndWhy)
{
    QTemporaryDir dir;
    const QString first = dir.filePath("work1.pcx");
    const QString second = dir.filePath("work2.pcx");
    writeFile(first, "from /a");
    writeFile(second, "from /b");
    const std::string path = dir.path().toStdString();

    // Two inputs of one name: the second is refused rather than written over the first's copy.
    EXPECT_EQ(saveAll({row("/a/x.pcx", first), row("/b/x.pcx", second)}, dir.path() + "/",
                      NamingRule::Reduced),
              Outcomes({"saved", "/b/x.pcx was not saved: another file of the same name was saved as "
                                     + path + "/x-reduced.pcx a moment ago"}));
    EXPECT_EQ(readFile(dir.filePath("x-reduced.pcx")), QByteArray("from /a"));

    // Another save may replace it, as saving twice does.
    EXPECT_EQ(saveAll({row("/b/x.pcx", second)}, dir.path(), NamingRule::Reduced), Outcomes({"saved"}));
    EXPECT_EQ(readFile(dir.filePath("x-reduced.pcx")), QByteArray("from /b"));

    // A failed reduction says why, even where a file of the copy's name has turned up since. A
    // copy that cannot be written or read names the input first, then the file at fault. A row
    // without a file name has nothing to be saved as.
    ASSERT_TRUE(QDir(dir.path()).mkdir("taken.pcx"));
    const Outcomes refused = saveAll({row("/p/photo.pcx", first, "The converter wrote no file (exit code 2)."),
                                      row("/p/taken.pcx", first), row("/p/gone.pcx", dir.filePath("gone")),
                                      row("/some/folder/", first)},
                                     dir.path(), NamingRule::Own);
    ASSERT_EQ(refused.size(), 4u);
    EXPECT_EQ(refused[0], "/p/photo.pcx was not saved: its reduction failed (The converter wrote no "
                          "file (exit code 2))");
    EXPECT_EQ(refused[1], "/p/taken.pcx was not saved: " + path + "/taken.pcx is a folder, not a file, "
                          "and is left as it is");
    EXPECT_EQ(refused[2].rfind("/p/gone.pcx was not saved: cannot read " + path + "/gone", 0), 0u)
        << refused[2];
    EXPECT_EQ(refused[3], "/some/folder/ was not saved: its path names no file");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList({"work1.pcx", "work2.pcx", "x-reduced.pcx"}));
}

TEST(ResultsSave, NoRowReplacesTheInputOfAnotherRow)
{
    // The inputs are listed through a link to their folder and saved into the folder itself:
    // the texts of the paths differ, the files are the same.
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("in"));
    ASSERT_TRUE(QFile::link(dir.filePath("in"), dir.filePath("link")));
    const QString in = dir.filePath("in/"), link = dir.filePath("link/");
    writeFile(in + "a.pcx", "input a");
    writeFile(in + "a-reduced.pcx", "input a-reduced");
    // A name in the folder that leads elsewhere, to the input of a row.
    writeFile(dir.filePath("c.pcx"), "input c");
    ASSERT_TRUE(QFile::link(dir.filePath("c.pcx"), in + "b-reduced.pcx"));
    QStringList work;
    for (const char* name : {"a", "a-reduced", "b", "c"}) {
        work << dir.filePath(QStringLiteral("tavrik-%1.pcx").arg(name));
        writeFile(work.last(), QByteArray("reduced ") + name);
    }
    const ReductionRecords rows = {row(link + "a.pcx", work[0]), row(link + "a-reduced.pcx", work[1]),
                                   row("/elsewhere/b.pcx", work[2]), row(dir.filePath("c.pcx"), work[3])};

    const std::string folder = in.toStdString();
    EXPECT_EQ(saveAll(rows, in, NamingRule::Reduced),
              Outcomes({link.toStdString() + "a.pcx was not saved: " + folder
                            + "a-reduced.pcx is the input file of another row of this run",
                        "saved",
                        "/elsewhere/b.pcx was not saved: " + folder
                            + "b-reduced.pcx is the input file of another row of this run",
                        "saved"}));
    EXPECT_EQ(readFile(in + "a-reduced.pcx"), "input a-reduced");
    EXPECT_EQ(readFile(dir.filePath("c.pcx")), "input c");
    EXPECT_EQ(readFile(in + "a-reduced-reduced.pcx"), "reduced a-reduced");
    EXPECT_EQ(readFile(in + "c-reduced.pcx"), "reduced c");

    // Under its own name a row replaces its own input, whatever path it was listed by.
    EXPECT_EQ(saveAll(rows.mid(0, 2), in, NamingRule::Own), Outcomes({"saved", "saved"}));
    EXPECT_EQ(readFile(in + "a.pcx"), "reduced a");
    EXPECT_EQ(readFile(in + "a-reduced.pcx"), "reduced a-reduced");
}

TEST(ResultsSave, TwoNamesOfOneFileAreNotBothSaved)
{
    // b-reduced.pcx is a link to a-reduced.pcx, which the save writes first.
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::link("a-reduced.pcx", dir.filePath("b-reduced.pcx")));
    writeFile(dir.filePath("wa"), "reduced a");
    writeFile(dir.filePath("wb"), "reduced b");
    const std::string path = dir.path().toStdString();
    EXPECT_EQ(saveAll({row("/p/a.pcx", dir.filePath("wa")), row("/q/b.pcx", dir.filePath("wb"))},
                      dir.path(), NamingRule::Reduced),
              Outcomes({"saved", "/q/b.pcx was not saved: " + path + "/b-reduced.pcx is the same file as "
                                     + path + "/a-reduced.pcx, saved for another row a moment ago"}));
    EXPECT_EQ(readFile(dir.filePath("a-reduced.pcx")), "reduced a");
    EXPECT_TRUE(QFileInfo(dir.filePath("b-reduced.pcx")).isSymLink());
}

TEST(ResultsSave, NamesDifferingInCaseAreOneFileOnAFolderThatIgnoresCase)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a FAT file system needs root";
    const QString mkfs = QStandardPaths::findExecutable("mkfs.vfat", {"/usr/sbin", "/sbin"});
    if (mkfs.isEmpty())
        GTEST_SKIP() << "mkfs.vfat (dosfstools) is not installed";
    QTemporaryDir dir;
    const QString image = dir.filePath("usb.img"), usb = dir.filePath("usb");
    ASSERT_TRUE(QDir(dir.path()).mkdir("usb"));
    ASSERT_EQ(runQuietly(mkfs, {"-C", image, "1024"}), 0);
    // The kernel's own FAT gives one inode to both spellings; a FUSE mount gives each its own.
    const QString fusefat = QStandardPaths::findExecutable("fusefat");
    if (runQuietly("mount", {"-o", "loop", image, usb}) != 0
        && (fusefat.isEmpty() || runQuietly(fusefat, {"-o", "rw+", image, usb}) != 0))
        GTEST_SKIP() << "neither the kernel nor fusefat can mount a FAT image here";
    const auto unmount = qScopeGuard([&] { runQuietly("umount", {usb}); });

    writeFile(dir.filePath("wA"), "reduced A");
    writeFile(dir.filePath("wa"), "reduced a");
    const std::string path = usb.toStdString();
    EXPECT_EQ(saveAll({row("/p/A.pcx", dir.filePath("wA")), row("/q/a.pcx", dir.filePath("wa"))}, usb,
                      NamingRule::Own),
              Outcomes({"saved", "/q/a.pcx was not saved: " + path + "/a.pcx is the same file as " + path
                                     + "/A.pcx, saved for another row a moment ago"}));
    EXPECT_FALSE(QDir(usb).entryList(QDir::Files | QDir::Hidden).contains("a.pcx"));
    EXPECT_EQ(readFile(usb + "/A.pcx"), "reduced A");
}

TEST(ResultsSave, ATargetThatIsNoFileIsLeftAloneAndALinkToAFileIsFollowedAsCpDoes)
{
    QTemporaryDir dir;
    const QString out = dir.filePath("out"), elsewhere = dir.filePath("elsewhere");
    const QString locked = dir.filePath("locked");
    for (const QString& f : {out, elsewhere, locked})
        ASSERT_TRUE(QDir().mkdir(f));
    const auto linked = [&](const char* name, const QString& to) {
        EXPECT_TRUE(QFile::link(to, out + "/" + name)) << name;
    };
    const auto fifo = [](const QString& path) {
        EXPECT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0) << path.toStdString();
    };
    fifo(out + "/pipe-reduced.pcx");
    fifo(elsewhere + "/pipe");
    ASSERT_TRUE(QDir(out).mkdir("folder-reduced.pcx"));
    writeFile(elsewhere + "/notes.txt", "the user's notes");
    writeFile(locked + "/kept.pcx", "kept");
    writeFile(out + "/later-reduced.pcx", "written later");
    linked("notes-reduced.pcx", elsewhere + "/notes.txt");
    linked("topipe-reduced.pcx", elsewhere + "/pipe");
    // Root could replace /dev/null itself if this went wrong: it gets a device of its own.
    QString device = QStringLiteral("/dev/null");
    if (::geteuid() == 0) {
        device = elsewhere + "/null";
        ASSERT_EQ(::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0600, makedev(1, 3)), 0);
    }
    linked("todevice-reduced.pcx", device);
    linked("nowhere-reduced.pcx", elsewhere + "/gone");
    linked("locked-reduced.pcx", locked + "/kept.pcx");
    // Written through its link first, the file of the later row is this save's.
    linked("first-reduced.pcx", out + "/later-reduced.pcx");
    const bool lockable = ::geteuid() != 0;
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0500), 0);
    const auto unlock = qScopeGuard([&] { ::chmod(QFile::encodeName(locked).constData(), 0700); });

    ReductionRecords rows;
    const char* names[] = {"pipe", "folder", "notes", "topipe", "todevice", "nowhere", "locked", "first", "later"};
    for (const char* name : names) {
        const QString copy = dir.filePath(QStringLiteral("tavrik-%1").arg(name));
        writeFile(copy, QByteArray("reduced ") + name);
        rows << row(QStringLiteral("/in/%1.pcx").arg(name), copy);
    }
    const Outcomes outcomes = saveAll(rows, out, NamingRule::Reduced);
    ASSERT_EQ(outcomes.size(), std::size(names));
    const std::string o = out.toStdString() + "/", e = elsewhere.toStdString() + "/";
    const auto refused = [](const char* name, const std::string& why) {
        return "/in/" + std::string(name) + ".pcx was not saved: " + why;
    };
    EXPECT_EQ(outcomes[0], refused("pipe", o + "pipe-reduced.pcx is a named pipe, not a file, and is left as it is"));
    EXPECT_EQ(outcomes[1], refused("folder", o + "folder-reduced.pcx is a folder, not a file, and is left as it is"));
    EXPECT_EQ(outcomes[2], "saved");
    EXPECT_EQ(outcomes[3], refused("topipe", o + "topipe-reduced.pcx is a link to a named pipe, not to a file, "
                                             "and is left as it is"));
    EXPECT_EQ(outcomes[4], refused("todevice", o + "todevice-reduced.pcx is a link to a device, not to a file, "
                                                  "and is left as it is"));
    EXPECT_EQ(outcomes[5], refused("nowhere", o + "nowhere-reduced.pcx is a link that leads to no file ("
                                                 + systemReason(ENOENT) + "), and is left as it is"));
    // Root may write any folder.
    if (lockable) {
        EXPECT_EQ(outcomes[6].rfind(refused("locked", "cannot write " + dir.filePath("locked/kept.pcx").toStdString()
                                                          + ", where the link " + o + "locked-reduced.pcx leads: "),
                                    0),
                  0u)
            << outcomes[6];
    }
    EXPECT_EQ(outcomes[7], "saved");
    EXPECT_EQ(outcomes[8], refused("later", o + "later-reduced.pcx is the same file as " + o
                                                + "first-reduced.pcx, saved for another row a moment ago"));

    // The link stays a link; the file it leads to has the copy, and nothing else changed.
    EXPECT_TRUE(QFileInfo(out + "/notes-reduced.pcx").isSymLink());
    EXPECT_EQ(readFile(elsewhere + "/notes.txt"), "reduced notes");
    EXPECT_EQ(readFile(out + "/later-reduced.pcx"), "reduced first");
    EXPECT_EQ(readFile(locked + "/kept.pcx"), lockable ? "kept" : "reduced locked");
    EXPECT_TRUE(QFileInfo(out + "/folder-reduced.pcx").isDir());
    for (const QString& pipe : {out + "/pipe-reduced.pcx", elsewhere + "/pipe"}) {
        struct stat st = {};
        ASSERT_EQ(::lstat(QFile::encodeName(pipe).constData(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << pipe.toStdString();
    }
    const QStringList everything = QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                       | QDir::NoDotAndDotDot)
        + QDir(elsewhere).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
        + QDir(locked).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    EXPECT_EQ(everything.size(), ::geteuid() == 0 ? 13 : 12) << everything.join(' ').toStdString();
}

// A game's data folder added with its subfolders and saved back as a tree: the rows as the
// scan makes them, each with a work copy of its own.
class TreeSaveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        in = m_dir.filePath("data/");
        out = m_dir.filePath("out/");
        for (const char* f : {"data/hero/walk", "data/villain/walk", "data/zz", "out", "outside", "work"})
            ASSERT_TRUE(QDir(m_dir.path()).mkpath(QString::fromLatin1(f)));
        for (const char* f : {"data/title.pcx", "data/hero/walk/1.pcx", "data/villain/walk/1.pcx",
                              "data/hero/line\nend.pcx", "data/zz/z.pcx", "outside/far.pcx"})
            writeFile(m_dir.filePath(QString::fromUtf8(f)), QByteArray("input ") + f);
        // A link to a folder inside the tree, met before the folder itself, and one out of it.
        ASSERT_TRUE(QFile::link(in + "zz", in + "alias"));
        ASSERT_TRUE(QFile::link(m_dir.filePath("outside"), in + "zout"));
    }
    // The rows of the tree as "Add All" lists them, each with its reduced copy.
    ReductionRecords added()
    {
        ListView list(nullptr);
        AddFolderTree(&list, m_dir.filePath("data"), QStringLiteral("*.pcx"));
        ReductionRecords rows;
        for (int i = 0; i < list.rowCount(); ++i) {
            const QString copy = m_dir.filePath(QStringLiteral("work/tavrik%1.pcx").arg(i));
            writeFile(copy, "reduced " + list.rowText(i).mid(in.size()).toUtf8());
            rows << row(list.rowText(i), copy);
            rows.last().addedFrom = list.rowTag(i);
        }
        return rows;
    }
    std::vector<std::string> saveTree(const ReductionRecords& rows, const QString& folder, NamingRule rule)
    {
        Results::Saving save(rows, folder, rule, Results::Layout::KeepSubfolders);
        std::vector<std::string> outcomes;
        for (qsizetype i = 0; i < save.rowCount(); ++i) {
            const std::string o = outcome([&] { save.saveRow(i); });
            outcomes.push_back(o == "done" ? "saved" : o);
        }
        return outcomes;
    }
    // Every file below folder, by its path there, with its bytes.
    static std::map<QString, QByteArray> tree(const QString& folder)
    {
        std::map<QString, QByteArray> files;
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            files[path.mid(folder.size())] = readFile(path);
        }
        return files;
    }

    QTemporaryDir m_dir;
    QString in, out;
};

TEST_F(TreeSaveTest, EverySubfolderAndNameComesBackUnderTheFolderAndNothingOutsideIt)
{
    const ReductionRecords rows = added();
    ASSERT_EQ(rows.size(), 6);
    EXPECT_EQ(KeptSubfolder(rows[0]), QString());  // title.pcx, in the folder itself
    EXPECT_EQ(saveTree(rows, out, NamingRule::Reduced), Outcomes(6, "saved"));
    // The link's folder comes back as a folder of that name, the link left out found nothing
    // new; the folder the other link leads to is written nowhere.
    const std::map<QString, QByteArray> expected = {
        {"title-reduced.pcx", "reduced title.pcx"},
        {"alias/z-reduced.pcx", "reduced alias/z.pcx"},
        {"hero/line\nend-reduced.pcx", "reduced hero/line\nend.pcx"},
        {"zout/far-reduced.pcx", "reduced zout/far.pcx"},
        {"hero/walk/1-reduced.pcx", "reduced hero/walk/1.pcx"},
        {"villain/walk/1-reduced.pcx", "reduced villain/walk/1.pcx"}};
    EXPECT_EQ(tree(out), expected);
    EXPECT_FALSE(QFileInfo(out + "zout").isSymLink());
    EXPECT_EQ(tree(m_dir.filePath("outside/")).size(), 1u);

    // Saved again the same way, each copy replaces its own of the first time.
    EXPECT_EQ(saveTree(rows, out, NamingRule::Reduced), Outcomes(6, "saved"));
    EXPECT_EQ(tree(out), expected);
}

TEST_F(TreeSaveTest, AFileInTheWayOrTwoRowsMeetingAtOneFileRefuseTheirRowOnly)
{
    ReductionRecords rows = added();
    writeFile(out + "villain", "a file where a folder should be");
    // A second folder's hero/walk/1.pcx meets the first one's.
    ReductionRecord other = row("/elsewhere/game/hero/walk/1.pcx", rows[4].workCopy);
    other.addedFrom = "/elsewhere/game/";
    rows << other;
    // The same file added again from its own folder, next to the first: it goes below that one.
    ReductionRecord again = rows[4];
    again.addedFrom = in + "hero/";
    rows.insert(5, again);
    const Outcomes outcomes = saveTree(rows, out, NamingRule::Own);
    const std::string o = out.toStdString();
    EXPECT_EQ(readFile(out + "walk/1.pcx"), "reduced hero/walk/1.pcx");
    EXPECT_EQ(outcomes, Outcomes({"saved", "saved", "saved", "saved", "saved", "saved",
                                  rows[6].inputPath.toStdString() + " was not saved: " + o
                                      + "villain is in the way: it is not a folder, and is left as it is",
                                  "/elsewhere/game/hero/walk/1.pcx was not saved: another file of the same "
                                  "name was saved as " + o + "hero/walk/1.pcx a moment ago"}));
    EXPECT_EQ(readFile(out + "villain"), "a file where a folder should be");
    EXPECT_EQ(readFile(out + "hero/walk/1.pcx"), "reduced hero/walk/1.pcx");

    // A path that would climb out of the folder, or that does not lie where it was added
    // from, is refused; nothing is written for it anywhere.
    ReductionRecord up = row(in + "../outside/far.pcx", rows[0].workCopy);
    up.addedFrom = in;
    ReductionRecord apart = row(m_dir.filePath("outside/far.pcx"), rows[0].workCopy);
    apart.addedFrom = in;
    EXPECT_EQ(saveTree({up, apart}, out + "hero/", NamingRule::Own),
              Outcomes({up.inputPath.toStdString() + " was not saved: its path below the folder it was "
                                                     "added from is unusable",
                        apart.inputPath.toStdString() + " was not saved: its path below the folder it "
                                                        "was added from is unusable"}));
    EXPECT_EQ(readFile(m_dir.filePath("outside/far.pcx")), "input outside/far.pcx");
    EXPECT_EQ(tree(out + "hero/").size(), 2u);
}

TEST_F(TreeSaveTest, SavedIntoTheFolderItWasAddedFromEachOriginalIsReplacedInPlace)
{
    const ReductionRecords rows = added();
    const Outcomes outcomes = saveTree(rows, in, NamingRule::Own);
    // Through the link out of the tree nothing is written; through the one inside, its file.
    ASSERT_EQ(outcomes.size(), 6u);
    EXPECT_EQ(outcomes[3], rows[3].inputPath.toStdString() + " was not saved: the folder "
                               + in.toStdString() + "zout leads out of the folder saved into, through a link");
    EXPECT_EQ(readFile(m_dir.filePath("outside/far.pcx")), "input outside/far.pcx");
    for (int i : {0, 1, 2, 4, 5}) {
        EXPECT_EQ(outcomes[i], "saved") << i;
        EXPECT_EQ(readFile(rows[i].inputPath), "reduced " + rows[i].inputPath.mid(in.size()).toUtf8()) << i;
    }
    EXPECT_EQ(readFile(in + "zz/z.pcx"), "reduced alias/z.pcx");
    EXPECT_EQ(tree(in).size(), 5u);  // the originals' names and no other (links not followed)
}
