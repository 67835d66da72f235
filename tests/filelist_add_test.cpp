// Filling the list: the open-file dialog, "Add All" and drops onto the list.
#include "app/form1.h"
#include "core/session.h"
#include "core/settings.h"
#include "filelist/addfolder.h"
#include "support/test_env.h"
#include "widgets/qtprompts.h"

#include <QCoreApplication>
#include <QDir>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

namespace {

void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write("PCX");
}

Prompts::OpenFileResult picked(const QStringList& paths)
{
    Prompts::OpenFileResult r;
    r.paths = paths;
    return r;
}

}  // namespace

class AddTest : public AppTest {
protected:
    Form1& form() { return Forms::form1(); }
    QStringList rows() { return form().ListView1->rowTexts(); }
    QString path(const QString& rel) const { return m_tree.path() + "/" + rel; }
    QTemporaryDir m_tree;
};

TEST_F(AddTest, DialogAddsOneFileAsItIsAndSeveralEachInItsOwnFolder)
{
    prompts.files.push_back(picked({"/pics//one.pcx"}));
    prompts.files.push_back(picked({"/pics/a.pcx", "/pics/b.pcx", "/pics/a.pcx"}));
    // Picked from recent files or a search: every file keeps its own folder.
    prompts.files.push_back(picked({"/r1.pcx", "/home/u/recent//r2.pcx", "/srv/x.pcx"}));
    form().PushButton1_Click();
    form().PushButton1_Click();
    form().PushButton1_Click();
    EXPECT_EQ(rows(), (QStringList{"/pics//one.pcx", "/pics/a.pcx", "/pics/b.pcx", "/pics/a.pcx",
                                   "/r1.pcx", "/home/u/recent/r2.pcx", "/srv/x.pcx"}));
    // Qt's dialog shows the description as it is when it names its pattern already.
    EXPECT_EQ(QtDialogFilter("All PCX Files (*.pcx)|*.pcx|"), "All PCX Files (*.pcx)");
    EXPECT_EQ(QtDialogFilter("Pictures|*.pcx;*.png|All|*"), "Pictures (*.pcx *.png);;All (*)");

    ASSERT_EQ(prompts.fileRequests.size(), 3u);
    const auto& o = prompts.fileRequests.front();
    EXPECT_EQ(o.title, "Add File(s) - Hold Ctrl or Shift to select multiple files");
    EXPECT_EQ(o.filter, "All PCX Files (*.pcx)|*.pcx|");
    EXPECT_TRUE(o.multiSelect);
    EXPECT_TRUE(o.initialName.isEmpty());
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(AddTest, DialogCancelAddsNothingAndAnOverfullSelectionSaysSo)
{
    form().PushButton1_Click();  // cancel
    Prompts::OpenFileResult full = picked({});
    full.bufferTooSmall = true;
    prompts.files.push_back(full);
    form().PushButton1_Click();
    EXPECT_EQ(form().ListView1->rowCount(), 0);
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, "You've selected too many files to add.\n\n"
                                        "Please try adding via the \"Add All\" button.");
    EXPECT_EQ(prompts.messages[0].buttons, Prompts::Buttons::Ok);
    EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::None);
    EXPECT_TRUE(prompts.messages[0].caption.isEmpty());
}

TEST_F(AddTest, AddAllAsksExtensionAndFolderRemembersBothAndShowsBusyWhileScanning)
{
    touch(path("a.pcx"));
    touch(path("sub/b.PCX"));
    touch(path("sub/c.txt"));

    // Cancel at the prompt: nothing stored, nothing asked further.
    form().PushButton3_Click();
    EXPECT_EQ(prompts.inputDefaults, QStringList{"pcx"});
    EXPECT_EQ(prompts.inputPrompts.front(),
              "Enter file extension to load:\n\n"
              "(* for all files, txt for all txt files, doc for all doc files, etc.)");
    EXPECT_TRUE(prompts.folderStarts.isEmpty());

    // Cancel at the browser: the extension is kept, the last folder is not.
    prompts.inputs.push_back("txt");
    form().PushButton3_Click();
    EXPECT_EQ(Settings::get(Settings::kExtension), "txt");
    EXPECT_EQ(Settings::get(Settings::kLastFolder), "");
    EXPECT_EQ(form().ListView1->rowCount(), 0);

    prompts.inputs.push_back("pcx");
    prompts.folders.push_back(m_tree.path());
    bool busyDuringScan = false;
    QTimer::singleShot(0, [&] { busyDuringScan = form().isBusy(); });
    form().PushButton3_Click();
    EXPECT_TRUE(busyDuringScan);
    EXPECT_EQ(form().mousePointer(), kPointerDefault);
    EXPECT_EQ(rows(), (QStringList{path("a.pcx"), path("sub/b.PCX")}));
    EXPECT_EQ(form().ListView1->rowTags(), QStringList(2, path("")));
    EXPECT_EQ(Settings::get(Settings::kLastFolder), m_tree.path());

    // The next time proposes what was typed and opens where the user was.
    prompts.inputs.push_back("*");
    form().PushButton3_Click();
    EXPECT_EQ(prompts.inputDefaults.back(), "pcx");
    EXPECT_EQ(prompts.folderStarts.back(), m_tree.path());
    EXPECT_EQ(prompts.messages.size(), 0u);
}

