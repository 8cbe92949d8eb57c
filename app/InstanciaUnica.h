#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One copy of the program per user. The first copy holds a lock on a file of the user's
// runtime folder (the kernel lets it go when the process ends, however it ends) and
// listens on a local socket beside it; a later copy finds the lock taken and asks the
// first, through the socket, to show its window.
class TInstanciaUnica : public QObject {
    Q_OBJECT
public:
    // `pastaLocal`: the user's private runtime folder (pastaLocalDeExecucao()).
    explicit TInstanciaUnica(QString pastaLocal, QObject* parent = nullptr);
    ~TInstanciaUnica() override;

    // Takes the lock. True when no other copy holds it; this copy then listens for the
    // requests of later ones. False when another copy runs.
    bool primeira();

    // From a later copy: asks the running one to show its window, trying for up to
    // `esperaMs` while it is still starting. False when it did not answer.
    bool pedirJanela(int esperaMs = 5000);

signals:
    // A later copy asked for the window.
    void janelaPedida();

private:
    void atender();

    QString m_trava;
    QString m_soquete;
    int m_fd = -1;
    QLocalServer* m_servidor = nullptr;
};

// $XDG_RUNTIME_DIR, or else /tmp/quarvel-<uid>, made and checked to be the user's own and
// private. Empty when no such folder can be had.
QString pastaLocalDeExecucao();
