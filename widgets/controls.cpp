#include "widgets/controls.h"

#include "core/busy.h"
#include "core/errorreport.h"
#include "core/messages.h"
#include "core/globals.h"
#include "core/fileops.h"
#include "widgets/skin.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QHeaderView>
#include <QImageReader>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QShortcut>
#include <cmath>
#include <utility>

void place(QWidget* w, int left, int top, int width, int height)
{
    w->setGeometry(tw(left), tw(top), tw(width), tw(height));
}

QFont formFont()
{
    QFont f(QStringLiteral("Arial"));
    f.setPointSize(9);
    f.setBold(true);
    return f;
}

FormBase::FormBase(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    connect(&BusyState::instance(), &BusyState::changed, this, [this] { applyCursor(); });
}

int FormBase::mousePointer() const { return isBusy() ? int(kPointerBusy) : m_pointerKind; }

bool FormBase::isBusy() const { return IsBusy(); }

void FormBase::setDesignedWindow(const char* name, int widthTwips, int heightTwips)
{
    setObjectName(QString::fromLatin1(name));
    setFont(formFont());
    PaintFixedGround(*this, Qt::white);
    setFixedSize(tw(widthTwips), tw(heightTwips));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
}

void FormBase::setTabChain(std::initializer_list<QWidget*> order)
{
    QWidget* const* w = order.begin();
    for (size_t i = 0; i + 1 < order.size(); ++i)
        setTabOrder(w[i], w[i + 1]);
}

void FormBase::addShortcut(const QList<QKeySequence>& keys, std::function<void()> command)
{
    auto* shortcut = new QShortcut(this);
    shortcut->setKeys(keys);
    // A held key would start the command again inside its own waits.
    shortcut->setAutoRepeat(false);
    connect(shortcut, &QShortcut::activated, this, std::move(command));
}

QAction* FormBase::addMenuItem(QMenu* menu, const char* name, const QString& caption,
                               const QList<QKeySequence>& keys, const QString& tip, bool windowKeys,
                               std::function<void()> command)
{
    auto* item = new QAction(caption, this);
    item->setObjectName(QString::fromLatin1(name));
    item->setShortcuts(keys);
    item->setStatusTip(tip);
    item->setToolTip(tip);
    // A held key would start the command again inside its own waits.
    item->setAutoRepeat(false);
    if (windowKeys)
        addAction(item);
    else
        item->setShortcutContext(Qt::WidgetShortcut);
    menu->addAction(item);
    connect(item, &QAction::triggered, this, std::move(command));
    return item;
}

void FormBase::setMousePointer(int kind)
{
    m_pointerKind = kind;
    applyCursor();
}

void FormBase::setCustomPointer(const std::optional<QCursor>& cursor)
{
    m_custom = cursor;
    applyCursor();
}

namespace {

// The hot spot of a Windows cursor file's first image, which Qt's reader does not expose;
// (0, 0) for an icon file or anything else.
QPoint cursorHotSpot(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = f.read(14);
    if (head.size() < 14)
        return {};
    const auto le16 = [&head](int at) {
        return static_cast<int>(static_cast<uchar>(head[at]) | (static_cast<uchar>(head[at + 1]) << 8));
    };
    // Directory: reserved 0, type 2 (cursor), image count; then the first entry's hot spot.
    if (le16(0) != 0 || le16(2) != 2 || le16(4) < 1)
        return {};
    return {le16(10), le16(12)};
}

}  // namespace

QCursor FormBase::loadCursorFile(const QString& path)
{
    // A pipe or device of that name would block the window for good: only files are read.
    if (PathExists(path) && !IsExistingFile(path))
        throw AppError(Messages::kInvalidPicture);
    QImageReader reader(path);
    const QImage image = reader.read();
    if (image.isNull())
        throw AppError(Messages::kInvalidPicture);
    QPoint hot = cursorHotSpot(path);
    if (!image.rect().contains(hot))
        hot = {};
    return QCursor(QPixmap::fromImage(image), hot.x(), hot.y());
}

