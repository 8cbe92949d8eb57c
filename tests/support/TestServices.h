#pragma once

#include <QString>

// Endpoints of the private servers that scripts/services started for the tests.
// A missing or incomplete environment file is a hard failure, never a skip.
struct DbEndpoint {
    QString host;
    int port = 0;
    QString password;
    QString socket; // root access without a password, for set-up and checks
};

struct FtpEndpoint {
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString home; // the user's home on disk; holds public_html
};

DbEndpoint testDb();
FtpEndpoint testFtp();

// Value of KEY from the services environment file (or the process environment, which
// wins); throws std::runtime_error with a clear message when it is missing.
QString serviceSetting(const char* key);
