#include "widgets/folderbrowser.h"

#include "core/fileops.h"
#include "core/globals.h"
#include "core/messages.h"
#include "core/prompts.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStorageInfo>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {

constexpr int kFolderRole = Qt::UserRole;
constexpr int kFilledRole = Qt::UserRole + 1;

// The folder text names: absolute, or from the home folder with a leading "~"; cleaned of
// doubled and trailing separators. Empty when it names no existing folder. A relative path
// is refused rather than read against whatever the working folder happens to be.
QString existingFolder(const QString& text)
{
    QString path = QDir::fromNativeSeparators(text);
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
        path = QDir::homePath() + path.mid(1);
    if (!QDir::isAbsolutePath(path))
        return QString();
    path = QDir::cleanPath(path);
    return FolderExists(path) ? path : QString();
}

// True when folder is root or lies below it.
bool isWithin(const QString& folder, const QString& root)
{
    if (root == QLatin1String("/"))
        return folder.startsWith(QLatin1Char('/'));
    return folder == root || folder.startsWith(root + QLatin1Char('/'));
}

void describeFolderItem(QTreeWidgetItem* item, const QString& label, const QString& folder)
{
    item->setText(0, label);
    item->setData(0, kFolderRole, folder);
    // Whether it has subfolders is known once it is opened.
    item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
}

}  // namespace

bool IsUserVolume(const QString& rootPath, const QByteArray& fileSystemType)
{
    static const QList<QByteArray> network = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "fuse.sshfs"};
    if (rootPath == QLatin1String("/"))
        return false;
    if (network.contains(fileSystemType))
        return true;
    for (const char* place : {"/media/", "/run/media/", "/mnt/"})
        if (rootPath.startsWith(QLatin1String(place)))
            return true;
    return false;
}

QString MakeFolder(const QString& parent, const QString& name, QString& why)
{
    why.clear();
    if (name.contains(QLatin1Char('/')))
        why = Messages::kNewFolderSlash;
    else if (name == QLatin1String(".") || name == QLatin1String(".."))
        why = Messages::kNewFolderDots;
    if (!why.isEmpty())
        return QString();
    const QString folder = parent.endsWith(QLatin1Char('/')) ? parent + name : parent + QLatin1Char('/') + name;
    if (::mkdir(QFile::encodeName(folder).constData(), 0777) == 0)
        return folder;
    const int err = errno;
    why = err == EEXIST ? Messages::kNewFolderExists
                        : QString::fromLocal8Bit(std::strerror(err)) + QLatin1Char('.');
    return QString();
}

QString ProposedFolderName(const QString& parent)
{
    const QString prefix = parent.endsWith(QLatin1Char('/')) ? parent : parent + QLatin1Char('/');
    QString name = Messages::kNewFolderName;
    for (int n = 2; PathExists(prefix + name); ++n)
        name = Messages::kNewFolderName + QLatin1Char(' ') + QString::number(n);
    return name;
}

QStringList BrowserRootFolders()
{
    QStringList roots;
    const QString home = QDir::cleanPath(QDir::homePath());
    if (FolderExists(home) && home != QLatin1String("/"))
        roots << home;
    roots << QStringLiteral("/");
    QStringList volumes;
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes()) {
        const QString root = QDir::cleanPath(v.rootPath());
        if (v.isValid() && v.isReady() && IsUserVolume(root, v.fileSystemType())
            && !roots.contains(root) && !volumes.contains(root))
            volumes << root;
    }
    std::sort(volumes.begin(), volumes.end(), NameOrderLess);
    return roots + volumes;
}

FolderBrowser::FolderBrowser(QWidget* owner, const QString& prompt, const QString& startFolder)
    : QDialog(owner)
{
    setWindowTitle(Globals::appTitle());
    auto* layout = new QVBoxLayout(this);
    auto* promptLabel = new QLabel(prompt, this);
    promptLabel->setWordWrap(true);
    layout->addWidget(promptLabel);

    m_tree = new QTreeWidget(this);
    m_tree->setHeaderHidden(true);
    m_tree->setColumnCount(1);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_tree->header()->setStretchLastSection(false);
    m_tree->setAccessibleName(Messages::kFolderTreeName);
    layout->addWidget(m_tree, 1);
    for (const QString& root : BrowserRootFolders())
        addFolderItem(nullptr, QDir::toNativeSeparators(root), root);

    // The status line: the selected folder's path, which the user may also type or paste.
    auto* pathRow = new QHBoxLayout;
    auto* pathLabel = new QLabel(Messages::kFolderFieldLabel, this);
    m_path = new QLineEdit(this);
    m_path->setAccessibleName(Messages::kFolderFieldName);
    m_path->setMinimumWidth(360);
    pathLabel->setBuddy(m_path);
    pathRow->addWidget(pathLabel);
    pathRow->addWidget(m_path, 1);
    layout->addLayout(pathRow);

    auto* folders = new QFileSystemModel(this);
    folders->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    folders->setReadOnly(true);
    folders->setRootPath(QString());
    m_completer = new QCompleter(folders, this);
    m_path->setCompleter(m_completer);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_newFolder = m_buttons->addButton(Messages::kNewFolderButton, QDialogButtonBox::ActionRole);
    m_newFolder->setToolTip(Messages::kTipNewFolder);
    m_newFolder->setAutoDefault(false);
    layout->addWidget(m_buttons);
    connect(m_newFolder, &QPushButton::clicked, this, [this] { newFolder(); });
    auto* newFolderKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N), this);
    connect(newFolderKey, &QShortcut::activated, this, [this] { newFolder(); });
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_tree, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { fill(item); });
    connect(m_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { treeCurrentChanged(current); });
    // Typed, pasted or completed alike.
    connect(m_path, &QLineEdit::textChanged, this, [this] { pathEdited(); });
    connect(m_path, &QLineEdit::returnPressed, this, [this] { pathReturnPressed(); });
    setTabOrder(m_tree, m_path);
    resize(440, 480);

    const QString start = existingFolder(startFolder);
    const QString opening = start.isEmpty() ? existingFolder(QDir::homePath()) : start;
    m_path->setText(QDir::toNativeSeparators(opening));
    updateOk();
    // The folder it opens at shows what lies below it.
    if (QTreeWidgetItem* current = m_tree->currentItem())
        current->setExpanded(true);
    m_tree->setFocus();
}