void FormBase::loadHandPointer()
{
    const QString hand = Globals::programFolder() + QStringLiteral("/HAND-M.CUR");
    if (PathExists(hand))
        setCustomPointer(loadCursorFile(hand));
}

void FormBase::applyCursor()
{
    switch (mousePointer()) {
    case kPointerBusy:
        setCursor(Qt::WaitCursor);
        break;
    case kPointerCustom:
        if (m_custom)
            setCursor(*m_custom);
        else
            setCursor(Qt::ArrowCursor);
        break;
    default:
        setCursor(Qt::ArrowCursor);
        break;
    }
    // Children show the window's pointer, as the window's pointer covers its controls.
    for (QWidget* w : findChildren<QWidget*>()) {
        // A control with a pointer of its own may keep it on an inner part (a list's viewport).
        const QWidget* parent = w->parentWidget();
        if (w->property("ownPointer").toBool() || (parent && parent->property("ownPointer").toBool()))
            continue;
        w->unsetCursor();
    }
}

void FormBase::hoverButton()
{
    if (isBusy())
        return;
    if (m_pointerKind != kPointerCustom)
        setMousePointer(kPointerCustom);
}

void FormBase::hoverBackground()
{
    if (isBusy())
        return;
    if (m_pointerKind != kPointerDefault)
        setMousePointer(kPointerDefault);
}

void FormBase::watchAsButton(QWidget* w)
{
    w->setMouseTracking(true);
    w->setProperty("hoverRole", QStringLiteral("button"));
    w->installEventFilter(this);
}

void FormBase::watchAsBackground(QWidget* w)
{
    w->setMouseTracking(true);
    w->setProperty("hoverRole", QStringLiteral("background"));
    w->installEventFilter(this);
}

void FormBase::hoverAt(QWidget* receiver, QPoint pos)
{
    // A move a control leaves unhandled (a push button's, when no mouse button is down) goes on
    // to its frame and the window: each of them finds the same control under the pointer, so the
    // pointer does not change back and forth on every move.
    QWidget* w = receiver->childAt(pos);
    for (w = w ? w : receiver; w; w = w->parentWidget()) {
        const QString role = w->property("hoverRole").toString();
        if (role == QLatin1String("button")) {
            hoverButton();
            return;
        }
        if (role == QLatin1String("background") || w == this) {
            hoverBackground();
            return;
        }
    }
}

bool FormBase::eventFilter(QObject* watched, QEvent* event)
{
    auto* w = qobject_cast<QWidget*>(watched);
    if (w && event->type() == QEvent::MouseMove)
        hoverAt(w, static_cast<QMouseEvent*>(event)->position().toPoint());
    else if (w && event->type() == QEvent::Enter)
        hoverAt(w, static_cast<QEnterEvent*>(event)->position().toPoint());
    return QWidget::eventFilter(watched, event);
}

void FormBase::mouseMoveEvent(QMouseEvent* event)
{
    hoverAt(this, event->position().toPoint());
    QWidget::mouseMoveEvent(event);
}

PushButton::PushButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent)
{
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(11.25);
    f.setBold(true);
    setFont(f);
    // A face colour of the button's palette, not a style sheet of its own: that would outrank
    // any skin given to the window.
    PaintFixedButton(*this, Qt::white);
    setMouseTracking(true);
}

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent)
{
    setRange(0, 100);
    setValue(0);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
    PaintFixedControl(*this);
    m_pace = new QTimer(this);
    m_pace->setSingleShot(true);
    m_pace->setInterval(kPaceMs);
    connect(m_pace, &QTimer::timeout, this, [this] {
        if (!m_textChanged && !m_noteChanged)
            return;
        paced();
        m_pace->start();
    });
}

