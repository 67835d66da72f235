// The folder browser: where it opens, the tree's order, and picking a folder by its path.
#include "support/files.h"
#include "support/test_env.h"
#include "widgets/folderbrowser.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

namespace {

const QString kPrompt = QStringLiteral("Please select folder:");

QStringList childTexts(const QTreeWidgetItem* item)
{
    QStringList texts;
    for (int i = 0; i < item->childCount(); ++i)
        texts << item->child(i)->text(0);
    return texts;
}

QTreeWidgetItem* topOf(QTreeWidgetItem* item)
{
    while (item && item->parent())
        item = item->parent();
    return item;
}

bool okEnabled(const FolderBrowser& b)
{
    return b.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->isEnabled();
}

}  // namespace

// A home folder of the test's own, so where the browser opens does not depend on the machine.
class BrowserTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        ASSERT_TRUE(m_home.isValid() && m_elsewhere.isValid());
        for (const char* d : {"Pictures/2024", "b", "a", "A", ".hidden"})
            ASSERT_TRUE(QDir(home()).mkpath(d));
        writeFile(home() + "/notes.txt", "not a folder");
    }
    QString home() const { return m_home.path(); }
    QString elsewhere() const { return m_elsewhere.path(); }

    QTemporaryDir m_home, m_elsewhere;
    ScopedEnv m_homeEnv{"HOME", m_home.path()};
};

TEST_F(BrowserTest, HomeComesFirstThenRootAndTheBrowserOpensAtTheStartFolderOrElseAtHome)
{
    const QStringList roots = BrowserRootFolders();
    ASSERT_GE(roots.size(), 2);
    EXPECT_EQ(roots.mid(0, 2), (QStringList{home(), "/"}));

    // No start folder, or one that is gone: the home folder, its subfolders in name order.
    for (const QString& start : {QString(), elsewhere() + "/missing"}) {
        FolderBrowser b(nullptr, kPrompt, start);
        EXPECT_EQ(b.tree()->topLevelItem(0)->text(0), home());
        EXPECT_EQ(b.tree()->topLevelItem(1)->text(0), "/");
        EXPECT_EQ(b.selectedFolder(), home());
        EXPECT_EQ(b.statusText(), home());
        EXPECT_TRUE(okEnabled(b));
        ASSERT_EQ(b.tree()->currentItem(), b.tree()->topLevelItem(0));
        EXPECT_EQ(childTexts(b.tree()->currentItem()), (QStringList{"A", "a", "b", "Pictures"}));
    }

    // A start folder below home opens under home; one elsewhere under "/".
    FolderBrowser below(nullptr, kPrompt, home() + "/Pictures/2024/");
    EXPECT_EQ(below.selectedFolder(), home() + "/Pictures/2024");
    EXPECT_EQ(FolderBrowser::itemFolder(below.tree()->currentItem()), home() + "/Pictures/2024");
    EXPECT_EQ(topOf(below.tree()->currentItem()), below.tree()->topLevelItem(0));
    FolderBrowser other(nullptr, kPrompt, elsewhere());
    EXPECT_EQ(FolderBrowser::itemFolder(other.tree()->currentItem()), elsewhere());
    EXPECT_EQ(topOf(other.tree()->currentItem())->text(0), "/");

    // Choosing in the tree shows the path.
    below.tree()->setCurrentItem(below.tree()->currentItem()->parent());
    EXPECT_EQ(below.statusText(), home() + "/Pictures");

    // Volumes beside "/" are those a user keeps files on.
    EXPECT_TRUE(IsUserVolume("/media/u/STICK", "vfat"));
    EXPECT_TRUE(IsUserVolume("/run/media/u/disk", "ext4"));
    EXPECT_TRUE(IsUserVolume("/srv/share", "nfs4"));
    EXPECT_FALSE(IsUserVolume("/", "ext4"));
    EXPECT_FALSE(IsUserVolume("/proc", "proc"));
    EXPECT_FALSE(IsUserVolume("/boot/efi", "vfat"));
    EXPECT_FALSE(IsUserVolume("/snap/core/1", "squashfs"));
}

