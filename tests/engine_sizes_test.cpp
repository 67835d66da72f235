#include "engine/filesize.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

class SizeTextTest : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
};

constexpr qint64 KB = 1024;
constexpr qint64 MB = KB * KB;
constexpr qint64 GB = MB * KB;

}  // namespace

TEST_F(SizeTextTest, EdgesOfEveryUnit)
{
    EXPECT_EQ(FormatSizeText(0), QString());
    EXPECT_EQ(FormatSizeText(1), QString());
    EXPECT_EQ(FormatSizeText(-5), QString());
    EXPECT_EQ(FormatSizeText(2), QStringLiteral("2 Bytes"));
    EXPECT_EQ(FormatSizeText(999), QStringLiteral("999 Bytes"));
    EXPECT_EQ(FormatSizeText(1023), QStringLiteral("1,023 Bytes"));
    EXPECT_EQ(FormatSizeText(KB), QStringLiteral("1 KB"));
    EXPECT_EQ(FormatSizeText(1535), QStringLiteral("1 KB"));
    EXPECT_EQ(FormatSizeText(1536), QStringLiteral("2 KB"));  // halves go up
    EXPECT_EQ(FormatSizeText(MB - 1), QStringLiteral("1,024 KB"));
    EXPECT_EQ(FormatSizeText(MB), QStringLiteral("1. MB"));
    EXPECT_EQ(FormatSizeText(MB + MB / 2), QStringLiteral("1.5 MB"));
    EXPECT_EQ(FormatSizeText(MB + MB / 8), QStringLiteral("1.13 MB"));  // 1.125, half up
    EXPECT_EQ(FormatSizeText(MB + MB / 20), QStringLiteral("1.05 MB"));
    EXPECT_EQ(FormatSizeText(2 * MB), QStringLiteral("2. MB"));
    EXPECT_EQ(FormatSizeText(2 * MB - 1), QStringLiteral("2. MB"));  // rounding carries
    EXPECT_EQ(FormatSizeText(GB - 1), QStringLiteral("1,024. MB"));
    EXPECT_EQ(FormatSizeText(GB), QStringLiteral("1. GB"));
    EXPECT_EQ(FormatSizeText(2147483647), QStringLiteral("2. GB"));
}

TEST_F(SizeTextTest, SizesBeyondTwoGigabytesKeepTheirValue)
{
    EXPECT_EQ(FormatSizeText(2147483648LL), QStringLiteral("2. GB"));
    EXPECT_EQ(FormatSizeText(3 * GB + GB / 4), QStringLiteral("3.25 GB"));
    EXPECT_EQ(FormatSizeText(5000 * GB), QStringLiteral("5,000. GB"));
}

TEST_F(SizeTextTest, UsesTheLocaleSeparators)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FormatSizeText(1023), QStringLiteral("1.023 Bytes"));
    EXPECT_EQ(FormatSizeText(MB + MB / 2), QStringLiteral("1,5 MB"));
    EXPECT_EQ(FormatSizeText(2 * MB), QStringLiteral("2, MB"));
    // Even a locale that groups otherwise, or not at all by default, groups in threes here.
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(FormatSizeText(1023), QStringLiteral("1,023 Bytes"));
    QLocale::setDefault(QLocale(QLocale::Hindi, QLocale::India));
    const QLocale hi;
    EXPECT_EQ(FormatSizeText(5000 * GB),
              QStringLiteral("5") + hi.groupSeparator() + QStringLiteral("000") + hi.decimalPoint()
                  + QStringLiteral(" GB"));
}

TEST(FileSize2, MeasuresWhatCanBeOpenedAndGivesZeroOtherwise)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString small = dir.filePath(QStringLiteral("small.pcx"));
    QFile f(small);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1500, 'x'));
    f.close();
    EXPECT_EQ(FileSize2(small), 1500);

    EXPECT_EQ(FileSize2(dir.filePath(QStringLiteral("missing.pcx"))), 0);
    EXPECT_EQ(FileSize2(QString()), 0);
    EXPECT_EQ(FileSize2(dir.path()), 0);

    // A sparse file past 4 GiB: no 32-bit wrap.
    const QString big = dir.filePath(QStringLiteral("big.pcx"));
    QFile b(big);
    ASSERT_TRUE(b.open(QIODevice::WriteOnly));
    if (!b.resize(5 * GB))
        GTEST_SKIP() << "no sparse files here";
    b.close();
    EXPECT_EQ(FileSize2(big), 5 * GB);

    if (::geteuid() != 0) {
        QFile::setPermissions(small, QFileDevice::WriteOwner);
        EXPECT_EQ(FileSize2(small), 0);
    }
}
