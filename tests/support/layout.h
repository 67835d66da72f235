// Checks a window against its design: every control's place and size in pixels, and the order
// in which Tab visits those that take the keyboard focus.
#pragma once

#include <QCoreApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QWidget>
#include <gtest/gtest.h>
#include <vector>

// A length of the design in pixels: 15 twips to a pixel, rounded to the nearest.
inline int px(int twips) { return qRound(twips / 15.0); }
inline QSize px(int widthTwips, int heightTwips) { return {px(widthTwips), px(heightTwips)}; }

// One control of a design table, in tab order: left, top, width and height in twips, as the
// design gives them, relative to the control's container.
struct Designed {
    QWidget* w;
    QRect twips;
};

inline void expectDesignedLayout(QWidget& window, const std::vector<Designed>& table)
{
    QList<QWidget*> designed;
    for (const Designed& d : table) {
        SCOPED_TRACE(d.w->objectName().toStdString());
        EXPECT_EQ(d.w->geometry(),
                  QRect(px(d.twips.x()), px(d.twips.y()), px(d.twips.width()), px(d.twips.height())));
        EXPECT_TRUE(d.w->isVisibleTo(&window));
        if (d.w->focusPolicy() & Qt::TabFocus)
            designed << d.w;
    }
    QList<QWidget*> chain;
    QWidget* w = designed.front();
    do {
        if (designed.contains(w) && !chain.contains(w))
            chain << w;
        w = w->nextInFocusChain();
    } while (w != designed.front());
    EXPECT_EQ(chain, designed);
}

// The mouse comes over w, as the window's hover rules see it.
inline void enterWidget(QWidget* w)
{
    QEnterEvent e(QPointF(2, 2), QPointF(2, 2), w->mapToGlobal(QPointF(2, 2)));
    QCoreApplication::sendEvent(w, &e);
}

// The mouse moves to the middle of w, no button held.
inline void moveMouseOver(QWidget* w)
{
    const QPointF middle = QRectF(w->rect()).center();
    QMouseEvent e(QEvent::MouseMove, middle, w->mapToGlobal(middle), Qt::NoButton, Qt::NoButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}
