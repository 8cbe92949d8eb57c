#pragma once

#include <QStringList>

struct TOpcoesBusca {
    // Folders whose contents are never listed (the backup tree). Compared by device and
    // inode, so links and doubled separators cannot smuggle them in.
    QStringList excluidas;
};
