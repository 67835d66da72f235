#include "app/errorreport.h"
#include "engine/fileops.h"
#include "engine/reduction.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(ColourCount, LeadingNumberOfTheComboText)
{
    EXPECT_EQ(ColourCountFromText(QStringLiteral("256 colors")), 256);
    EXPECT_EQ(ColourCountFromText(QStringLiteral("4 colors")), 4);
    EXPECT_EQ(ColourCountFromText(QStringLiteral("  16colors")), 16);
    EXPECT_EQ(ColourCountFromText(QStringLiteral("12.5 colors")), 12.5);
    EXPECT_EQ(ColourCountFromText(QStringLiteral("colors 256")), 0);
    EXPECT_EQ(ColourCountFromText(QString()), 0);
    EXPECT_EQ(FormatColourCount(256), QStringLiteral("256"));
    EXPECT_EQ(FormatColourCount(12.5), QStringLiteral("12.5"));
    EXPECT_EQ(FormatColourCount(0), QStringLiteral("0"));
}

TEST(InputExtension, TextAfterTheLastDotOfTheWholePath)
{
    EXPECT_EQ(InputExtension(QStringLiteral("/a/a.b.pcx")), QStringLiteral("pcx"));
    EXPECT_EQ(InputExtension(QStringLiteral("/d/my.photos/scan")), QStringLiteral("photos/scan"));
    EXPECT_EQ(InputExtension(QStringLiteral("/d/scan")), QStringLiteral("/d/scan"));
}

TEST(OutputName, RedrawsUntilFreeAndNeverRepeats)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile existing(dir.filePath(QStringLiteral("tavrik11111111.pcx")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();

    // Scripted digits: 1s twice (taken on disk), then 2s twice (taken in this run), then 3s.
    std::vector<int> script;
    for (int d : {1, 1, 2, 2, 3})
        script.insert(script.end(), 8, d);
    size_t next = 0;
    const DigitSource digits = [&] { return script.at(next++); };
    QSet<QString> taken;
    EXPECT_EQ(DrawOutputPath(dir.path(), QStringLiteral("pcx"), taken, digits),
              dir.filePath(QStringLiteral("tavrik22222222.pcx")));
    EXPECT_EQ(DrawOutputPath(dir.path(), QStringLiteral("pcx"), taken, digits),
              dir.filePath(QStringLiteral("tavrik33333333.pcx")));
    EXPECT_EQ(next, script.size());

    // A broken source that only ever repeats a taken name ends with an error, not a hang.
    EXPECT_THROW(DrawOutputPath(dir.path(), QStringLiteral("pcx"), taken, [] { return 1; }),
                 AppError);

    // The real generator: digits 1 to 9, and names drawn back to back do not repeat digits
    // just because the clock has not moved.
    QSet<QChar> seen;
    for (int i = 0; i < 50; ++i) {
        QSet<QString> fresh;
        const QString name = FileNamePart(DrawOutputPath(dir.path(), QStringLiteral("pcx"), fresh));
        ASSERT_TRUE(QRegularExpression(QStringLiteral("^tavrik[1-9]{8}\\.pcx$")).match(name).hasMatch())
            << name.toStdString();
        const QString d = name.mid(6, 8);
        EXPECT_NE(d, QString(8, d[0]));
        for (QChar c : d)
            seen.insert(c);
    }
    EXPECT_EQ(seen.size(), 9);
}

TEST(FileOps, WriteBytesIfAbsentWritesWholeOrNotAtAll)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("nconvert"));
    WriteBytesIfAbsent("first", path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    WriteBytesIfAbsent("second", path);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("first"));

    const QString nowhere = dir.filePath(QStringLiteral("missing/nconvert"));
    EXPECT_THROW(WriteBytesIfAbsent("x", nowhere), AppError);
    EXPECT_FALSE(PathExists(nowhere));

    EXPECT_NO_THROW(DeleteFileForced(dir.filePath(QStringLiteral("absent"))));
    EXPECT_NO_THROW(DeleteFileForced(path));
    EXPECT_FALSE(PathExists(path));
}
