#pragma once

#include <QApplication>
#include <functional>

// The application object with the program's catch-all: an exception escaping any event
// handler reaches the installed handler (ErrorFound) instead of ending the process.
class Application : public QApplication {
public:
    using Handler = std::function<void(QObject* sender, const QString& message)>;

    Application(int& argc, char** argv);

    // Installs the catch-all handler on behalf of `owner`; removeErrorHandler(owner) takes it
    // away again unless another owner installed its own since.
    static void setErrorHandler(Handler handler, const void* owner = nullptr);
    static void removeErrorHandler(const void* owner);
    bool notify(QObject* receiver, QEvent* event) override;

    // Hands a caught exception to the installed handler; without one, to stderr.
    static void reportException(QObject* sender, const QString& message) noexcept;
};

// Runs fn; any exception it throws goes to the catch-all handler. For code that runs
// outside QApplication::notify (constructors, tests without the application subclass).
template <typename Fn> void guarded(QObject* sender, Fn&& fn) noexcept {
    try {
        fn();
    } catch (const std::exception& e) {
        Application::reportException(sender, QString::fromUtf8(e.what()));
    } catch (...) {
        Application::reportException(sender, QStringLiteral("Erro desconhecido."));
    }
}
