#pragma once

#include "PassiveEndpoint.h"

// The text side of the FTP conversation: reply lines, reply codes, PASV addresses, listing
// data and command encoding. Pure functions with no sockets, so the fuzz target and the
// unit tests drive them directly.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <stdexcept>

struct FtpReply {
    int code = 0;
    QStringList text; // the reply's lines without their code

    // The reply's text lines, each followed by CR LF: the message of a refused command.
    QString message() const;
};

namespace ftp {

// Garbage from a server must not grow memory without end.
constexpr qsizetype kMaxLineBytes = 64 * 1024;
constexpr qsizetype kMaxReplyBytes = 1024 * 1024;
constexpr qsizetype kMaxListingBytes = 64 * 1024 * 1024;

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

// The address and port of a 227 reply's first text line. Throws on missing, non-numeric or
// out-of-range numbers: a guessed address would send the data somewhere else.
PassiveEndpoint parsePasv(const QString& line);

// Listing data split at CR LF, CR or LF; a break at the very end starts no further line.
QStringList splitListing(const QString& data);

} // namespace ftp
