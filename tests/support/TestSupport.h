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

// While alive, the calling thread meets file permissions as any user does, though the tests
// run as root: its effective CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH are dropped, and given
// back at the end. A file of mode 000 then cannot be opened.
class PermissionsEnforced {
public:
    PermissionsEnforced();
    ~PermissionsEnforced();
    PermissionsEnforced(const PermissionsEnforced&) = delete;
    PermissionsEnforced& operator=(const PermissionsEnforced&) = delete;

private:
    bool m_dropped = false;
};

// Paths of any length: walked a level at a time from "/" with openat, so that a tree longer
// than the system's limit can be made, looked at and removed.
// Makes `levels` folders named `segment` one below the other, starting at `folder`; returns
// the native path of the deepest.
QByteArray makeFolderChain(const QByteArray& folder, const QByteArray& segment, int levels);
void writeFileAt(const QByteArray& path, const QByteArray& data);
bool existsAt(const QByteArray& path);
void removeTree(const QByteArray& path);
