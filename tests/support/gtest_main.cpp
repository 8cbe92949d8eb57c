// One main for every test executable: a QApplication on the offscreen platform, so that
// widget tests and plain tests share it, with the C library's numeric locale kept at "C"
// as the program itself does.
#include <QApplication>
#include <QByteArray>
#include <clocale>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        // Qt wants a private runtime folder; a root shell without a session has none.
        const QByteArray dir = "/tmp/quarvel-runtime-" + QByteArray::number(::getuid());
        ::mkdir(dir.constData(), 0700);
        qputenv("XDG_RUNTIME_DIR", dir);
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    return RUN_ALL_TESTS();
}
