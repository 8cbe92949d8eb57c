#include "FtpError.h"

FtpError::FtpError(int code, const QString& message)
    : std::runtime_error(message.toUtf8().toStdString()), m_code(code) {}
