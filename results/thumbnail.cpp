#include "results/thumbnail.h"

#include "core/fileops.h"
#include "core/filesize.h"
#include "core/messages.h"
#include "core/regularfile.h"
#include "pcx.h"

#include <QBuffer>
#include <QLocale>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <exception>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace Preview {

namespace {

// Why path gives no picture before anything is opened: a stat, so a pipe or device is never
// opened at all. Empty when it is a regular file.
QString statProblem(const QString& path)
{
    if (IsExistingFile(path))
        return QString();
    return PathExists(path) ? Messages::kPreviewNotRegular : Messages::kPreviewFileGone;
}

// Why the opened file cannot be read (a pipe may have taken the file's place since the stat),
// or the empty text.
QString openProblem(const RegularFile& file)
{
    if (file.isOpen())
        return QString();
    if (file.notRegular())
        return Messages::kPreviewNotRegular;
    return file.openError() == ENOENT ? Messages::kPreviewFileGone : Messages::kPreviewUnreadable;
}

// The decoder reads the open file as it goes, so the file's bytes are never held whole.
class DescriptorSource : public pcx::Source {
public:
    explicit DescriptorSource(const RegularFile& file)
        : m_fd(file.fd()), m_size(uint64_t(file.status().st_size))
    {
    }
    uint64_t size() const override { return m_size; }
    bool seek(uint64_t pos) override { return ::lseek(m_fd, off_t(pos), SEEK_SET) == off_t(pos); }
    size_t read(uint8_t* buf, size_t n) override
    {
        size_t done = 0;
        while (done < n) {
            const ssize_t k = ::read(m_fd, buf + done, n - done);
            if (k > 0) {
                done += size_t(k);
            } else if (k < 0 && errno == EINTR) {
                continue;
            } else {
                m_failed = k < 0;
                break;
            }
        }
        return done;
    }
    bool failed() const override { return m_failed; }

private:
    int m_fd;
    uint64_t m_size;
    bool m_failed = false;
};

QRgb rgbOf(const pcx::Rgb& c) { return qRgb(c.r, c.g, c.b); }

// A charge on a budget, released when this goes.
class Charge {
public:
    Charge(DecodeBudget& budget, quint64 bytes) : m_budget(budget), m_bytes(budget.charge(bytes) ? bytes : 0) {}
    Charge(const Charge&) = delete;
    Charge& operator=(const Charge&) = delete;
    ~Charge()
    {
        if (m_bytes)
            m_budget.release(m_bytes);
    }
    explicit operator bool() const { return m_bytes != 0; }

private:
    DecodeBudget& m_budget;
    quint64 m_bytes;
};

QString problemOf(pcx::Error error) { return QString::fromUtf8(pcx::errorText(error)); }

// Distinct colours of the full picture: one bit for each of the 2^24 colours.
int countColours(const pcx::Image& image)
{
    std::vector<quint64> seen(size_t(1) << 18);
    int count = 0;
    const auto note = [&seen, &count](quint32 rgb) {
        quint64& word = seen[rgb >> 6];
        const quint64 bit = quint64(1) << (rgb & 63);
        if (!(word & bit)) {
            word |= bit;
            ++count;
        }
    };
    if (image.indexed) {
        std::array<bool, 256> used{};
        for (uint8_t index : image.pixels)
            used[index] = true;
        for (size_t i = 0; i < image.palette.size(); ++i)
            if (used[i])
                note(rgbOf(image.palette[i]) & 0xFFFFFFu);
        return count;
    }
    const uint8_t* p = image.pixels.data();
    for (size_t i = 0; i + 3 < image.pixels.size(); i += 4)
        note(quint32(p[i]) << 16 | quint32(p[i + 1]) << 8 | p[i + 2]);
    return count;
}

// The decoded picture as a QImage that shares image's pixels, so it must not outlive image.
QImage asQImage(const pcx::Image& image)
{
    const int w = int(image.width), h = int(image.height);
    if (!image.indexed)  // R, G, B, 255: Qt's RGBX layout
        return QImage(image.pixels.data(), w, h, qsizetype(w) * 4, QImage::Format_RGBX8888);
    QImage out(image.pixels.data(), w, h, qsizetype(w), QImage::Format_Indexed8);
    QList<QRgb> colours;
    colours.reserve(qsizetype(image.palette.size()));
    for (const pcx::Rgb& c : image.palette)
        colours << rgbOf(c);
    out.setColorTable(colours);
    return out;
}

QByteArray pngOf(const QImage& image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

Picture makePicture(const QString& path, DecodeBudget& budget)
{
    Picture picture;
    picture.problem = statProblem(path);
    if (!picture.problem.isEmpty())
        return picture;
    const RegularFile file(path);
    picture.problem = openProblem(file);
    if (!picture.problem.isEmpty())
        return picture;
    picture.bytes = qint64(file.status().st_size);
    DescriptorSource source(file);
    pcx::Limits limits;
    limits.maxPixels = kMaxPixels;
    pcx::Header header;
    if (const pcx::Error error = pcx::readHeader(source, header, limits); error != pcx::Error::None) {
        picture.problem = problemOf(error);
        return picture;
    }
    // Goes after the decoded picture, which is declared below it.
    const Charge charge(budget, DecodeCost(header.width(), header.height()));
    if (!charge) {
        picture.problem = problemOf(pcx::Error::TooLarge);
        return picture;
    }
    // A file rewritten since its header was read cannot make the decode take more.
    limits.maxWidth = header.width();
    limits.maxHeight = header.height();
    pcx::Image image;
    if (const pcx::Error error = pcx::decode(source, image, limits); error != pcx::Error::None) {
        picture.problem = problemOf(error);
        return picture;
    }
    picture.colours = countColours(image);
    // Converted so the thumbnail owns its pixels before the decoded picture goes.
    picture.thumbnail = FitThumbnail(asQImage(image)).convertToFormat(QImage::Format_RGB32);
    if (picture.thumbnail.isNull()) {
        picture.problem = problemOf(pcx::Error::OutOfMemory);
        return picture;
    }
    picture.png = pngOf(picture.thumbnail);
    return picture;
}

QString html(const QString& text) { return text.toHtmlEscaped(); }

QString pictureCell(const Picture& picture)
{
    if (picture.thumbnail.isNull())
        return QStringLiteral("<i>%1</i>").arg(html(Messages::kPreviewNoPicture.arg(picture.problem)));
    return QStringLiteral("<img src=\"data:image/png;base64,%1\" width=\"%2\" height=\"%3\">")
        .arg(QString::fromLatin1(picture.png.toBase64()))
        .arg(picture.thumbnail.width())
        .arg(picture.thumbnail.height());
}

QString captionCell(const QString& title, const Picture& picture, const QString& change,
                    const QString& made = QString())
{
    QString cell = QStringLiteral("<b>%1</b>").arg(html(title));
    for (const QString& line : {CaptionText(picture), change, made})
        if (!line.isEmpty())
            cell += QStringLiteral("<br>") + html(line);
    return cell;
}

QString pathLine(const ReductionRecord& record)
{
    return QStringLiteral("<p><nobr>%1</nobr></p>").arg(html(record.inputPath));
}

QString reasonOf(const ReductionRecord& record)
{
    return html(record.failure);
}

}  // namespace

QImage FitThumbnail(const QImage& picture, QSize box)
{
    if (picture.isNull() || box.isEmpty())
        return picture;
    const double scale = std::min(double(box.width()) / picture.width(),
                                  double(box.height()) / picture.height());
    const QSize size(std::clamp(int(std::lround(picture.width() * scale)), 1, box.width()),
                     std::clamp(int(std::lround(picture.height() * scale)), 1, box.height()));
    if (size == picture.size())
        return picture;
    return picture.scaled(size, Qt::IgnoreAspectRatio,
                          scale > 1 ? Qt::FastTransformation : Qt::SmoothTransformation);
}

bool DecodeBudget::charge(quint64 bytes)
{
    if (bytes > m_total)
        return false;
    QMutexLocker lock(&m_mutex);
    const quint64 turn = m_nextTurn++;
    while (turn != m_turn || m_charged + bytes > m_total)
        m_changed.wait(&m_mutex);
    ++m_turn;
    m_charged += bytes;
    m_peak = std::max(m_peak, m_charged);
    m_changed.wakeAll();
    return true;
}

void DecodeBudget::release(quint64 bytes)
{
    QMutexLocker lock(&m_mutex);
    m_charged -= bytes;
    m_changed.wakeAll();
}

quint64 DecodeBudget::charged() const
{
    QMutexLocker lock(&m_mutex);
    return m_charged;
}

quint64 DecodeBudget::peakCharged() const
{
    QMutexLocker lock(&m_mutex);
    return m_peak;
}

int DecodeBudget::waiting() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_nextTurn - m_turn);
}

