#pragma once

#include <QString>
#include <stdexcept>

// A failed FTP operation. what() is UTF-8 text; code() is the server's reply code, or 0 when
// the failure is local (socket, time-out, refused command text, garbage from the server).
class FtpError : public std::runtime_error {
public:
    FtpError(int code, const QString& message);
    int code() const { return m_code; }

private:
    int m_code;
};
