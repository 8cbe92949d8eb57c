#pragma once

#include "QuarvelConstants.h"

#include <QString>

// The FTP endpoint of the document host. The defaults are the program's compiled constants.
struct FtpSettings {
    QString host = QStringLiteral(QUARVEL_FTP_HOST);
    int port = QUARVEL_FTP_PORT;
    QString user = QStringLiteral(QUARVEL_FTP_USER);
    QString password = QStringLiteral(QUARVEL_FTP_PASSWORD);
    bool tls = QUARVEL_FTP_TLS;
    QString caFile = QStringLiteral(QUARVEL_FTP_CA_FILE); // empty: the system's authorities
};
