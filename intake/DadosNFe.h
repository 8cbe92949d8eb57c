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
    // The access key the document states (44 digits), or without one the file-name text.
    QString chave_doc;

    // How complete the file is: with the authorisation protocol (protNFe), signed (the
    // invoice's ds:Signature).
    bool protocolada = false;
    bool assinada = false;

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

// Which of two files of one document the web keeps: the protocolled one, else the signed one.
inline int completude(const TDadosNFe& d) { return d.protocolada ? 2 : d.assinada ? 1 : 0; }

// "yyyymm" and "mmyyyy" of a date, digits only.
inline QString yyyymm(const QDate& d) { return d.toString(QStringLiteral("yyyyMM")); }
inline QString mmyyyy(const QDate& d) { return d.toString(QStringLiteral("MMyyyy")); }

inline QString comporPasta(const QString& sCNPJ, const QString& ccnpjOrigem, const QDate& d) {
    return QStringLiteral("/arqs/") + sCNPJ + u'/' + ccnpjOrigem + u'/' + yyyymm(d);
}
