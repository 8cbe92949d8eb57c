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
