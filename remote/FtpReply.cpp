#include "FtpReply.h"

#include "FtpError.h"
#include "LineBuffer.h"
#include "PassiveEndpoint.h"
#include "ReplyAssembler.h"

#include <charconv>

QString FtpReply::message() const {
    QString m;
    for (const QString& line : text)
        m += line + QStringLiteral("\r\n");
    return m;
}

namespace ftp {

QString decode(const QByteArray& bytes, Encoding encoding) {
    return encoding == Encoding::Utf8 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

std::optional<QByteArray> encode(const QString& text, Encoding encoding) {
    if (encoding == Encoding::Latin1) {
        QByteArray out;
        out.reserve(text.size());
        for (QChar c : text) {
            if (c.unicode() > 0xFF)
                return std::nullopt;
            out.append(char(c.unicode()));
        }
        return out;
    }
    // toUtf8 would silently put U+FFFD in place of a lone surrogate.
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return std::nullopt;
            ++i;
        } else if (c.isLowSurrogate()) {
            return std::nullopt;
        }
    }
    return text.toUtf8();
}

QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 0x20)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}

QString visible(const QString& text, qsizetype max) {
    QString out;
    const qsizetype n = qMin(text.size(), max);
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c < 0x20 || c == 0x7F)
            out += QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'));
        else
            out += text.at(i);
    }
    if (text.size() > max)
        out += QStringLiteral("...");
    return out;
}

void LineBuffer::append(const char* data, qsizetype size) {
    // Drop what was handed out before growing, so a long conversation does not pile up.
    if (m_pos > 0 && m_pos >= m_data.size() / 2) {
        m_data.remove(0, m_pos);
        m_pos = 0;
    }
    m_data.append(data, size);
}

std::optional<QByteArray> LineBuffer::takeLine() {
    const qsizetype lf = m_data.indexOf('\n', m_pos);
    if (lf < 0)
        return std::nullopt;
    qsizetype end = lf;
    if (end > m_pos && m_data.at(end - 1) == '\r')
        --end;
    QByteArray line = m_data.mid(m_pos, end - m_pos);
    m_pos = lf + 1;
    if (m_pos == m_data.size())
        clear();
    return line;
}

void LineBuffer::clear() {
    m_data.clear();
    m_pos = 0;
}

bool ReplyAssembler::add(const QString& line) {
    if (!m_started) {
        QString code = trimBlanks(line.left(4));
        if (code.endsWith(u'-'))
            code.chop(1);
        const bool valid = code.size() == 3 && code.at(0) >= u'1' && code.at(0) <= u'5' &&
                           code.at(1).isDigit() && code.at(2).isDigit() &&
                           code.at(1).unicode() < 0x80 && code.at(2).unicode() < 0x80;
        if (!valid)
            throw FtpError(0, QStringLiteral("The FTP server sent a reply without a valid code: "
                                             "\"%1\"")
                                  .arg(visible(line)));
        m_started = true;
        m_code = code;
        m_reply.code = code.toInt();
        m_reply.text.append(line.mid(4));
        return !(line.size() >= 4 && line.at(3) == u'-');
    }
    const bool last = line.startsWith(m_code) && (line.size() == 3 || line.at(3) == u' ');
    m_reply.text.append(line.startsWith(m_code) ? line.mid(4) : line);
    return last;
}

namespace {

// A decimal number 0..255 with optional blanks around it.
std::optional<int> byteField(const QString& field) {
    const QByteArray digits = trimBlanks(field).toLatin1();
    if (digits.isEmpty() || digits.size() > 3)
        return std::nullopt;
    int value = -1;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value < 0 || value > 255)
        return std::nullopt;
    return value;
}

} // namespace

PassiveEndpoint parsePasv(const QString& line) {
    const QString text = trimBlanks(line);
    QString part;
    const qsizetype open = text.indexOf(u'(');
    if (open < 0) {
        part = text.mid(text.lastIndexOf(u' ') + 1);
    } else {
        const qsizetype close = text.indexOf(u')', open + 1);
        part = close < 0 ? text.mid(open + 1) : text.mid(open + 1, close - open - 1);
    }
    const QStringList fields = part.split(u',');
    int n[6] = {};
    bool ok = fields.size() >= 6;
    for (int i = 0; ok && i < 6; ++i) {
        const std::optional<int> v = byteField(fields.at(i));
        ok = v.has_value();
        if (ok)
            n[i] = *v;
    }
    const int port = n[4] * 256 + n[5];
    if (!ok || port == 0)
        throw FtpError(0, QStringLiteral("The FTP server sent an unusable passive address: "
                                         "\"%1\"")
                              .arg(visible(text)));
    return {QStringLiteral("%1.%2.%3.%4").arg(n[0]).arg(n[1]).arg(n[2]).arg(n[3]), port};
}

QStringList splitListing(const QString& data) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < data.size(); ++i) {
        const QChar c = data.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(data.mid(start, i - start));
        if (c == u'\r' && i + 1 < data.size() && data.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < data.size())
        lines.append(data.mid(start));
    return lines;
}

} // namespace ftp
