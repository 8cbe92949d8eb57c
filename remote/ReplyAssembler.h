#pragma once

#include "FtpReply.h"

#include <QString>
namespace ftp {

// Builds one reply from its lines. Each line must already be trimmed and not empty.
class ReplyAssembler {
public:
    // True once the reply is complete. A first line without a three-digit code throws.
    bool add(const QString& line);
    const FtpReply& reply() const { return m_reply; }

private:
    FtpReply m_reply;
    QString m_code;
    bool m_started = false;
};

} // namespace ftp
