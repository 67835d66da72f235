// The controls both windows are built from, with the operations the windows rely on.
#pragma once

#include "core/messages.h"
#include "core/progress.h"

#include <QAction>
#include <QCursor>
#include <QKeySequence>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <optional>
#include <utility>

// Twips to device-independent pixels: 15 twips make one pixel, to the nearest pixel.
constexpr int tw(int twips) { return (twips + 7) / 15; }

// Places w by its design position and size in twips.
void place(QWidget* w, int left, int top, int width, int height);
// A window's control as designed: a new T made from args, named name and placed at left, top,
// width and height in twips.
template <typename T, typename... Args>
T* newControl(const char* name, int left, int top, int width, int height, Args&&... args)
{
    T* w = new T(std::forward<Args>(args)...);
    w->setObjectName(QString::fromLatin1(name));
    place(w, left, top, width, height);
    return w;
}
// The font of both windows and their lists: Arial 9 pt bold.
QFont formFont();

// Pointer kinds a window keeps; kind 11 shows while the program is busy.
enum PointerKind : int { kPointerDefault = 0, kPointerBusy = 11, kPointerCustom = 99 };

// A window with a pointer kind and an optional custom pointer image. While the program is busy
// (core/busy.h) the window shows the busy pointer over whatever kind it keeps.
class FormBase : public QWidget {
    Q_OBJECT
public:
    explicit FormBase(QWidget* parent = nullptr);

    int mousePointer() const;
    bool isBusy() const;
    bool hasCustomPointer() const { return m_custom.has_value(); }

    // Reads a Windows cursor/icon file; throws AppError when it is not a readable image file.
    static QCursor loadCursorFile(const QString& path);
    // Takes "HAND-M.CUR" from the program folder as the custom pointer, when the file is there.
    void loadHandPointer();

protected:
    // Sets the kind kept for when the program is not busy.
    void setMousePointer(int kind);
    void setCustomPointer(const std::optional<QCursor>& cursor);
    // The hover rules, which the mouse's moves apply: the custom pointer over a push button, the
    // default one over the background; neither while the program is busy.
    void hoverButton();
    void hoverBackground();

    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // Watches w: a mouse move over it applies the push-button hover rule.
    void watchAsButton(QWidget* w);
    // Watches w: a mouse move over it applies the background hover rule.
    void watchAsBackground(QWidget* w);
    // The window as designed: named name, in the form font on a white ground (loading gives it
    // the desktop's colours), of the given fixed client size in twips, with a minimise box but
    // no maximise.
    void setDesignedWindow(const char* name, int widthTwips, int heightTwips);
    // Tab order through the given controls, in order.
    void setTabChain(std::initializer_list<QWidget*> order);
    // Any of keys, pressed while the window is active, runs command (once per press).
    void addShortcut(const QList<QKeySequence>& keys, std::function<void()> command);
    // An item of menu named name that runs command, its keys shown beside caption (a screen
    // reader gives them too) and tip as its status tip and tooltip. With windowKeys
    // the keys run it too while the window is active (once per press); without, they are the
    // window's keys of a command it has already, shown only.
    QAction* addMenuItem(QMenu* menu, const char* name, const QString& caption,
                         const QList<QKeySequence>& keys, const QString& tip, bool windowKeys,
                         std::function<void()> command);

private:
    void applyCursor();
    // Applies the hover rule of the control under pos, a point of receiver: the first of that
    // control and its containers that is watched; the window itself is background.
    void hoverAt(QWidget* receiver, QPoint pos);
    int m_pointerKind = kPointerDefault;
    std::optional<QCursor> m_custom;
};

// Push button: Arial 11.25 pt bold on white; a skin's style sheet can give it another face.
class PushButton : public QPushButton {
    Q_OBJECT
public:
    PushButton(const QString& caption, QWidget* parent);
};

// Progress bar whose value is a real number kept within 0..100 and whose text is its own.
class ProgressBar : public QProgressBar, public Progress {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent);
    void setValueReal(double v) override;
    double valueReal() const override { return m_value; }
    void setBarText(const QString& text) override;
    QString barText() const override { return m_text; }
    // Which file a run is at ("File 2 of 5"), as the tooltip and the description a screen
    // reader gives (read as it is at once; a change is announced at the pace of the text);
    // empty when no run is going on.
    void setFileNote(const QString& note) override;
    QString text() const override { return m_text; }

private:
    // Shows and announces what changed now, or once the pace allows.
    void pace();
    void paced();

    double m_value = 0;
    QString m_text = Messages::kBarAtRest;
    // A run sets a text and a note per file, hundreds a second: they are painted and announced
    // at most every kPaceMs, the last ones always.
    static constexpr int kPaceMs = 40;
    QTimer* m_pace;
    bool m_textChanged = false;
    bool m_noteChanged = false;
};

// Report-style list: rows are texts with optional sub-items, never sorted.
// Rows are addressed from 0 here; handlers translate where the user sees 1-based numbers.
class ListView : public QTreeWidget {
    Q_OBJECT
public:
    explicit ListView(QWidget* parent);

    int rowCount() const { return topLevelItemCount(); }
    QTreeWidgetItem* addRow(const QString& text);
    QString rowText(int row) const;
    void setRowText(int row, const QString& text);
    void setSubItem(int row, int sub, const QString& text);
    QString subItem(int row, int sub) const;
    void removeRow(int row);
    void clearRows();
    // Index of the selected row, or -1.
    int selectedRow() const;
    void selectRow(int row);
    QStringList rowTexts() const;
    // A text a row keeps unseen beside its own (what the row was added from); empty by default.
    QString rowTag(int row) const;
    void setRowTag(int row, const QString& tag);
    QStringList rowTags() const;
    // The role the tag is kept in, for rows made outside addRow.
    static constexpr int kTagRole = Qt::UserRole + 1;

    // Own pointer (arrow or a custom image), as the list control keeps one.
    void setListPointer(const std::optional<QCursor>& cursor);

signals:
    void mousePressed(Qt::MouseButton button, QPoint pos);
    void mouseMoved(Qt::MouseButtons buttons, QPoint pos);
    void mouseReleased(Qt::MouseButton button, QPoint pos);
    void keyPressed(int key);
    void doubleClicked();
    // The user asks for the list's menu: a right click, the Menu key or Shift+F10; at is where it
    // opens on the screen (the current row for a key).
    void menuAsked(QPoint at);
    void dragEntered(QDragEnterEvent* event);
    void dragMoved(QDragMoveEvent* event);
    void dropped(QDropEvent* event);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // At a fractional display scale (150%) the header and the rows are rounded out over the
    // list's one-pixel frame and hide an edge of it; these strips along the four edges lie
    // above them and draw the frame again. They take no mouse input.
    QList<QWidget*> m_frameEdges;
    void placeFrameEdges();
    // Where a menu asked for by a key opens: below the current row, else at the list's top.
    QPoint keyMenuPlace() const;
};
