#include "app/errorreport.h"
#include "engine/fileops.h"
#include "engine/reduction.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(ColourCount, LeadingNumberOfTheComboText)
{
    EXPECT_EQ(ColourCountFromText(QStringLiteral("256 colors")), 256);
    EXPECT_EQ(ColourCountFromText(QStringLiteral("  16colors")), 16);
    EXPECT_EQ(ColourCountFromText(QStringLiteral("12.5 colors")), 12.5);
    EXPECT_EQ(ColourCountFromText(QStringLiteral("colors 256")), 0);
    EXPECT_EQ(FormatColourCount(256), QStringLiteral("256"));
    EXPECT_EQ(FormatColourCount(12.5), QStringLiteral("12.5"));
}

TEST(OutputName, RedrawsUntilFreeAndNeverRepeats)
{
    QTemporaryDir dir;
    QFile existing(dir.filePath(QStringLiteral("tavrik11111111.pcx")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();
    // 1s twice (on disk), 2s twice (drawn in this run already), then 3s.
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
    // A source that only repeats a taken name ends in an error, not a hang.
    EXPECT_THROW(DrawOutputPath(dir.path(), QStringLiteral("pcx"), taken, [] { return 1; }), AppError);

    // Back-to-back draws of the real generator do not repeat digits for want of a clock tick.
    QSet<QChar> seen;
    for (int i = 0; i < 50; ++i) {
        QSet<QString> fresh;
        const QString name = FileNamePart(DrawOutputPath(dir.path(), QStringLiteral("pcx"), fresh));
        ASSERT_TRUE(QRegularExpression(QStringLiteral("^tavrik[1-9]{8}\\.pcx$")).match(name).hasMatch());
        EXPECT_NE(name.mid(6, 8), QString(8, name[6]));
        for (QChar c : name.mid(6, 8))
            seen.insert(c);
    }
    EXPECT_EQ(seen.size(), 9);
}

TEST(FileOps, WriteBytesIfAbsentKeepsWhatIsThereAndWritesWholeOrNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("nconvert"));
    WriteBytesIfAbsent("first", path);
    WriteBytesIfAbsent("second", path);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("first"));
    const QString nowhere = dir.filePath(QStringLiteral("missing/nconvert"));
    EXPECT_THROW(WriteBytesIfAbsent("x", nowhere), AppError);
    EXPECT_FALSE(PathExists(nowhere));
}