void ProgressBar::setValueReal(double v)
{
    if (std::isnan(v))
        v = 0;
    m_value = std::clamp(v, 0.0, 100.0);
    setValue(static_cast<int>(std::lround(m_value)));
}

void ProgressBar::setBarText(const QString& text)
{
    m_text = text;
    m_textChanged = true;
    pace();
}

void ProgressBar::setFileNote(const QString& note)
{
    // The description is left empty, so a screen reader reads the tooltip, always the current
    // note; only the announcement of a change waits for its turn. Setting the description itself
    // would announce every file to the screen reader.
    setToolTip(note);
    m_noteChanged = true;
    pace();
}

void ProgressBar::pace()
{
    if (!m_pace->isActive()) {
        paced();
        m_pace->start();
    }
}

void ProgressBar::paced()
{
    if (std::exchange(m_textChanged, false))
        update();
    if (std::exchange(m_noteChanged, false)) {
        QAccessibleEvent changed(this, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&changed);
    }
}

ListView::ListView(QWidget* parent) : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setSortingEnabled(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHeaderHidden(false);
    setColumnCount(0);
    setMouseTracking(true);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    PaintFixedControl(*this);
    for (int i = 0; i < 4; ++i) {
        auto* edge = new QWidget(this);
        edge->setAttribute(Qt::WA_TransparentForMouseEvents);
        edge->installEventFilter(this);
        m_frameEdges << edge;
    }
    placeFrameEdges();
}

void ListView::placeFrameEdges()
{
    // One pixel wider than the frame, over the part that is rounded over it; the strips are
    // transparent, so what lies below them still shows.
    const int w = width(), h = height(), t = frameWidth() + 1;
    const QRect edges[] = {{0, 0, w, t}, {0, h - t, w, t}, {0, 0, t, h}, {w - t, 0, t, h}};
    for (int i = 0; i < m_frameEdges.size(); ++i) {
        m_frameEdges[i]->setGeometry(edges[i]);
        m_frameEdges[i]->raise();
    }
}

void ListView::resizeEvent(QResizeEvent* e)
{
    QTreeWidget::resizeEvent(e);
    placeFrameEdges();
}

bool ListView::eventFilter(QObject* watched, QEvent* event)
{
    auto* edge = qobject_cast<QWidget*>(watched);
    if (event->type() == QEvent::Paint && edge && m_frameEdges.contains(edge)) {
        QPainter p(edge);
        p.translate(-edge->pos());
        drawFrame(&p);
        return true;
    }
    return QTreeWidget::eventFilter(watched, event);
}

QTreeWidgetItem* ListView::addRow(const QString& text)
{
    auto* item = new QTreeWidgetItem(QStringList{text});
    addTopLevelItem(item);
    return item;
}

QString ListView::rowText(int row) const
{
    const QTreeWidgetItem* it = topLevelItem(row);
    return it ? it->text(0) : QString();
}

void ListView::setRowText(int row, const QString& text)
{
    if (QTreeWidgetItem* it = topLevelItem(row))
        it->setText(0, text);
}

void ListView::setSubItem(int row, int sub, const QString& text)
{
    if (QTreeWidgetItem* it = topLevelItem(row))
        it->setText(sub, text);
}

QString ListView::subItem(int row, int sub) const
{
    const QTreeWidgetItem* it = topLevelItem(row);
    return it ? it->text(sub) : QString();
}

void ListView::removeRow(int row)
{
    delete takeTopLevelItem(row);
}

void ListView::clearRows() { clear(); }

int ListView::selectedRow() const
{
    const QList<QTreeWidgetItem*> sel = selectedItems();
    if (sel.isEmpty())
        return -1;
    return indexOfTopLevelItem(sel.front());
}

void ListView::selectRow(int row)
{
    if (QTreeWidgetItem* it = topLevelItem(row)) {
        setCurrentItem(it);
        it->setSelected(true);
    }
}

