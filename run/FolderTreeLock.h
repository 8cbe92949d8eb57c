#pragma once

#include <QByteArray>
#include <vector>

// Keeps other processes of this machine, of any user, from working on an overlapping folder
// tree at the same moment: the same folder, a folder inside it or a folder that holds it.
// It locks the folders themselves with flock(), which needs no shared lock file and no write
// permission anywhere: an exclusive lock on the tree's root and shared locks on every folder
// above it. Two trees overlap exactly when the root of one is the root of the other or one
// of the folders above it, and then an exclusive lock meets a lock of the other tree. Paths
// are resolved first, so symbolic links do not hide an overlap. The kernel lets the locks go
// when the process ends, however it ends.
class FolderTreeLock {
public:
    enum class Result {
        Acquired,
        Busy,        // another process holds an overlapping tree
        Unsupported, // the tree's root cannot be opened or locked here (e.g. some network file
                     // systems); nothing is held
    };

    FolderTreeLock() = default;
    ~FolderTreeLock() { release(); }
    FolderTreeLock(const FolderTreeLock&) = delete;
    FolderTreeLock& operator=(const FolderTreeLock&) = delete;

    // Never waits.
    Result acquire(const QByteArray& folder);
    void release() noexcept;

private:
    std::vector<int> m_fds;
};