DecodeBudget& SharedDecodeBudget()
{
    static DecodeBudget budget(kDecodeBudget);
    return budget;
}

Picture MakePicture(const QString& path)
{
    return MakePictureWithin(path, SharedDecodeBudget());
}

Picture MakePictureWithin(const QString& path, DecodeBudget& budget)
{
    try {
        return makePicture(path, budget);
    } catch (const std::exception&) {  // a read buffer or a picture that memory cannot hold
        Picture picture;
        picture.problem = QString::fromUtf8(pcx::errorText(pcx::Error::OutOfMemory));
        return picture;
    }
}

QString ChangeText(qint64 before, qint64 after)
{
    if (before <= 0 || after < 0)
        return QString();
    if (after == before)
        return Messages::kPreviewSameSize;
    const double percent = std::abs(double(after - before)) * 100.0 / double(before);
    const qint64 whole = std::llround(percent);
    const QString number = whole == 0 ? Messages::kPreviewUnderOnePercent : QString::number(whole);
    return (after > before ? Messages::kPreviewLarger : Messages::kPreviewSmaller).arg(number);
}

QString CaptionText(const Picture& picture)
{
    const QString size = picture.bytes >= 0 ? FormatSizeText(picture.bytes) : QString();
    if (picture.thumbnail.isNull())
        return size;
    const QString colours = picture.colours == 1
                                ? Messages::kPreviewOneColour
                                : Messages::kPreviewColours.arg(QLocale().toString(picture.colours));
    return size.isEmpty() ? colours : Messages::kPreviewCaption.arg(colours, size);
}

