// Server bytes through the client's reply reading, as the control connection hands them
// over: split into chunks, cut into lines, decoded, trimmed and assembled into replies,
// with the first text line of each reply also read as a PASV answer. The first input byte
// picks the encoding and the chunk size.

#include "FtpError.h"
#include "FtpReply.h"
#include "LineBuffer.h"
#include "PassiveEndpoint.h"
#include "ReplyAssembler.h"

#include <cstddef>
#include <cstdint>

using namespace ftp;

namespace {

void checkReply(const FtpReply& r) {
    if (r.code < 100 || r.code > 599 || r.text.isEmpty())
        __builtin_trap();
    try {
        const PassiveEndpoint e = parsePasv(r.text.first());
        if (e.port <= 0 || e.port > 65535 || e.address.count(u'.') != 3)
            __builtin_trap();
    } catch (const FtpError&) {
    }
    (void)r.message();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const Encoding encoding = data[0] & 1 ? Encoding::Utf8 : Encoding::Latin1;
    const size_t chunk = 1 + (data[0] >> 1);
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const qsizetype total = qsizetype(size - 1);

    LineBuffer buffer;
    ReplyAssembler assembler;
    qsizetype consumed = 0;
    for (qsizetype at = 0; at < total; at += qsizetype(chunk)) {
        buffer.append(bytes + at, qMin<qsizetype>(qsizetype(chunk), total - at));
        while (const std::optional<QByteArray> raw = buffer.takeLine()) {
            consumed += raw->size() + 1;
            const QString line = trimBlanks(decode(*raw, encoding));
            if (line.isEmpty())
                continue;
            try {
                if (assembler.add(line)) {
                    checkReply(assembler.reply());
                    assembler = ReplyAssembler();
                    consumed = 0;
                }
            } catch (const FtpError&) {
                assembler = ReplyAssembler(); // the client drops the connection here
            }
            if (consumed > kMaxReplyBytes)
                assembler = ReplyAssembler();
        }
        if (buffer.size() > kMaxLineBytes + qsizetype(chunk))
            __builtin_trap(); // a partial line the client would have refused long ago
        if (buffer.size() > kMaxLineBytes)
            buffer.clear();
    }

    // The same bytes as listing data, and as a command the client would encode.
    const QString text = decode(QByteArray(bytes, total), encoding);
    const QStringList lines = splitListing(text);
    if (!text.isEmpty() && lines.isEmpty())
        __builtin_trap();
    if (const std::optional<QByteArray> out = encode(text, encoding))
        if (decode(*out, encoding) != text)
            __builtin_trap(); // an encoded command must say exactly what the caller asked
    (void)visible(text);
    return 0;
}
