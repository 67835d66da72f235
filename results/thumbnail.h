// The pictures of the results list's tooltips: one PCX file made into a small picture with its
// facts, and a row's tooltip made from the pictures of its two files. Nothing here touches a
// window, so the pictures can be made on any thread.
#pragma once

#include "core/records.h"

#include <QByteArray>
#include <QImage>
#include <QMutex>
#include <QSize>
#include <QString>
#include <QWaitCondition>

namespace Preview {

// The box each picture of a tooltip is fitted into.
inline constexpr QSize kBox{320, 240};
// Pictures beyond this many pixels are not decoded for a preview, so a file that claims a huge
// picture cannot take the program's memory (four bytes a pixel while it is scaled).
inline constexpr quint64 kMaxPixels = quint64(1) << 25;

// The most a decode of a width x height picture holds at once, whatever its layout: one byte a
// pixel as decoded plus four as scaled (or four as decoded), the colour count's table, a line
// and the thumbnail.
constexpr quint64 DecodeCost(quint32 width, quint32 height)
{
    return quint64(width) * height * 5 + (quint64(4) << 20);
}

// What the decodes in flight may hold together: the largest picture fits alone, so hovering any
// number of rows stays within it.
inline constexpr quint64 kDecodeBudget = quint64(176) << 20;
static_assert(DecodeCost(8192, 4096) <= kDecodeBudget);

// Bytes shared by the decodes in flight. Each is charged before it allocates anything and
// released when its memory is gone; a charge waits, in the order asked, until it fits.
class DecodeBudget {
public:
    explicit DecodeBudget(quint64 total) : m_total(total) {}
    DecodeBudget(const DecodeBudget&) = delete;
    DecodeBudget& operator=(const DecodeBudget&) = delete;

    // Waits until bytes fit beside what is charged and charges them. False, at once and without
    // a charge, for more than the whole budget.
    bool charge(quint64 bytes);
    void release(quint64 bytes);

    quint64 total() const { return m_total; }
    quint64 charged() const;
    // The most charged at one time so far.
    quint64 peakCharged() const;
    // How many charges wait for room.
    int waiting() const;

private:
    const quint64 m_total;
    mutable QMutex m_mutex;
    QWaitCondition m_changed;
    quint64 m_charged = 0;
    quint64 m_peak = 0;
    // Turns, so a large charge is not passed over for ever by smaller ones.
    quint64 m_nextTurn = 0;
    quint64 m_turn = 0;
};

// The budget of kDecodeBudget bytes every preview decode of this program is charged to.
DecodeBudget& SharedDecodeBudget();

// picture scaled to fit box with its aspect kept, never below 1x1: nearest-neighbour when it
// grows, so pixel art keeps sharp edges; smooth when it shrinks. A picture that already fits
// exactly is returned as it is, a null picture as null.
QImage FitThumbnail(const QImage& picture, QSize box = kBox);

// One file as a tooltip shows it. Only the small picture is kept, never the full one.
struct Picture {
    // Fitted into kBox; null when the file gave no picture.
    QImage thumbnail;
    // The thumbnail as PNG, for the tooltip's rich text; empty without a thumbnail.
    QByteArray png;
    // How many distinct colours the full picture has.
    int colours = 0;
    // The file's length when it was read, else -1.
    qint64 bytes = -1;
    // Why there is no picture, in a few words; empty when there is one.
    QString problem;
};

// Decodes the file at path with the converter's PCX library, reading it as the decoder goes.
// Only a regular file is opened, and without waiting, so a named pipe or a device never blocks
// the caller; the decoder keeps to kMaxPixels and to the picture size its header claimed when
// the decode was charged to budget (it waits for room there first). Never throws; safe on any
// thread, also while the file is removed or rewritten.
Picture MakePictureWithin(const QString& path, DecodeBudget& budget);
// The same, charged to SharedDecodeBudget().
Picture MakePicture(const QString& path);

// The change of size from before to after bytes in whole percent, as the tooltip shows it:
// "-89%", "+18%, larger than the original", "0%, ..." for the same size and "<1" for a change
// that rounds to nothing. Empty when before is not above 0 or after is below 0.
QString ChangeText(qint64 before, qint64 after);
// "16 colors, 1.2 MB": the colour count and the size text of a picture made from a file.
QString CaptionText(const Picture& picture);

// The rich text of a row's tooltip, headed by the input's full path, so files of one name from
// different folders are told apart. A reduced row shows original and reduced side by side, each
// with its caption, the reduced one with the change in size and how it was made (its
// madeWith). A failed row shows its reason and
// the original alone (reduced is not looked at); without an original picture, the reason.
QString RowTipHtml(const ReductionRecord& record, const Picture& original, const Picture& reduced);
// The tooltip of a row whose pictures are still being made, headed by the input's full path; a
// failed row keeps its reason.
QString PreparingTipHtml(const ReductionRecord& record);

}  // namespace Preview