QTreeWidgetItem* FolderBrowser::addFolderItem(QTreeWidgetItem* parent, const QString& label,
                                              const QString& folder)
{
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_tree);
    describeFolderItem(item, label, folder);
    return item;
}

QString FolderBrowser::itemFolder(const QTreeWidgetItem* item)
{
    return item ? item->data(0, kFolderRole).toString() : QString();
}

void FolderBrowser::fill(QTreeWidgetItem* item)
{
    if (item->data(0, kFilledRole).toBool())
        return;
    item->setData(0, kFilledRole, true);
    const QString folder = itemFolder(item);
    QStringList names = QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    std::sort(names.begin(), names.end(), NameOrderLess);
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    for (const QString& name : std::as_const(names))
        addFolderItem(item, name, prefix + name);
    item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

bool FolderBrowser::reveal(const QString& folder)
{
    // The most particular top folder that holds it: the home folder before "/".
    QTreeWidgetItem* item = nullptr;
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* top = m_tree->topLevelItem(i);
        if (isWithin(folder, itemFolder(top)) && (!item || itemFolder(top).size() > itemFolder(item).size()))
            item = top;
    }
    if (!item)
        return false;
    const QString rest = folder.mid(itemFolder(item).size());
    for (const QString& name : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        fill(item);
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < item->childCount() && !next; ++i)
            if (item->child(i)->text(0) == name)
                next = item->child(i);
        if (!next)
            return false;
        item->setExpanded(true);
        item = next;
    }
    m_tree->setCurrentItem(item);
    m_tree->scrollToItem(item, QAbstractItemView::PositionAtCenter);
    return true;
}

void FolderBrowser::treeCurrentChanged(QTreeWidgetItem* current)
{
    if (m_following || !current)
        return;
    m_following = true;
    m_path->setText(QDir::toNativeSeparators(itemFolder(current)));
    m_following = false;
    updateOk();
}

void FolderBrowser::pathEdited()
{
    if (m_following)
        return;
    m_following = true;
    const QString folder = existingFolder(m_path->text());
    if (folder.isEmpty() || !reveal(folder))
        m_tree->setCurrentItem(nullptr);
    m_following = false;
    updateOk();
}

void FolderBrowser::pathReturnPressed()
{
    // With the completion list open, Enter closes the list and never reaches the dialog; it
    // still means OK unless the user has moved to one of the completions.
    const QAbstractItemView* list = m_completer->popup();
    if (list->isVisible() && !list->currentIndex().isValid() && !selectedFolder().isEmpty())
        accept();
}

void FolderBrowser::updateOk()
{
    const bool chosen = !selectedFolder().isEmpty();
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(chosen);
    m_newFolder->setEnabled(chosen);
}

void FolderBrowser::newFolder()
{
    const QString parent = existingFolder(m_path->text());
    if (parent.isEmpty())
        return;
    const QString name =
        prompts().inputBox(Messages::kNewFolderPrompt, QString(), ProposedFolderName(parent));
    if (name.isEmpty())
        return;
    QString why;
    const QString made = MakeFolder(parent, name, why);
    if (made.isEmpty()) {
        msgBox(Messages::kNewFolderFailed.arg(name, why), Prompts::Buttons::Ok, Prompts::Icon::Warning);
        return;
    }
    addMadeFolder(parent, made);
    m_path->setText(QDir::toNativeSeparators(made));
}

void FolderBrowser::addMadeFolder(const QString& parent, const QString& folder)
{
    QTreeWidgetItem* item = m_tree->currentItem();
    if (itemFolder(item) != parent || !item->data(0, kFilledRole).toBool())
        return;  // listed with the others when the parent is opened
    const QString name = FileNamePart(folder);
    int at = 0;
    while (at < item->childCount() && !NameOrderLess(name, item->child(at)->text(0)))
        ++at;
    auto* made = new QTreeWidgetItem;
    describeFolderItem(made, name, folder);
    item->insertChild(at, made);
}

QString FolderBrowser::selectedFolder() const
{
    return QDir::toNativeSeparators(existingFolder(m_path->text()));
}

QString FolderBrowser::statusText() const { return m_path->text(); }

QString FolderBrowser::getFolder(QWidget* owner, const QString& prompt, const QString& startFolder)
{
    FolderBrowser browser(owner, prompt, startFolder);
    if (browser.exec() != QDialog::Accepted)
        return QString();
    return browser.selectedFolder();
}
