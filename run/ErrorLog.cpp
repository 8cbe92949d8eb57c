#include "ErrorLog.h"

namespace {

// The first run of characters between two fields of a date or time format.
QString separadorDoFormato(const QString& fmt, const QString& letras, const QString& padrao) {
    qsizetype i = 0;
    bool quoted = false;
    while (i < fmt.size() && !letras.contains(fmt[i]))
        ++i;
    while (i < fmt.size() && letras.contains(fmt[i]))
        ++i;
    QString sep;
    for (; i < fmt.size(); ++i) {
        const QChar c = fmt[i];
        if (c == u'\'') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && letras.contains(c))
            break;
        sep.append(c);
    }
    return sep.isEmpty() ? padrao : sep;
}

} // namespace

QString separadorData(const QLocale& locale) {
    return separadorDoFormato(locale.dateFormat(QLocale::ShortFormat), QStringLiteral("dMy"),
                              QStringLiteral("/"));
}

QString separadorHora(const QLocale& locale) {
    return separadorDoFormato(locale.timeFormat(QLocale::ShortFormat), QStringLiteral("hHm"),
                              QStringLiteral(":"));
}

QString carimboLog(const QDateTime& quando, const QLocale& locale) {
    const QString ds = separadorData(locale);
    const QString ts = separadorHora(locale);
    const QDate d = quando.date();
    const QTime t = quando.time();
    auto two = [](int v) { return QString::number(v).rightJustified(2, u'0'); };
    return two(d.day()) + ds + two(d.month()) + ds +
           QString::number(d.year()).rightJustified(4, u'0') + u' ' + two(t.hour()) + ts +
           two(t.minute()) + u' ';
}

QString linhaArquivoIlegivel(const QDateTime& quando, const QLocale& locale, const QString& nome,
                             const QString& motivo) {
    QString linha = carimboLog(quando, locale) + QStringLiteral("Erro ao processar o arquivo: ") + nome;
    if (!motivo.isEmpty())
        linha += QStringLiteral(" (") + motivo + u')';
    return linha + u'\n';
}

QString linhaFalha(const QDateTime& quando, const QLocale& locale, const QString& mensagem) {
    return carimboLog(quando, locale) + u' ' + mensagem;
}
