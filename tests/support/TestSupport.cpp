#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

QString fixturePath(const QString& relative) {
    return QStringLiteral(QUARVEL_TEST_FIXTURES_DIR) + u'/' + relative;
}

QString sourcePath(const QString& relative) {
    return QStringLiteral(QUARVEL_SOURCE_DIR) + u'/' + relative;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

const FixtureNfe kFixturesNfe[5] = {
    {"nfeproc-310-protocolada.xml", "58716523000119", "201703"},
    {"nfe-310-dest-cpf.xml", "58716523000119", "201512"},
    {"nfeproc-400-protocolada.xml", "06929383000163", "201809"},
    {"nfce-400-sem-prologo.xml", "23285089000185", "202003"},
    {"nfe-400.xml", "52567322000119", "202104"},
};
