// Both forms in one platform window: a desktop that places each new window itself (every
// Wayland compositor) cannot move the results away from where the main window was. This suite
// also runs under a real compositor (tests/wayland/run_under_weston.sh).
#include "app/startup.h"
#include "core/messages.h"
#include "core/session.h"
#include "engine_fixture.h"
#include "results/form2.h"
#include "results/preview.h"

#include <QDir>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QScopeGuard>
#include <QTest>
#include <QToolTip>
#include <QWindow>

namespace {

// The program's own windows the desktop shows, tooltips and popups aside.
QList<QWindow*> shownWindows()
{
    QList<QWindow*> out;
    for (QWindow* w : QGuiApplication::topLevelWindows())
        if (w->isVisible() && w->type() != Qt::ToolTip && w->type() != Qt::Popup)
            out << w;
    return out;
}

bool waitUntil(const std::function<bool()>& done)
{
    return QTest::qWaitFor(done, 20000);
}

}  // namespace

class OneWindowTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        ASSERT_TRUE(m_program.isValid() && m_out.isValid());
        SetService(&Services::programFolder, m_program.path());
        SetService(&Services::startupDraw, [] { return 0.5; });
    }
    void TearDown() override
    {
        QToolTip::hideText();
        PreviewTips::waitForPreparations();
        ResetService(&Services::startupDraw);
        ResetService(&Services::endProgram);
        EngineTest::TearDown();
    }

    // form is what the one window shows, at its own size and title, with the keyboard where it
    // was when the form was last shown (as its own window kept it), and nothing else shows.
    void expectShown(QWidget& form, QWidget* focused)
    {
        SCOPED_TRACE(form.objectName().toStdString());
        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(shownWindows(), QList<QWindow*>{m_window});
        EXPECT_EQ(form.window()->windowHandle(), m_window);
        EXPECT_EQ(m_window->handle(), m_platformWindow);
        EXPECT_EQ(m_window->size(), form.size());
        EXPECT_EQ(m_window->title(), QStringLiteral("Palettrim"));
        EXPECT_EQ(m_window->position(), m_topLeft);
        EXPECT_EQ(form.window()->focusWidget(), focused);
        EXPECT_FALSE(m_window->icon().isNull());
    }

    QTemporaryDir m_program, m_out;
    QWindow* m_window = nullptr;
    QPlatformWindow* m_platformWindow = nullptr;
    QPoint m_topLeft;
};

TEST_F(OneWindowTest, StartRunHoverSaveBackAndCloseInOneWindowThatStaysPut)
{
    EXPECT_EQ(QGuiApplication::platformName(), qEnvironmentVariable("QT_QPA_PLATFORM"));
    installFakeConverter();
    Form1& f1 = Forms::form1();
    f1.Form_Load();
    for (const char* name : {"a.pcx", "b.pcx"})
        f1.ListView1->addRow(inputFile(QString::fromLatin1(name)));
    f1.show();
    m_window = f1.window()->windowHandle();
    ASSERT_NE(m_window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window));
    m_platformWindow = m_window->handle();
    m_topLeft = m_window->position();
    // A compositor places a window anew each time it is mapped: it must never be hidden.
    int hidden = 0;
    QObject::connect(m_window, &QWindow::visibleChanged, m_window, [&](bool on) { hidden += !on; });
    expectShown(f1, f1.ListView1);

    f1.PushButton2->setFocus();  // as a click on it leaves it
    f1.PushButton2_Click();
    Form2& f2 = Forms::form2();
    expectShown(f2, f2.ListView1);
    EXPECT_FALSE(f1.isVisible());
    ASSERT_EQ(f2.ListView1->rowCount(), 2);
    ASSERT_NE(f2.ListView1->subItem(0, 2), Messages::kFailToReduce);

    // The pointer resting on a row: its preview comes up over the window.
    const QPoint at = f2.ListView1->visualItemRect(f2.ListView1->topLevelItem(0)).center();
    QHelpEvent hover(QEvent::ToolTip, at, f2.ListView1->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(f2.ListView1->viewport(), &hover);
    EXPECT_TRUE(waitUntil([] { return QToolTip::isVisible() && QToolTip::text().contains("<img"); }));
    QToolTip::hideText();

    f2.Text1->setText(m_out.path());
    f2.PushButton6_Click();
    EXPECT_EQ(QDir(m_out.path()).entryList(QDir::Files), (QStringList{"a-reduced.pcx", "b-reduced.pcx"}));
    EXPECT_EQ(prompts.messageTexts(), QStringList{Messages::kDone});
    expectShown(f2, f2.ListView1);

    f2.PushButton8->setFocus();
    f2.PushButton8_Click();
    expectShown(f1, f1.PushButton2);
    EXPECT_FALSE(f2.isVisible());
    EXPECT_TRUE(QDir(work()).entryList({"tavrik*"}, QDir::Files).isEmpty());

    // A second run shows the results in the same place again.
    f1.PushButton2_Click();
    expectShown(f2, f2.PushButton8);
    EXPECT_EQ(hidden, 0);

    // The desktop's close request reaches the form shown: its copies go, then the program ends.
    std::vector<bool> ended;
    SetService(&Services::endProgram, [&](bool running) { ended.push_back(running); });
    m_window->close();
    EXPECT_EQ(ended, std::vector<bool>{false});
    EXPECT_TRUE(QDir(work()).entryList({"tavrik*"}, QDir::Files).isEmpty());
    EXPECT_TRUE(shownWindows().isEmpty());
}
