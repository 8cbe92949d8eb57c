#include "DirectoryListBox.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QStyle>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <stdexcept>

DirectoryListBox::DirectoryListBox(QWidget* parent) : QListWidget(parent) {}

void DirectoryListBox::setDirectory(const QString& path) {
    const QString full = QDir::cleanPath(QDir(path).absolutePath());
    const QByteArray native = QFile::encodeName(full);
    DIR* probe = ::opendir(native.constData());
    if (!probe) {
        const int err = errno;
        throw std::runtime_error(QStringLiteral("Não foi possível abrir a pasta \"%1\": %2")
                                     .arg(path, QString::fromLocal8Bit(std::strerror(err)))
                                     .toStdString());
    }
    ::closedir(probe);

    m_directory = full;
    clear();
    const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);

    // The chain from the root down to the current folder, each level indented.
    QStringList parts = full.split(u'/', Qt::SkipEmptyParts);
    QString acc = QStringLiteral("/");
    auto add = [this](const QIcon& icon, const QString& text, const QString& target, int depth) {
        auto* item = new QListWidgetItem(icon, QString(depth * 2, u' ') + text, this);
        item->setData(Qt::UserRole, target);
        return item;
    };
    QListWidgetItem* current = add(open, QStringLiteral("/"), acc, 0);
    for (int i = 0; i < parts.size(); ++i) {
        acc = (acc == u"/" ? acc : acc + u'/') + parts[i];
        current = add(open, parts[i], acc, i + 1);
    }
    const QDir dir(full);
    const QStringList subs = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                                           QDir::Name | QDir::IgnoreCase);
    for (const QString& s : subs)
        add(closed, s, dir.filePath(s), int(parts.size()) + 1);
    setCurrentItem(current);

    if (m_dirLabel) {
        m_dirLabel->setText(full);
        m_dirLabel->adjustSize();
    }
    refreshFiles();
}

void DirectoryListBox::refreshFiles() {
    if (!m_fileList)
        return;
    m_fileList->clear();
    if (m_directory.isEmpty())
        return;
    // Display only, with the mask "*.xml" (without regard to case, as the mask works).
    m_fileList->addItems(QDir(m_directory)
                             .entryList({QStringLiteral("*.xml")}, QDir::Files | QDir::Hidden,
                                        QDir::Name | QDir::IgnoreCase));
}

bool DirectoryListBox::openItem(QListWidgetItem* item) {
    const QString target = item ? item->data(Qt::UserRole).toString() : QString();
    if (target.isEmpty() || target == m_directory)
        return false;
    setDirectory(target);
    return true;
}
