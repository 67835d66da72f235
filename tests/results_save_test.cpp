// The saving rules and the copy beneath "Save Results", without a window.
#include "core/errorreport.h"
#include "support/files.h"
#include "results/save.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using Results::NamingRule;

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
