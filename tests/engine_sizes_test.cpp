#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/filesize.h"
#include "widgets/controls.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

constexpr qint64 KB = 1024, MB = KB * KB, GB = MB * KB;

TEST(SizeText, EdgesOfEveryUnitAndTheLocaleSeparators)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const std::pair<qint64, const char*> cases[] = {
        {-5, ""}, {0, ""}, {1, ""}, {2, "2 Bytes"}, {1023, "1,023 Bytes"}, {KB, "1 KB"},
        {1536, "2 KB"}, {MB - 1, "1,024 KB"}, {MB, "1. MB"}, {MB + MB / 2, "1.5 MB"},
        {MB + MB / 8, "1.13 MB"}, {2 * MB - 1, "2. MB"}, {2147483647, "2. GB"},
        // No 32-bit wrap past 2 GiB.
        {3 * GB + GB / 4, "3.25 GB"}, {5000 * GB, "5,000. GB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(FormatSizeText(bytes).toStdString(), text) << bytes;

    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FormatSizeText(1023), QStringLiteral("1.023 Bytes"));
    EXPECT_EQ(FormatSizeText(MB + MB / 2), QStringLiteral("1,5 MB"));
    // The C locale groups nothing by default; the size text still does.
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(FormatSizeText(1023), QStringLiteral("1,023 Bytes"));
    QLocale::setDefault(QLocale::system());
}

TEST(FileSize2, MeasuresRegularFilesAndGivesZeroForAnythingElse)
{
    QTemporaryDir dir;
    // Skipped where a file of 5 GB cannot be sparse, before anything is checked.
    QFile big(dir.filePath(QStringLiteral("big.pcx")));
    if (!big.open(QIODevice::WriteOnly) || !big.resize(5 * GB))
        GTEST_SKIP() << "no sparse files here";
    big.close();
    EXPECT_EQ(FileSize2(big.fileName()), 5 * GB);
    QFile f(dir.filePath(QStringLiteral("a.pcx")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1500, 'x'));
    f.close();
    EXPECT_EQ(FileSize2(f.fileName()), 1500);
    EXPECT_EQ(FileSize2(dir.filePath(QStringLiteral("missing.pcx"))), 0);
    EXPECT_EQ(FileSize2(dir.path()), 0);
    // A named pipe dropped on the list: opening it would wait for a writer for ever.
    const QString pipe = dir.filePath(QStringLiteral("pipe.pcx"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    EXPECT_EQ(FileSize2(pipe), 0);
    EXPECT_FALSE(IsNormalFile(pipe));
    EXPECT_THROW(FormBase::loadCursorFile(pipe), AppError);
}
