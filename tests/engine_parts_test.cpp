#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/regularfile.h"
#include "core/session.h"
#include "engine/reduction.h"
#include "engine/run.h"
#include "engine/shellandwait.h"
#include "support/files.h"

#include <QDir>
#include <QFileInfo>

#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(ReductionParts, ExtensionIsAfterTheLastDotOfTheFileNameElsePcx)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/pics/a.b.pcx", "pcx"},   {"/pics/PIC.PCX", "PCX"}, {"/my.photos/scan", "pcx"},
        {"/pics/scan", "pcx"},      {"/pics/scan.", "pcx"},   {"/pics/.pcx", "pcx"},
        {"/my.photos/a.b/c", "pcx"}, {"rel.x", "x"},
    };
    for (const auto& [path, extension] : cases)
        EXPECT_EQ(InputExtension(QString::fromUtf8(path)), QString::fromUtf8(extension)) << path;
}

TEST(ReductionParts, AnActFileCountsAsTheConverterReadsItAndACountNoPaletteHoldsIsNone)
{
    // size, the count stored at byte 768, the count read
    const struct {
        int size, stored, entries;
    } cases[] = {{768, 0, 256}, {772, 1, 1}, {772, 16, 16}, {772, 256, 256},
                 {772, 0, 0},   {772, 257, 0}, {772, 0xFFFF, 0}, {773, 16, 0}, {771, 16, 0}};
    for (const auto& c : cases) {
        QByteArray bytes(c.size, '\0');
        if (c.size > 769) {
            bytes[768] = char(c.stored >> 8);
            bytes[769] = char(c.stored);
        }
        EXPECT_EQ(ActEntryCount(bytes), c.entries) << c.size << " bytes, count " << c.stored;
    }
}

TEST(ReductionParts, FailureReasonsInTheConvertersOwnWords)
{
    const QString in = QStringLiteral("/pics/a.pcx");
    const auto said = [](int exitCode, const char* errorOutput) {
        ProcessReport r;
        r.exitCode = exitCode;
        r.errorOutput = errorOutput;
        return r;
    };
    EXPECT_EQ(FailureReason(said(1, "\npalettrim-convert: /pics/a.pcx: the file is truncated\nmore\n"), in),
              QStringLiteral("the file is truncated"));
    EXPECT_EQ(FailureReason(said(1, "something odd"), in), QStringLiteral("something odd"));
    // A name with a line end in it, as it is and as the converter's progress lines write it.
    const QString odd = QStringLiteral("/pics/a: b\n.pcx");
    EXPECT_EQ(FailureReason(said(1, "palettrim-convert: /pics/a: b\n.pcx: not a PCX file\n"), odd),
              QStringLiteral("not a PCX file"));
    EXPECT_EQ(FailureReason(said(1, "palettrim-convert: /pics/a: b\\n.pcx: not a PCX file\n"), odd),
              QStringLiteral("not a PCX file"));
    EXPECT_EQ(FailureReason(said(1, "warning: /w/x.pcc is written as PCX whatever its name\n"
                                    "palettrim-convert: /pics/a.pcx: the file is truncated\n"), in),
              QStringLiteral("the file is truncated"));
    EXPECT_EQ(FailureReason(said(4, "warning: /w/x.pcc is written as PCX whatever its name\n"), in),
              QStringLiteral("The converter wrote no file (exit code 4)."));
    EXPECT_EQ(FailureReason(said(3, ""), in), QStringLiteral("The converter wrote no file (exit code 3)."));
    // Killed, it never came to say why; what it wrote before is not the reason.
    ProcessReport killed = said(11, "palettrim-convert: /pics/a.pcx: reading\n");
    killed.crashed = true;
    EXPECT_EQ(FailureReason(killed, in), QStringLiteral("stopped by signal 11 (Segmentation fault)"));
    ProcessReport missing;
    missing.startError = ENOENT;
    EXPECT_EQ(FailureReason(missing, in),
              QStringLiteral("The converter could not be started: No such file or directory"));
}

TEST(FileOps, WritingReplacesAWholeFileOrALinkItselfAndNothingOnFailure)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("nconvert"));
    const QString elsewhere = dir.filePath(QStringLiteral("victim"));
    writeFile(elsewhere, "the user's file");
    ASSERT_TRUE(QFile::link(elsewhere, path));
    WriteBytesReplacing("program", path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    // The link is gone, not written through.
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_EQ(readFile(path), QByteArray("program"));
    EXPECT_EQ(readFile(elsewhere), QByteArray("the user's file"));
    struct stat st = {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0500u);

    // A folder of that name cannot be replaced: an error, and no stray file left beside it.
    const QString folder = dir.filePath(QStringLiteral("busy"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/inside")));
    EXPECT_THROW(WriteBytesReplacing("x", folder, QFileDevice::ReadOwner), AppError);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).size(), 2);
    EXPECT_THROW(WriteBytesReplacing("x", dir.filePath(QStringLiteral("missing/nconvert")),
                                     QFileDevice::ReadOwner),
                 AppError);
}

// What the stat before an open cannot see: a pipe or a link put in a file's place in between.
TEST(FileOps, ARegularFileRefusesAPipeAndWhereAskedALink)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("a.pcx"));
    writeFile(file, "abc");
    const QString link = dir.filePath(QStringLiteral("link.pcx"));
    ASSERT_TRUE(QFile::link(file, link));
    EXPECT_TRUE(RegularFile(link).isOpen());
    const RegularFile refused(link, RegularFile::Links::Refuse);
    EXPECT_FALSE(refused.isOpen());
    EXPECT_EQ(refused.openError(), ELOOP);
    const RegularFile opened(file, RegularFile::Links::Refuse);
    ASSERT_TRUE(opened.isOpen());
    EXPECT_EQ(opened.status().st_size, 3);
    EXPECT_EQ(RegularFile(dir.filePath(QStringLiteral("gone"))).openError(), ENOENT);

    const QByteArray pipe = QFile::encodeName(dir.filePath(QStringLiteral("pipe.pcx")));
    ASSERT_EQ(::mkfifo(pipe.constData(), 0600), 0);
    // A writer lets an open that waits for one go on, so a fault fails here rather than hangs.
    std::thread writer([&] { ::close(::open(pipe.constData(), O_WRONLY)); });
    const RegularFile fromPipe(QFile::decodeName(pipe));
    EXPECT_FALSE(fromPipe.isOpen());
    EXPECT_TRUE(fromPipe.notRegular());
    // Held open until the writer is through, whether or not it has reached its open yet.
    const int reader = ::open(pipe.constData(), O_RDONLY | O_NONBLOCK);
    writer.join();
    ::close(reader);
}

TEST(FileOps, AWritePastTheFileSizeLimitFailsWithoutEndingTheProgram)
{
    // As under "ulimit -f 4": the limit would otherwise end the program by SIGXFSZ midway.
    InstallSessionEndHandlers({});
    rlimit saved = {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto restore = qScopeGuard([saved] {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        RemoveSessionEndHandlers();
    });
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    QTemporaryDir dir;
    EXPECT_THROW(WriteBytesReplacing(QByteArray(8192, 'x'), dir.filePath(QStringLiteral("big")),
                                     QFileDevice::ReadOwner | QFileDevice::WriteOwner),
                 AppError);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
}