QStringList ListView::rowTexts() const
{
    QStringList out;
    out.reserve(rowCount());
    for (int i = 0; i < rowCount(); ++i)
        out << rowText(i);
    return out;
}

QString ListView::rowTag(int row) const
{
    const QTreeWidgetItem* it = topLevelItem(row);
    return it ? it->data(0, kTagRole).toString() : QString();
}

void ListView::setRowTag(int row, const QString& tag)
{
    if (QTreeWidgetItem* it = topLevelItem(row))
        it->setData(0, kTagRole, tag);
}

QStringList ListView::rowTags() const
{
    QStringList out;
    out.reserve(rowCount());
    for (int i = 0; i < rowCount(); ++i)
        out << rowTag(i);
    return out;
}

void ListView::setListPointer(const std::optional<QCursor>& cursor)
{
    setProperty("ownPointer", cursor.has_value());
    if (cursor)
        viewport()->setCursor(*cursor);
    else
        viewport()->unsetCursor();
}

namespace {

// The list's own handling of a press or a drag brings the current row into view, which moves the
// rows under a pointer that stands still: a row dragged onto the partly visible bottom row would
// land a row off. The mouse scrolls the list only as the window decides; keys still scroll.
class NoAutoScroll {
public:
    explicit NoAutoScroll(QAbstractItemView* view) : m_view(view), m_was(view->hasAutoScroll())
    {
        m_view->setAutoScroll(false);
    }
    ~NoAutoScroll() { m_view->setAutoScroll(m_was); }
    NoAutoScroll(const NoAutoScroll&) = delete;
    NoAutoScroll& operator=(const NoAutoScroll&) = delete;

private:
    QAbstractItemView* m_view;
    bool m_was;
};

}  // namespace

void ListView::mousePressEvent(QMouseEvent* e)
{
    {
        const NoAutoScroll still(this);
        QTreeWidget::mousePressEvent(e);
    }
    emit mousePressed(e->button(), e->position().toPoint());
}

void ListView::mouseMoveEvent(QMouseEvent* e)
{
    {
        const NoAutoScroll still(this);
        QTreeWidget::mouseMoveEvent(e);
    }
    emit mouseMoved(e->buttons(), e->position().toPoint());
}

void ListView::mouseReleaseEvent(QMouseEvent* e)
{
    QTreeWidget::mouseReleaseEvent(e);
    emit mouseReleased(e->button(), e->position().toPoint());
}

void ListView::mouseDoubleClickEvent(QMouseEvent* e)
{
    QTreeWidget::mouseDoubleClickEvent(e);
    emit doubleClicked();
}

void ListView::keyPressEvent(QKeyEvent* e)
{
    // The Menu key comes as a context menu request; Shift+F10 is its stand-in on keyboards
    // without one.
    if (e->key() == Qt::Key_F10 && e->modifiers() == Qt::ShiftModifier) {
        emit menuAsked(keyMenuPlace());
        return;
    }
    QTreeWidget::keyPressEvent(e);
    emit keyPressed(e->key());
}

void ListView::contextMenuEvent(QContextMenuEvent* e)
{
    emit menuAsked(e->reason() == QContextMenuEvent::Mouse ? e->globalPos() : keyMenuPlace());
}

QPoint ListView::keyMenuPlace() const
{
    const QTreeWidgetItem* current = currentItem();
    const QRect row = current ? visualItemRect(current) : QRect();
    const bool shown = row.isValid() && viewport()->rect().contains(row.bottomLeft());
    return viewport()->mapToGlobal(shown ? row.bottomLeft() : QPoint(0, 0));
}

void ListView::dragEnterEvent(QDragEnterEvent* e) { emit dragEntered(e); }
void ListView::dragMoveEvent(QDragMoveEvent* e) { emit dragMoved(e); }
void ListView::dropEvent(QDropEvent* e) { emit dropped(e); }
