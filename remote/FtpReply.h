#pragma once

// The text side of the FTP conversation: reply lines, reply codes, PASV addresses, listing
// data and command encoding. Pure functions with no sockets, so the fuzz target and the
// unit tests drive them directly.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
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

struct FtpReply {
    int code = 0;
    QStringList text; // the reply's lines without their code

    // The reply's text lines, each followed by CR LF: the message of a refused command.
    QString message() const;
};

namespace ftp {

// Garbage from a server must not grow memory without end.
constexpr qsizetype MaxLineBytes = 64 * 1024;
constexpr qsizetype MaxReplyBytes = 1024 * 1024;
constexpr qsizetype MaxListingBytes = 64 * 1024 * 1024;

enum class Encoding { Latin1, Utf8 };

QString decode(const QByteArray& bytes, Encoding encoding);

// The bytes of a command line, or nothing when the text cannot be carried whole in that
// encoding (a character above 255 in Latin-1, a broken surrogate pair in UTF-8).
std::optional<QByteArray> encode(const QString& text, Encoding encoding);

// Blanks and control characters (anything up to U+0020) removed at both ends.
QString trimBlanks(const QString& text);

// The text with control characters shown as \r, \n or \xNN, cut after `max` characters:
// for error messages that quote what a server or a caller gave.
QString visible(const QString& text, qsizetype max = 80);

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

struct PassiveEndpoint {
    QString address; // dotted IPv4
    int port = 0;
};

// The address and port of a 227 reply's first text line. Throws on missing, non-numeric or
// out-of-range numbers: a guessed address would send the data somewhere else.
PassiveEndpoint parsePasv(const QString& line);

// Listing data split at CR LF, CR or LF; a break at the very end starts no further line.
QStringList splitListing(const QString& data);

} // namespace ftp