TEST_F(BrowserTest, ATypedOrPastedPathSelectsItsFolderAndOnlyAFolderCanBeTaken)
{
    FolderBrowser b(nullptr, kPrompt, QString());
    struct Case {
        QString typed;
        QString folder;  // empty: OK stays disabled
        bool inTree;
    };
    const Case cases[] = {
        {home() + "//a/", home() + "/a", true},
        {"~/Pictures/2024", home() + "/Pictures/2024", true},
        {elsewhere(), elsewhere(), true},
        {"~/.hidden", home() + "/.hidden", false},  // taken, though the tree hides it
        {home() + "/nothing", QString(), false},
        {home() + "/notes.txt", QString(), false},
        {"Pictures", QString(), false},  // relative to nothing the user can see
        {QString(), QString(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        b.pathField()->setText(c.typed);
        EXPECT_EQ(b.selectedFolder(), c.folder);
        EXPECT_EQ(okEnabled(b), !c.folder.isEmpty());
        EXPECT_EQ(FolderBrowser::itemFolder(b.tree()->currentItem()), c.inTree ? c.folder : QString());
        // The line keeps what was typed; the tree follows it, not the other way round.
        EXPECT_EQ(b.statusText(), c.typed);
    }
}

TEST_F(BrowserTest, KeyboardOnlyTabToThePathTypeAndEnterWithOrWithoutTheCompletionList)
{
    FolderBrowser b(nullptr, kPrompt, QString());
    b.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&b));
    EXPECT_EQ(b.focusWidget(), b.tree());
    QTest::keyClick(b.focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(b.focusWidget(), b.pathField());
    // Focus by Tab selects the whole line, so typing replaces it.
    QTest::keyClicks(b.pathField(), home() + "/Pictures");
    EXPECT_EQ(b.statusText(), home() + "/Pictures");
    QTest::keyClick(b.pathField(), Qt::Key_Return);
    EXPECT_EQ(b.result(), QDialog::Accepted);
    EXPECT_FALSE(b.isVisible());
    EXPECT_EQ(b.selectedFolder(), home() + "/Pictures");

    // Completion offers folders only; Enter while the list is open still means OK.
    QDir(home()).mkpath("Pictures/2023");
    writeFile(home() + "/Pictures/2022.pcx", "a file");
    FolderBrowser c(nullptr, kPrompt, QString());
    c.show();
    c.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&c));
    c.pathField()->setFocus();
    c.pathField()->clear();
    // Typed as a person types: the folders load between the keys.
    QTest::keyClicks(c.pathField(), home() + "/Pictures/20", Qt::NoModifier, 10);
    QAbstractItemView* list = c.completer()->popup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->isVisible() && list->model()->rowCount() == 2; }));
    QStringList offered;
    for (int i = 0; i < list->model()->rowCount(); ++i)
        offered << list->model()->index(i, 0).data().toString();
    offered.sort();
    EXPECT_EQ(offered, (QStringList{"2023", "2024"}));
    QTest::keyClicks(list, "23");
    ASSERT_EQ(c.statusText(), home() + "/Pictures/2023");
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(c.result(), QDialog::Accepted);
    EXPECT_EQ(c.selectedFolder(), home() + "/Pictures/2023");
}

TEST_F(BrowserTest, NewFolderIsMadeInsideTheSelectedOneAndSelectedOrTheBrowserSaysWhyNot)
{
    FolderBrowser b(nullptr, kPrompt, home() + "/Pictures");
    b.show();
    b.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&b));
    QPushButton* button = nullptr;
    for (QPushButton* p : b.findChildren<QPushButton*>())
        if (p->text() == "&New Folder")
            button = p;
    ASSERT_NE(button, nullptr);
    const QString pictures = home() + "/Pictures";

    // By the button: listed in name order among its siblings and selected.
    prompts.inputs.push_back("2023");
    button->click();
    EXPECT_TRUE(QDir(pictures + "/2023").exists());
    EXPECT_EQ(b.selectedFolder(), pictures + "/2023");
    EXPECT_EQ(FolderBrowser::itemFolder(b.tree()->currentItem()), pictures + "/2023");
    EXPECT_EQ(childTexts(b.tree()->currentItem()->parent()), (QStringList{"2023", "2024"}));
    EXPECT_EQ(prompts.inputDefaults.back(), "New Folder");

    // By the key, under the name proposed (a cancel makes nothing); the next proposal beside
    // it is numbered.
    b.pathField()->setText(pictures);
    QTest::keyClick(&b, Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(prompts.inputPrompts.size(), 2);
    prompts.inputs.push_back(prompts.inputDefaults.back());
    QTest::keyClick(&b, Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(b.selectedFolder(), pictures + "/New Folder");
    b.pathField()->setText(pictures);
    QTest::keyClick(&b, Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(prompts.inputDefaults.back(), "New Folder 2");
    EXPECT_TRUE(prompts.messages.empty());

    // A name that cannot be made says why, and the selection stays.
    struct Bad {
        QString name;
        QString why;
    };
    const Bad bad[] = {
        {"2024", "A file or folder of that name is already there."},
        {"a/b", "A folder name cannot contain \"/\"."},
        {"..", "\".\" and \"..\" name folders that are always there."},
        {QString(300, 'x'), "File name too long."},
    };
    for (const Bad& c : bad) {
        prompts.inputs.push_back(c.name);
        button->click();
        ASSERT_FALSE(prompts.messages.empty());
        EXPECT_EQ(prompts.messages.back().text,
                  "The folder \"" + c.name + "\" could not be made.\n\n" + c.why);
        EXPECT_EQ(prompts.messages.back().icon, Prompts::Icon::Warning);
        EXPECT_EQ(b.selectedFolder(), pictures);
    }
    EXPECT_EQ(prompts.messages.size(), std::size(bad));
    EXPECT_FALSE(QDir(pictures + "/a").exists());

    // Without a selected folder there is nowhere to make one.
    b.pathField()->setText(home() + "/nothing");
    EXPECT_FALSE(button->isEnabled());
    const qsizetype asked = prompts.inputPrompts.size();
    QTest::keyClick(&b, Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(prompts.inputPrompts.size(), asked);
    EXPECT_FALSE(QDir(home() + "/nothing").exists());
}
