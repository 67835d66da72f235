#include "core/folderbrowser.h"

#include "core/globals.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

FolderBrowser::FolderBrowser(QWidget* owner, const QString& prompt, const QString& startFolder)
    : QDialog(owner), m_startFolder(startFolder)
{
    setWindowTitle(Globals::appTitle());
    auto* layout = new QVBoxLayout(this);
    auto* promptLabel = new QLabel(prompt, this);
    promptLabel->setWordWrap(true);
    layout->addWidget(promptLabel);

    m_model = new QFileSystemModel(this);
    m_model->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
    m_model->setReadOnly(true);
    m_model->setRootPath(QString());  // the whole file system, from its roots

    m_tree = new QTreeView(this);
    m_tree->setModel(m_model);
    m_tree->setHeaderHidden(true);
    for (int c = 1; c < m_model->columnCount(); ++c)
        m_tree->hideColumn(c);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_tree->header()->setStretchLastSection(false);
    layout->addWidget(m_tree, 1);

    m_status = new QLabel(this);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status->setMinimumWidth(360);
    layout->addWidget(m_status);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { selectionChanged(); });
    resize(440, 480);

    // Open at the start folder when it exists; otherwise nothing is selected.
    if (!startFolder.isEmpty() && QFileInfo(startFolder).isDir()) {
        const QModelIndex start = m_model->index(QDir::fromNativeSeparators(startFolder));
        if (start.isValid()) {
            m_tree->setCurrentIndex(start);
            m_tree->scrollTo(start);
            // The tree fills in as folders are read; keep the start folder in view meanwhile.
            connect(m_model, &QFileSystemModel::directoryLoaded, this, [this](const QString&) {
                if (m_tree->currentIndex().isValid())
                    m_tree->scrollTo(m_tree->currentIndex());
            });
        }
    }
    selectionChanged();
}

QString FolderBrowser::selectedFolder() const
{
    const QModelIndex current = m_tree->currentIndex();
    if (!current.isValid() || !m_model->isDir(current))
        return QString();
    const QString path = m_model->filePath(current);
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return QString();
    return QDir::toNativeSeparators(path);
}

QString FolderBrowser::statusText() const { return m_status->text(); }

void FolderBrowser::selectionChanged()
{
    const QString folder = selectedFolder();
    m_status->setText(folder);
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!folder.isEmpty());
}

QString FolderBrowser::getFolder(QWidget* owner, const QString& prompt, const QString& startFolder)
{
    FolderBrowser browser(owner, prompt, startFolder);
    if (browser.exec() != QDialog::Accepted)
        return QString();
    return browser.selectedFolder();
}
