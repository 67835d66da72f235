// File helpers the tests share.
#pragma once

#include <QByteArray>
#include <QDirIterator>
#include <QFileInfo>
#include <QList>
#include <QFile>
#include <QString>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A 4000 x 3000 24-bit picture of one colour, run-length coded: 1.1 MB that claim 12 megapixels,
// too much to share a converter.
inline void writeBigPicture(const QString& path)
{
    QByteArray pcx(128, '\0');
    pcx[0] = 10;
    pcx[1] = 5;
    pcx[2] = 1;
    pcx[3] = 8;
    const auto put16 = [&pcx](int at, int v) {
        pcx[at] = char(v & 0xff);
        pcx[at + 1] = char(v >> 8);
    };
    put16(8, 3999);
    put16(10, 2999);
    pcx[65] = 3;
    put16(66, 4000);
    put16(68, 1);
    for (qint64 left = qint64(4000) * 3 * 3000; left > 0; left -= 63)
        pcx += left >= 63 ? QByteArray("\xff\x40", 2) : QByteArray(1, char(0xc0 | left)) + '\x40';
    writeFile(path, pcx);
}

// The children of this process still running the work folder's converter (not yet reaped).
inline QList<pid_t> convertersRunning()
{
    QList<pid_t> found;
    QDirIterator procs(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (procs.hasNext()) {
        const QString dir = procs.next();
        const QByteArray stat = readFile(dir + QStringLiteral("/stat"));
        // "pid (comm) state ppid ..."
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0 || !stat.contains("(nconvert)"))
            continue;
        const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
        if (rest.size() > 1 && rest[0] != "Z" && rest[1].toInt() == ::getpid())
            found << pid_t(QFileInfo(dir).fileName().toInt());
    }
    return found;
}
