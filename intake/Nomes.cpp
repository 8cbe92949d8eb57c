#include "Nomes.h"

#include <QList>
#include <QStringDecoder>

namespace {

template <typename S> S numerado(const S& nome, int k, const S& abre, const S& fecha) {
    if (k <= 1)
        return nome;
    const qsizetype ponto = nome.lastIndexOf('.');
    const qsizetype corte = ponto > 0 ? ponto : nome.size();
    S r = nome.left(corte);
    r += abre;
    r += S::number(k);
    r += fecha;
    r += nome.mid(corte);
    return r;
}

// Characters that would break a log line or a list entry: C0, DEL, C1 and the Unicode line
// and paragraph separators.
bool controle(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029;
}

void escapar(QString& out, char32_t c) {
    switch (c) {
    case '\n':
        out += QLatin1String("\\n");
        return;
    case '\r':
        out += QLatin1String("\\r");
        return;
    case '\t':
        out += QLatin1String("\\t");
        return;
    default:
        break;
    }
    if (c < 0x100)
        out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QChar(u'0'));
    else
        out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QChar(u'0'));
}

bool precisaEscapar(const QString& s) {
    for (QChar c : s)
        if (controle(c.unicode()))
            return true;
    return false;
}

} // namespace

bool nomeDePastaSeguro(const QString& nome) {
    if (nome.isEmpty())
        return false;
    for (QChar c : nome) {
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z')))
            return false;
    }
    return true;
}

QString nomeNumerado(const QString& nome, int k) {
    return numerado(nome, k, QStringLiteral(" ("), QStringLiteral(")"));
}

QByteArray nomeNumerado(const QByteArray& nome, int k) {
    return numerado(nome, k, QByteArray(" ("), QByteArray(")"));
}

std::optional<QString> nomeComoTexto(const QByteArray& nativo) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString texto = utf8(nativo);
    if (utf8.hasError() || nativo.contains('\0'))
        return std::nullopt;
    return texto;
}

QString nomeLegivel(const QString& nome) {
    if (!precisaEscapar(nome))
        return nome;
    QString out;
    for (char32_t c : nome.toUcs4()) {
        if (controle(c))
            escapar(out, c);
        else
            out += QString::fromUcs4(&c, 1);
    }
    return out;
}

QString nomeLegivel(const QByteArray& nativo) {
    if (const std::optional<QString> texto = nomeComoTexto(nativo))
        return nomeLegivel(*texto);
    // Decode the valid runs; every byte that starts no valid sequence is shown as \xHH.
    QString out;
    qsizetype i = 0;
    const qsizetype n = nativo.size();
    while (i < n) {
        qsizetype fim = i;
        std::optional<QString> trecho;
        // The longest valid prefix (at most 4 bytes per character) decides the next step.
        for (qsizetype len = 1; len <= 4 && i + len <= n; ++len) {
            const QByteArray parte = nativo.mid(i, len);
            if (auto t = nomeComoTexto(parte); t && !t->isEmpty()) {
                trecho = t;
                fim = i + len;
                break;
            }
        }
        if (trecho) {
            out += nomeLegivel(*trecho);
            i = fim;
        } else {
            escapar(out, static_cast<unsigned char>(nativo[i]));
            ++i;
        }
    }
    return out;
}
