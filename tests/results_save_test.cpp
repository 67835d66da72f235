// The saving rules and the copy beneath "Save Results", without a window.
#include "core/errorreport.h"
#include "core/fileops.h"
#include "support/files.h"
#include "results/save.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

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

TEST(ResultsSave, RowsThatCannotBeSavedAreRefusedNamingTheInputAndWhy)
{
    QTemporaryDir dir;
    const QString first = dir.filePath("work1.pcx");
    const QString second = dir.filePath("work2.pcx");
    writeFile(first, "from /a");
    writeFile(second, "from /b");
    const auto row = [](const QString& input, const QString& copy, const QString& failure = {}) {
        return ReductionRecord{input, copy, "1 KB", failure.isEmpty() ? "1 KB" : "Fail to reduce",
                               failure};
    };
    const auto refusal = [&](const ReductionRecord& r, const QString& folder, NamingRule rule,
                             QSet<QString>& saved) -> QString {
        try {
            Results::SaveRow(r, folder, rule, saved);
        } catch (const AppError& e) {
            return e.description();
        }
        return "saved";
    };

    // Two inputs of one name: the second is refused rather than written over the first's copy.
    QSet<QString> saved;
    Results::SaveRow(row("/a/x.pcx", first), dir.path(), NamingRule::Reduced, saved);
    EXPECT_EQ(refusal(row("/b/x.pcx", second), dir.path() + "/", NamingRule::Reduced, saved),
              "/b/x.pcx was not saved: another file of the same name was saved as "
                  + dir.filePath("x-reduced.pcx") + " a moment ago");
    EXPECT_EQ(readFile(dir.filePath("x-reduced.pcx")), QByteArray("from /a"));

    // Another save may replace it, as saving twice does.
    QSet<QString> again;
    Results::SaveRow(row("/b/x.pcx", second), dir.path(), NamingRule::Reduced, again);
    EXPECT_EQ(readFile(dir.filePath("x-reduced.pcx")), QByteArray("from /b"));

    // A failed reduction says why, even where a file of the copy's name has turned up since.
    EXPECT_EQ(refusal(row("/p/photo.pcx", first, "The converter wrote no file (exit code 2)."),
                      dir.path(), NamingRule::Own, again),
              "/p/photo.pcx was not saved: its reduction failed (The converter wrote no file (exit "
              "code 2))");
    EXPECT_FALSE(QFile::exists(dir.filePath("photo.pcx")));

    // A copy that cannot be written or read names the input first, then the file at fault.
    ASSERT_TRUE(QDir(dir.path()).mkdir("taken.pcx"));
    EXPECT_TRUE(refusal(row("/p/taken.pcx", first), dir.path(), NamingRule::Own, again)
                    .startsWith("/p/taken.pcx was not saved: cannot write " + dir.filePath("taken.pcx")));
    EXPECT_TRUE(refusal(row("/p/gone.pcx", dir.filePath("gone")), dir.path(), NamingRule::Own, again)
                    .startsWith("/p/gone.pcx was not saved: cannot read " + dir.filePath("gone")));

    // A row without a file name has nothing to be saved as.
    EXPECT_EQ(refusal(row("/some/folder/", first), dir.path(), NamingRule::Reduced, again),
              "/some/folder/ was not saved: its path names no file");
    EXPECT_FALSE(QFile::exists(dir.filePath("-reduced")));
}
