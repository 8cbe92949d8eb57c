#pragma once

#include "NFeReader.h"

#include <QLocale>
#include <QString>
#include <QTemporaryDir>
#include <utility>
#include <vector>

// The regional decimal separators the reader is given in the program.
inline QString pontoBrasil() {
    return QLocale(QLocale::Portuguese, QLocale::Brazil).decimalPoint();
}
inline QString pontoC() { return QLocale::c().decimalPoint(); }

// A small complete NF-e 4.00, one element per piece so that cases can replace any of them.
QByteArray nfeMinima();

// nfeMinima() with each (from, to) replaced once; fails the test when `from` is absent.
QByteArray nfeCom(const std::vector<std::pair<QString, QString>>& trocas);

// Writes `bytes` as folder/name in a fresh temporary folder, reads it under Brazilian
// settings (sVirgula "S") and checks that the read left the file unchanged.
struct Leitura {
    bool ok = false;
    QString motivo; // what() of TNFeIlegivel
    TDadosNFe dados;
};
Leitura lerComo(const QByteArray& bytes, const QString& name = QStringLiteral("nota.xml"),
                const QString& sVirgula = QStringLiteral("S"),
                const QString& decimalPoint = pontoBrasil());

// Any field of TDadosNFe as text (date ISO, number shortest round-trip), by its name.
QString campo(const TDadosNFe& d, const QString& nome);