TEST_F(AddTest, AddAllTakesTheExtensionWithItsDotOrWildcardAndKeepsWhatWasMeant)
{
    touch(path("a.pcx"));
    touch(path("sub/b.PCX"));
    touch(path("c.txt"));
    struct Case {
        QString typed;
        QString stored;
        QStringList added;  // after a.pcx and b.PCX the list is cleared again
    };
    const QStringList pcx{path("a.pcx"), path("sub/b.PCX")};
    const Case cases[] = {
        {".pcx", "pcx", pcx},
        {"*.PCX", "PCX", pcx},
        {" *.pcx ", "pcx", pcx},
        {"Pcx", "Pcx", pcx},
        {"*.*", "*", {path("a.pcx"), path("c.txt"), path("sub/b.PCX")}},
        {".*", "*", {path("a.pcx"), path("c.txt"), path("sub/b.PCX")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        form().ListView1->clearRows();
        prompts.inputs.push_back(c.typed);
        prompts.folders.push_back(m_tree.path());
        form().PushButton3_Click();
        EXPECT_EQ(rows(), c.added);
        EXPECT_EQ(Settings::get(Settings::kExtension), c.stored);
    }
    // Nothing left once the dot and wildcard are read: as an empty answer, nothing is asked
    // further and the stored extension stays.
    for (const QString& typed : {QStringLiteral("."), QStringLiteral("*."), QStringLiteral("  ")}) {
        const qsizetype asked = prompts.folderStarts.size();
        prompts.inputs.push_back(typed);
        form().PushButton3_Click();
        EXPECT_EQ(prompts.folderStarts.size(), asked) << typed.toStdString();
        EXPECT_EQ(Settings::get(Settings::kExtension), "*");
    }
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(AddTest, HidingTheWindowLeavesAScanRunningClosingItStopsIt)
{
    for (int i = 0; i < 200; ++i)
        touch(path(QStringLiteral("d%1/f.pcx").arg(i)));
    form().show();
    // A run hides the main window on purpose; the scan's rows are still wanted.
    QTimer::singleShot(0, [&] { form().hide(); });
    EXPECT_EQ(AddFolderTree(form().ListView1, m_tree.path(), "*.pcx"), 200);
    form().show();
    std::vector<bool> ended;
    SetService(&Services::endProgram, [&](bool running) { ended.push_back(running); });
    QTimer::singleShot(0, [&] { form().close(); });
    EXPECT_LT(AddFolderTree(form().ListView1, m_tree.path(), "*.pcx"), 200);
    ResetService(&Services::endProgram);
    EXPECT_EQ(ended, std::vector<bool>{true});
}

TEST_F(AddTest, ADroppedFolderIsScannedWhollyWhileTheWindowRefusesToStartARun)
{
    for (int i = 0; i < 300; ++i)
        touch(path(QStringLiteral("d%1/f%1.pcx").arg(i)));
    form().show();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(m_tree.path())});
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    form().ListView1_OLEDragDrop(&drop);
    // Busy from the drop on, before the scan even starts.
    EXPECT_TRUE(form().isBusy());
    bool busyDuringScan = false;
    QTimer::singleShot(0, [&] {
        busyDuringScan = form().isBusy();
        form().PushButton2_Click();
    });
    while (form().isBusy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    EXPECT_TRUE(busyDuringScan);
    EXPECT_EQ(form().ListView1->rowCount(), 300);
    EXPECT_TRUE(form().isVisible());
    EXPECT_EQ(Forms::form2IfLoaded(), nullptr);
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(AddTest, DragOverAcceptsLocalFilesOnlyAndNeverAsAMove)
{
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(path("a.pcx"))});
    QDragMoveEvent over(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &files, Qt::LeftButton,
                        Qt::NoModifier);
    over.setDropAction(Qt::MoveAction);
    form().ListView1_OLEDragOver(&over);
    EXPECT_TRUE(over.isAccepted());
    EXPECT_EQ(over.dropAction(), Qt::CopyAction);

    QMimeData text;
    text.setText("just words");
    QDragMoveEvent textOver(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    form().ListView1_OLEDragOver(&textOver);
    EXPECT_FALSE(textOver.isAccepted());

    QMimeData web;
    web.setUrls({QUrl("https://example.org/a.pcx")});
    QDragMoveEvent webOver(QPoint(5, 5), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
    form().ListView1_OLEDragOver(&webOver);
    EXPECT_FALSE(webOver.isAccepted());

    QDropEvent textDrop(QPointF(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    form().ListView1_OLEDragDrop(&textDrop);
    QCoreApplication::processEvents();
    EXPECT_EQ(form().ListView1->rowCount(), 0);
}

TEST_F(AddTest, DropAddsFilesAsDeliveredAndWholeFoldersOnceEach)
{
    touch(path("loose.txt"));
    touch(path("one/x.pcx"));
    touch(path("one/deep/y.doc"));
    touch(path("one/~x.pcx"));
    touch(path("one/.state"));
    touch(path("two/z.pcx"));
    form().ListView1->addRow(path("loose.txt"));

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path("loose.txt")), QUrl::fromLocalFile(path("one")),
                  QUrl("https://example.org/skip.pcx"), QUrl::fromLocalFile(path("two")),
                  QUrl::fromLocalFile(path("gone.pcx"))});
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                    Qt::NoModifier);
    form().ListView1_OLEDragDrop(&drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
    QCoreApplication::processEvents();

    EXPECT_EQ(rows(), (QStringList{path("loose.txt"), path("loose.txt"), path("one/x.pcx"),
                                   path("one/deep/y.doc"), path("two/z.pcx"), path("gone.pcx")}));
    // Each row of a dropped folder remembers it, for a save keeping subfolders; a file dropped
    // or added on its own remembers none.
    EXPECT_EQ(form().ListView1->rowTags(), (QStringList{"", "", path("one/"), path("one/"), path("two/"), ""}));
}
