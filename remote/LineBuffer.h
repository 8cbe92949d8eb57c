#pragma once

#include <QByteArray>
#include <optional>
namespace ftp {

// Bytes received on a control connection, handed out line by line.
class LineBuffer {
public:
    void append(const char* data, qsizetype size);
    // The next complete line without its LF and without a CR just before the LF.
    std::optional<QByteArray> takeLine();
    // Bytes not yet handed out (a partial line, or lines still to take).
    qsizetype size() const { return m_data.size() - m_pos; }
    bool isEmpty() const { return size() == 0; }
    void clear();

private:
    QByteArray m_data;
    qsizetype m_pos = 0;
};

} // namespace ftp
