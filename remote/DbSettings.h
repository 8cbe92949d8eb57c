#pragma once

#include "QuarvelConstants.h"

#include <QString>

// Where and how the registry connects. The defaults are the program's compiled constants.
struct DbSettings {
    QString host = QStringLiteral(QUARVEL_DB_HOST);
    unsigned port = QUARVEL_DB_PORT;
    QString database = QStringLiteral(QUARVEL_DB_NAME);
    QString user = QStringLiteral(QUARVEL_DB_USER);
    QString password = QStringLiteral(QUARVEL_DB_PASSWORD);
    QString siteUrl = QStringLiteral(QUARVEL_SITE_URL); // public address of /public_html
    unsigned connectTimeout = 60;                       // seconds
    unsigned readTimeout = 600;
    unsigned writeTimeout = 600;
    // Seconds a registration waits while another copy registers into the same folder.
    unsigned lockTimeout = 60;
    // TLS required, the certificate's chain and its name (host) checked.
    bool tls = QUARVEL_DB_TLS;
    QString caFile = QStringLiteral(QUARVEL_DB_CA_FILE); // empty: the system's authorities
};
