#pragma once

#include <QByteArray>
#include <QString>

// Path of a file below tests/fixtures (e.g. "nfe/nfe-400.xml").
QString fixturePath(const QString& relative);
// Path below the source tree (e.g. "scripts/ftpserver.py").
QString sourcePath(const QString& relative);

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& data); // creates missing folders
