#pragma once

#include <QListWidget>
#include <QString>

class QLabel;
class QListWidget;

// The folder tree of the window: the chain of folders from the root down to the current
// one, then the current folder's subfolders. Activating an entry opens it. It shows its
// path in a label and the XML files of the current folder in a file list.
class DirectoryListBox : public QListWidget {
    Q_OBJECT
public:
    explicit DirectoryListBox(QWidget* parent = nullptr);

    void setDirLabel(QLabel* label) { m_dirLabel = label; }
    void setFileList(QListWidget* fileList) { m_fileList = fileList; }

    // Opens `path`; throws std::runtime_error when it does not exist or cannot be read,
    // leaving the current folder as it was.
    void setDirectory(const QString& path);
    // The current folder: a full path, ending with "/" only when it is the root. Empty
    // while no folder could be opened.
    QString directory() const { return m_directory; }

    // Shows the XML files of the current folder as they are now.
    void refreshFiles();

    // Opens the folder an entry stands for; returns false when it is the current one.
    // Throws as setDirectory does.
    bool openItem(QListWidgetItem* item);

private:
    QString m_directory;
    QLabel* m_dirLabel = nullptr;
    QListWidget* m_fileList = nullptr;
};
