#pragma once

#include <QString>
namespace ftp {

struct PassiveEndpoint {
    QString address; // dotted IPv4
    int port = 0;
};

} // namespace ftp
