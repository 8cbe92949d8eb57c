#pragma once

#include "DadosNFe.h"
#include "DbSettings.h"
#include "QuarvelConstants.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

typedef struct st_mysql MYSQL;

// The data module: owner of the one connection to the remote database "kelvaro_doc", the
// registry of stored documents (table docs) and the named counters (table sequenciais).
// Not thread-safe; everything runs on the window thread.
class Tdmdb {
public:
    // Creation runs DataModuleCreate(), which calls dataModuleCreate (the application reads
    // its configuration there).
    explicit Tdmdb(std::function<void()> dataModuleCreate = {}, DbSettings settings = {});
    ~Tdmdb();
    Tdmdb(const Tdmdb&) = delete;
    Tdmdb& operator=(const Tdmdb&) = delete;

    void DataModuleCreate();

    // Opens the connection unless the client side already holds one; sends nothing then.
    void ConectarBanco();
    bool Conectado() const;
    // Before a run's first statement: a session that failed or was refused a statement is
    // replaced, and an open one is asked once whether the server still holds it (an idle
    // time-out, a restart or a KILL close it without a word), and replaced when not.
    void IniciarExecucao();

    // What RegistrarDocumento found or did.
    struct TRegistro {
        QString arquivo;   // the name of the document's copy in its remote folder
        bool novo = false; // a row was inserted and waits for ConfirmarRegistro
    };

    // A document's row as the registry holds it.
    struct TDocumentoRegistrado {
        qulonglong id = 0;
        QString arquivo;   // the name of the document's copy in its remote folder
        QString chave_doc; // as the row holds it: the access key, or a text without one
    };

    // Finds the document in its folder `pasta`: the row with its access key (chave_doc of 44
    // digits) wins; otherwise a row without a key that has its number, series, recipient,
    // date and total (cnumdoc, cserie, ccnpj_destino, demissao, nvalortotal), the oldest
    // first. A row with another key is never the document.
    std::optional<TDocumentoRegistrado> LocalizarDocumento(const TDadosNFe& dados,
                                                           const QString& pasta);

    // A row of an account: where its document's copy lies.
    struct TLinha {
        qulonglong id = 0;
        QString arquivo;
        QString pasta;
    };
    // Every row of the account sCNPJ (folders below /arqs/<sCNPJ>/), in the order written.
    // Reads only; outside a pending registration.
    std::vector<TLinha> LinhasDaConta(const QString& sCNPJ);

    // Registers one document, once, in two steps: find the document (LocalizarDocumento); if
    // it is not registered, pick a free name for its copy and insert its row. A document
    // found gets no second row: its copy's name is returned, and where its row held no key
    // and the file states one, the row takes that key. A new row goes under the file name
    // `arquivo`, or under the first free "nota (2).xml", ... when another document's row
    // holds that name in `pasta`, inside a transaction that stays open until
    // ConfirmarRegistro (the file reached the FTP server) or DesfazerRegistro (it did not).
    // From the lookup until ConfirmarRegistro or DesfazerRegistro, whether the document was
    // found or inserted, the server's named lock of `pasta` is held, so that other copies
    // registering into that folder, or uploading another version of the same document, wait
    // their turn (up to DbSettings::lockTimeout, then this fails).
    TRegistro RegistrarDocumento(const TDadosNFe& dados, const QString& arquivo,
                                 const QString& pasta);
    void ConfirmarRegistro();
    void DesfazerRegistro() noexcept;

    // Advances the named counter and returns its value before the call; 0 on any failure.
    int Seql(const QString& sTipo) noexcept;

private:
    // The statements of the registry, prepared once per connection.
    struct TComandos;

    void executar(const char* sql);
    void fecharConexao() noexcept;
    void travarPasta(const QString& pasta);
    void liberarPasta() noexcept;
    // The one rule after a failed statement: a lost connection is closed (the server rolls
    // back what it held), anything else rolls the open transaction back.
    void desfazer(unsigned code) noexcept;
    // Runs `passo`, applying that rule to any failure before it goes on.
    template <typename Passo> auto protegido(Passo&& passo) -> decltype(passo());
    TComandos& comandos();
    TRegistro registrarUmaVez(const TDadosNFe& dados, const QString& arquivo, const QString& pasta);
    std::optional<TDocumentoRegistrado> localizar(const TDadosNFe& dados, const QString& pasta);
    QString nomeLivre(const QString& arquivo, const QString& pasta);
    int avancarContador(const QString& sTipo);

    std::function<void()> m_dataModuleCreate;
    DbSettings m_servidor;
    MYSQL* m_mysql = nullptr;
    std::unique_ptr<TComandos> m_comandos;
    bool m_registroPendente = false;
    bool m_pastaTravada = false; // this session holds the named lock of m_nomeTrava
    QByteArray m_nomeTrava;
    bool m_sessaoFalhou = false; // a statement failed or was refused on this session
};

// The name of the server's lock that serialises the registrations into `pasta` of one
// database: at most 64 characters, whatever the folder's length.
QByteArray nomeTravaPasta(const QString& database, const QString& pasta);
