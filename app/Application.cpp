#include "Application.h"

#include <cstdio>

namespace {
Application::Handler& installed() {
    static Application::Handler h;
    return h;
}
const void*& installedBy() {
    static const void* owner = nullptr;
    return owner;
}
} // namespace

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

void Application::setErrorHandler(Handler handler, const void* owner) {
    installed() = std::move(handler);
    installedBy() = owner;
}

void Application::removeErrorHandler(const void* owner) {
    if (installedBy() != owner)
        return;
    installed() = nullptr;
    installedBy() = nullptr;
}

void Application::reportException(QObject* sender, const QString& message) noexcept {
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

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        reportException(receiver, QString::fromUtf8(e.what()));
    } catch (...) {
        reportException(receiver, QStringLiteral("Erro desconhecido."));
    }
    return false;
}
