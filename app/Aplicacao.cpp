#include "Aplicacao.h"

#include <cstdio>

namespace {
TQuarvelApplication::Handler& installed() {
    static TQuarvelApplication::Handler h;
    return h;
}
const void*& installedBy() {
    static const void* owner = nullptr;
    return owner;
}
} // namespace

TQuarvelApplication::TQuarvelApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void TQuarvelApplication::setErrorHandler(Handler handler, const void* owner) {
    installed() = std::move(handler);
    installedBy() = owner;
}

void TQuarvelApplication::removeErrorHandler(const void* owner) {
    if (installedBy() != owner)
        return;
    installed() = nullptr;
    installedBy() = nullptr;
}

void TQuarvelApplication::reportException(QObject* sender, const QString& message) noexcept {
    try {
        if (installed()) {
            installed()(sender, message);
            return;
        }
        std::fprintf(stderr, "quarvel: %s\n", message.toLocal8Bit().constData());
    } catch (...) {
        // The handler itself failed: nothing sensible is left to do but go on.
    }
}

bool TQuarvelApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        reportException(receiver, QString::fromUtf8(e.what()));
    } catch (...) {
        reportException(receiver, QStringLiteral("Erro desconhecido."));
    }
    return false;
}
