#pragma once

#include <QDate>
#include <QString>

// The fields read from one NF-e file, named after the registry parameters they feed.
struct TDadosNFe {
    QString versao;
    QString cnumdoc;
    QDate demissao; // calendar date, no time of day
    QString cserie;
    QString ccnpj_origem;
    QString cnome_origem;
    QString ccnpj_destino;
    QString cnome_destino;
    double nvalortotal = 0.0;
    QString chave_doc;

    // The invoice's own access key (44 digits) where the document states one: chNFe of its
    // protocol, else the Id of infNFe ("NFe" + key); empty otherwise. Unlike chave_doc it never
    // comes from the file name, which tells a document apart only when it is made of the key.
    QString chaveAcesso;

    // Composed within the read: the bare file name (registry `arquivo`) and the remote
    // folder "/arqs/" + sCNPJ + "/" + ccnpj_origem + "/" + yyyymm.
    QString arquivo;
    QString pasta;
};

// An NF-e access key: exactly 44 ASCII digits.
inline bool chaveDeAcesso(const QString& s) {
    if (s.size() != 44)
        return false;
    for (QChar c : s)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

// "yyyymm" and "mmyyyy" of a date, digits only.
inline QString yyyymm(const QDate& d) { return d.toString(QStringLiteral("yyyyMM")); }
inline QString mmyyyy(const QDate& d) { return d.toString(QStringLiteral("MMyyyy")); }

inline QString composePasta(const QString& sCNPJ, const QString& ccnpjOrigem, const QDate& d) {
    return QStringLiteral("/arqs/") + sCNPJ + u'/' + ccnpjOrigem + u'/' + yyyymm(d);
}