QString RowTipHtml(const ReductionRecord& record, const Picture& original, const Picture& reduced)
{
    const QString table = QStringLiteral("<table cellspacing=\"8\"><tr>%1</tr><tr>%2</tr></table>");
    const auto cell = [](const QString& content) {
        return QStringLiteral("<td align=\"center\" valign=\"top\">%1</td>").arg(content);
    };
    const QString head = pathLine(record);
    if (record.failed()) {
        const QString reason = head + QStringLiteral("<p>%1</p>").arg(reasonOf(record));
        if (original.thumbnail.isNull())
            return reason;
        return reason + table.arg(cell(pictureCell(original)),
                                  cell(captionCell(Messages::kPreviewOriginal, original, QString())));
    }
    const QString change = ChangeText(original.bytes, reduced.bytes);
    return head + table.arg(cell(pictureCell(original)) + cell(pictureCell(reduced)),
                            cell(captionCell(Messages::kPreviewOriginal, original, QString()))
                                + cell(captionCell(Messages::kPreviewReduced, reduced, change,
                                                   record.madeWith)));
}

QString PreparingTipHtml(const ReductionRecord& record)
{
    const QString head = pathLine(record);
    if (!record.failed())
        return head + QStringLiteral("<p>%1</p>").arg(html(Messages::kPreparingPreview));
    return head + QStringLiteral("<p>%1</p><p>%2</p>").arg(reasonOf(record), html(Messages::kPreparingPreview));
}

}  // namespace Preview
