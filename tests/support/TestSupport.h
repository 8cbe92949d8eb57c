#pragma once

#include <QByteArray>
#include <QString>

// Path of a file below tests/fixtures (e.g. "nfe/nfe-400.xml").
QString fixturePath(const QString& relative);
// Path below the source tree (e.g. "scripts/ftpserver.py").
QString sourcePath(const QString& relative);

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& data); // creates missing folders

// The real NF-e fixtures and where a storage run files each: issuer CNPJ and yyyymm.
struct FixtureNfe {
    const char* file;
    const char* emitente;
    const char* mes;
};
extern const FixtureNfe kFixturesNfe[5];
