#pragma once

#include "ListaPendente.h"

#include <QString>

// What a storage run drives in the window.
class TJanelaArmazenamento {
public:
    virtual ~TJanelaArmazenamento() = default;
    virtual void pararTimer() = 0;
    virtual void habilitarTimerEBotoes() = 0;
    virtual void desabilitarBotoes() = 0;
    // The folder the listing starts from: the one chosen in the window.
    virtual QString pastaLocalListagem() const = 0;
    // Shows the pending-file list a listing made.
    virtual void mostrarLista(const TListaPendente& lista) = 0;
    // Selects the file's row in both lists, which brings it into view.
    virtual void selecionar(int indice) = 0;
    // Lets the window handle every waiting message, once per file.
    virtual void processarMensagens() = 0;
    // Position of the progress bar; a position past the maximum stops at the maximum.
    virtual void posicionarProgresso(int posicao) = 0;
    virtual void registrarLinha(const QString& linha) = 0;
};
