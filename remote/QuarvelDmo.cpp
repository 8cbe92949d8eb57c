#include "QuarvelDmo.h"

#include "DbError.h"
#include "DbSettings.h"
#include "Nomes.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QSet>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <deque>
#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kSelectSequenciais = "SELECT ctipo, iseql  from sequenciais";
constexpr int kTamanhoCtipo = 15;
// A duplicate key means another PC registered the document, or took the name, meanwhile:
// looking again finds it. A few tries bound a table that keeps refusing.
constexpr int kTentativasRegistro = 3;

// The server closed the connection or stopped answering: the handle is useless now.
bool conexaoPerdida(unsigned code) {
    return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST ||
           code == CR_SERVER_LOST_EXTENDED;
}

// An answer of the server to a statement, as opposed to a failure of the client library.
bool recusaDoServidor(unsigned code) {
    return (code >= 1000 && code < CR_MIN_ERROR) || (code > CR_MAX_ERROR && code < CER_MIN_ERROR);
}

[[noreturn]] void lancarErroBanco(unsigned code, const char* message) {
    throw DbError(code, message);
}

[[noreturn]] void lancarErroBanco(MYSQL* m) { lancarErroBanco(mysql_errno(m), mysql_error(m)); }

// Typed parameters, each bound by the name of its column, kept alive until execution. An
// empty text still gets a buffer: a null one is sent as NULL.
class TParametros {
public:
    TParametros& texto(const char* coluna, const QString& valor) {
        return textoCom(coluna, valor.toUtf8(), MYSQL_TYPE_STRING);
    }
    TParametros& textoLongo(const char* coluna, const QString& valor) {
        return textoCom(coluna, valor.toUtf8(), MYSQL_TYPE_LONG_BLOB);
    }
    TParametros& data(const char* coluna, const QDate& d) {
        MYSQL_TIME& t = m_datas.emplace_back();
        std::memset(&t, 0, sizeof t);
        t.year = static_cast<unsigned>(d.year());
        t.month = static_cast<unsigned>(d.month());
        t.day = static_cast<unsigned>(d.day());
        t.time_type = MYSQL_TIMESTAMP_DATETIME;
        MYSQL_BIND& b = novo(coluna);
        b.buffer_type = MYSQL_TYPE_DATETIME;
        b.buffer = &t;
        b.buffer_length = sizeof t;
        return *this;
    }
    TParametros& real(const char* coluna, double v) {
        double& guardado = m_reais.emplace_back(v);
        MYSQL_BIND& b = novo(coluna);
        b.buffer_type = MYSQL_TYPE_DOUBLE;
        b.buffer = &guardado;
        b.buffer_length = sizeof guardado;
        return *this;
    }
    TParametros& inteiro(const char* coluna, long long v) {
        long long& guardado = m_inteiros.emplace_back(v);
        MYSQL_BIND& b = novo(coluna);
        b.buffer_type = MYSQL_TYPE_LONGLONG;
        b.buffer = &guardado;
        return *this;
    }

    // "a, b, c" and "?, ?, ?" for an INSERT of these columns.
    std::string colunas() const {
        std::string r;
        for (const char* c : m_nomes)
            r += (r.empty() ? "" : ", ") + std::string(c);
        return r;
    }
    std::string marcadores() const {
        std::string r;
        for (size_t i = 0; i < m_nomes.size(); ++i)
            r += i ? ", ?" : "?";
        return r;
    }
    MYSQL_BIND* vinculos() { return m_binds.data(); }

private:
    TParametros& textoCom(const char* coluna, QByteArray valor, enum_field_types tipo) {
        static char vazio[] = "";
        QByteArray& guardado = m_textos.emplace_back(std::move(valor));
        unsigned long& tamanho =
            m_tamanhos.emplace_back(static_cast<unsigned long>(guardado.size()));
        MYSQL_BIND& b = novo(coluna);
        b.buffer_type = tipo;
        b.buffer = guardado.isEmpty() ? vazio : guardado.data();
        b.buffer_length = tamanho;
        b.length = &tamanho;
        return *this;
    }
    MYSQL_BIND& novo(const char* coluna) {
        m_nomes.push_back(coluna);
        MYSQL_BIND& b = m_binds.emplace_back();
        std::memset(&b, 0, sizeof b);
        return b;
    }

    // Deques: what a bind points to never moves as more are added.
    std::vector<const char*> m_nomes;
    std::vector<MYSQL_BIND> m_binds;
    std::deque<QByteArray> m_textos;
    std::deque<unsigned long> m_tamanhos;
    std::deque<MYSQL_TIME> m_datas;
    std::deque<double> m_reais;
    std::deque<long long> m_inteiros;
};

// One server-side prepared statement, released when it goes out of scope.
class TComando {
public:
    TComando(MYSQL* m, std::string_view sql) : m_comando(mysql_stmt_init(m)) {
        if (!m_comando)
            lancarErroBanco(m);
        if (mysql_stmt_prepare(m_comando, sql.data(), static_cast<unsigned long>(sql.size()))) {
            // A refused statement (a missing grant, a missing column) is refused here, and no
            // destructor will run for it.
            const DbError error(mysql_stmt_errno(m_comando), mysql_stmt_error(m_comando));
            mysql_stmt_close(m_comando);
            throw error;
        }
    }
    ~TComando() { mysql_stmt_close(m_comando); }
    TComando(const TComando&) = delete;
    TComando& operator=(const TComando&) = delete;

    void vincular(TParametros& p) {
        if (mysql_stmt_bind_param(m_comando, p.vinculos()))
            lancarErroComando();
    }
    void executar() {
        if (mysql_stmt_execute(m_comando))
            lancarErroComando();
    }
    // False when the server refused the statement; other failures raise.
    bool executarSalvoRecusa() {
        if (mysql_stmt_execute(m_comando) == 0)
            return true;
        if (recusaDoServidor(mysql_stmt_errno(m_comando)))
            return false;
        lancarErroComando();
    }
    unsigned long long linhasAfetadas() { return mysql_stmt_affected_rows(m_comando); }

    // Every row of the executed query, each column as text (NULL as nothing).
    std::vector<std::vector<std::optional<QString>>> linhas() {
        MYSQL_RES* meta = mysql_stmt_result_metadata(m_comando);
        if (!meta)
            lancarErroComando();
        const unsigned n = mysql_num_fields(meta);
        mysql_free_result(meta);
        std::vector<MYSQL_BIND> binds(n);
        std::vector<unsigned long> lengths(n);
        std::vector<my_bool> nulls(n);
        std::vector<QByteArray> buffers(n, QByteArray(256, Qt::Uninitialized));
        for (unsigned i = 0; i < n; ++i) {
            std::memset(&binds[i], 0, sizeof binds[i]);
            binds[i].buffer_type = MYSQL_TYPE_STRING;
            binds[i].buffer = buffers[i].data();
            binds[i].buffer_length = static_cast<unsigned long>(buffers[i].size());
            binds[i].length = &lengths[i];
            binds[i].is_null = &nulls[i];
        }
        if (mysql_stmt_bind_result(m_comando, binds.data()) || mysql_stmt_store_result(m_comando))
            lancarErroComando();
        std::vector<std::vector<std::optional<QString>>> out;
        for (;;) {
            const int r = mysql_stmt_fetch(m_comando);
            if (r == MYSQL_NO_DATA)
                break;
            if (r == 1)
                lancarErroComando();
            auto& row = out.emplace_back(n);
            for (unsigned i = 0; i < n; ++i) {
                if (nulls[i])
                    continue;
                if (lengths[i] > binds[i].buffer_length) {
                    // Longer than the buffer: fetch this column again, whole.
                    QByteArray inteiro(qsizetype(lengths[i]), Qt::Uninitialized);
                    MYSQL_BIND b;
                    std::memset(&b, 0, sizeof b);
                    b.buffer_type = MYSQL_TYPE_STRING;
                    b.buffer = inteiro.data();
                    b.buffer_length = lengths[i];
                    if (mysql_stmt_fetch_column(m_comando, &b, i, 0))
                        lancarErroComando();
                    row[i] = QString::fromUtf8(inteiro);
                } else {
                    row[i] = QString::fromUtf8(buffers[i].constData(), qsizetype(lengths[i]));
                }
            }
        }
        mysql_stmt_free_result(m_comando);
        return out;
    }

private:
    [[noreturn]] void lancarErroComando() {
        lancarErroBanco(mysql_stmt_errno(m_comando), mysql_stmt_error(m_comando));
    }
    MYSQL_STMT* m_comando;
};

// A statement of the registry, prepared once per connection.
TComando& preparado(MYSQL* m, std::unique_ptr<TComando>& s, std::string_view sql) {
    if (!s)
        s = std::make_unique<TComando>(m, sql);
    return *s;
}

struct TResultado {
    MYSQL_RES* res;
    ~TResultado() { mysql_free_result(res); }
};

long long lerInteiro(const char* text, unsigned long length) {
    long long v = 0;
    const auto [end, ec] = std::from_chars(text, text + length, v);
    if (ec != std::errc() || end != text + length)
        throw std::runtime_error("Valor inválido em sequenciais.iseql");
    return v;
}

// LIKE pattern of the numbered names of `arquivo` ("nota (%).xml"), with '!' escaping.
QString padraoNumerados(const QString& arquivo) {
    auto escapar = [](QString t) {
        t.replace(u'!', QStringLiteral("!!"));
        t.replace(u'%', QStringLiteral("!%"));
        t.replace(u'_', QStringLiteral("!_"));
        return t;
    };
    const QString modelo = nomeNumerado(arquivo, 2); // "nota (2).xml"
    const qsizetype abre = modelo.lastIndexOf(QStringLiteral(" (2)"));
    return escapar(modelo.left(abre)) + QStringLiteral(" (%)") + escapar(modelo.mid(abre + 4));
}

// Finding a document: the rows of its folder with its access key or with its number, series,
// recipient, date and total, oldest first. The server compares all of them; the texts come
// back so that the caller can compare them again byte for byte, since the customer's
// collation may fold letter case or trailing blanks. The date and the total are compared
// only here, on the server, as the columns hold them.
constexpr std::string_view kBuscaDocumento =
    "SELECT id, pasta, arquivo, chave_doc, cnumdoc, cserie, ccnpj_destino, "
    "(demissao = ? AND nvalortotal = ?) FROM docs WHERE pasta = ? AND ((? AND chave_doc = ?) OR "
    "(cnumdoc = ? AND cserie = ? AND ccnpj_destino = ? AND demissao = ? AND nvalortotal = ?)) "
    "ORDER BY id";

// The names taken in a folder among `arquivo` and its numbered forms.
constexpr std::string_view kBuscaNomes =
    "SELECT pasta, arquivo FROM docs WHERE pasta = ? AND (arquivo = ? OR arquivo LIKE ? ESCAPE "
    "'!')";

// A document registered without its key learns it from a file that states it.
constexpr std::string_view kGravaChave = "UPDATE docs SET chave_doc = ? WHERE id = ?";

} // namespace

QByteArray nomeTravaPasta(const QString& database, const QString& pasta) {
    // Named locks are the whole server's, so the database is part of the name; a hash keeps
    // any folder within the 64 characters MySQL and MariaDB allow.
    const QByteArray chave = database.toUtf8() + '\0' + pasta.toUtf8();
    return "quarvel.docs." +
           QCryptographicHash::hash(chave, QCryptographicHash::Sha256).toHex().left(48);
}

struct Tdmdb::TComandos {
    std::unique_ptr<TComando> busca;
    std::unique_ptr<TComando> nomes;
    std::unique_ptr<TComando> chave;
    std::unique_ptr<TComando> insercao;
    std::unique_ptr<TComando> trava;
    std::unique_ptr<TComando> liberacao;
};

Tdmdb::Tdmdb(std::function<void()> dataModuleCreate, DbSettings settings)
    : m_dataModuleCreate(std::move(dataModuleCreate)), m_servidor(std::move(settings)) {
    DataModuleCreate();
}

Tdmdb::~Tdmdb() { fecharConexao(); }

void Tdmdb::DataModuleCreate() {
    if (m_dataModuleCreate)
        m_dataModuleCreate();
}

bool Tdmdb::Conectado() const { return m_mysql != nullptr; }

void Tdmdb::fecharConexao() noexcept {
    m_comandos.reset(); // statements die with their connection
    if (m_mysql)
        mysql_close(m_mysql);
    m_mysql = nullptr;
    // The server rolls back what the connection left open and lets its locks go.
    m_registroPendente = false;
    m_pastaTravada = false;
    m_sessaoFalhou = false;
}

void Tdmdb::desfazer(unsigned code) noexcept {
    m_registroPendente = false;
    if (!m_mysql)
        return;
    // The next run starts on a new session: this one may be half dead, or hold rights the
    // host has since repaired.
    m_sessaoFalhou = true;
    // After a lost connection or a time-out a rollback would only wait again.
    if (conexaoPerdida(code) || (mysql_rollback(m_mysql) && conexaoPerdida(mysql_errno(m_mysql))))
        fecharConexao();
    else
        liberarPasta();
}

void Tdmdb::travarPasta(const QString& pasta) {
    TComando& trava = preparado(m_mysql, comandos().trava, "SELECT GET_LOCK(?, ?)");
    m_nomeTrava = nomeTravaPasta(m_servidor.database, pasta);
    TParametros p;
    p.texto("nome", QString::fromLatin1(m_nomeTrava))
        .inteiro("segundos", static_cast<long long>(m_servidor.lockTimeout));
    trava.vincular(p);
    trava.executar();
    const auto linhas = trava.linhas();
    if (linhas.size() == 1 && linhas[0].size() == 1 && linhas[0][0] == QStringLiteral("1")) {
        m_pastaTravada = true;
        return;
    }
    throw std::runtime_error(
        QStringLiteral("Outra cópia do programa está registrando documentos na pasta %1; ela "
                       "não foi liberada em %2 s e o arquivo fica para a próxima execução.")
            .arg(pasta)
            .arg(m_servidor.lockTimeout)
            .toStdString());
}

void Tdmdb::liberarPasta() noexcept {
    if (!m_pastaTravada || !m_mysql)
        return;
    m_pastaTravada = false;
    try {
        TComando& liberacao = preparado(m_mysql, comandos().liberacao, "DO RELEASE_LOCK(?)");
        TParametros p;
        p.texto("nome", QString::fromLatin1(m_nomeTrava));
        liberacao.vincular(p);
        liberacao.executar();
    } catch (...) {
        // A lock that stayed would hold every other copy back: without the session it goes.
        fecharConexao();
    }
}

template <typename Passo> auto Tdmdb::protegido(Passo&& passo) -> decltype(passo()) {
    try {
        return passo();
    } catch (const DbError& e) {
        desfazer(e.code());
        throw;
    } catch (...) {
        desfazer(0);
        throw;
    }
}

void Tdmdb::executar(const char* sql) {
    if (mysql_real_query(m_mysql, sql, static_cast<unsigned long>(std::strlen(sql))))
        lancarErroBanco(m_mysql);
}

void Tdmdb::ConectarBanco() {
    if (m_mysql)
        return;
    MYSQL* m = mysql_init(nullptr);
    if (!m)
        throw DbError(CR_OUT_OF_MEMORY, "Memória insuficiente para a conexão com o banco de dados");

    const unsigned connectTimeout = m_servidor.connectTimeout;
    const unsigned readTimeout = m_servidor.readTimeout;
    const unsigned writeTimeout = m_servidor.writeTimeout;
    // TCP even for "localhost", so that the port is always the one configured.
    const unsigned protocol = MYSQL_PROTOCOL_TCP;
    // A server must not be able to ask for our local files.
    const unsigned localInfile = 0;
    const my_bool reconnect = 0; // a silent reconnect would lose the open transaction
    mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
    mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &readTimeout);
    mysql_optionsv(m, MYSQL_OPT_WRITE_TIMEOUT, &writeTimeout);
    mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &protocol);
    mysql_optionsv(m, MYSQL_OPT_LOCAL_INFILE, &localInfile);
    mysql_optionsv(m, MYSQL_OPT_RECONNECT, &reconnect);
    mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const QByteArray caFile = QFile::encodeName(m_servidor.caFile);
    if (m_servidor.tls) {
        const my_bool on = 1;
        mysql_optionsv(m, MYSQL_OPT_SSL_ENFORCE, &on);
        mysql_optionsv(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
        if (!caFile.isEmpty())
            mysql_optionsv(m, MYSQL_OPT_SSL_CA, caFile.constData());
    }

    const QByteArray host = m_servidor.host.toUtf8();
    const QByteArray user = m_servidor.user.toUtf8();
    const QByteArray password = m_servidor.password.toUtf8();
    const QByteArray database = m_servidor.database.toUtf8();
    if (!mysql_real_connect(m, host.constData(), user.constData(), password.constData(),
                            database.constData(), m_servidor.port, nullptr, 0)) {
        const DbError error(mysql_errno(m), mysql_error(m));
        mysql_close(m);
        throw error;
    }
    m_mysql = m;
    m_registroPendente = false;
    m_pastaTravada = false;
    m_sessaoFalhou = false;

    // The handshake cannot tell whether the server took utf8mb4; SET NAMES can. Servers
    // older than utf8mb4 get utf8, which still keeps the accents of the documents.
    if (mysql_set_character_set(m_mysql, "utf8mb4") != 0) {
        const unsigned code = mysql_errno(m_mysql);
        if (!recusaDoServidor(code) || mysql_set_character_set(m_mysql, "utf8") != 0) {
            const DbError error(mysql_errno(m_mysql), mysql_error(m_mysql));
            fecharConexao();
            throw error;
        }
    }
}

void Tdmdb::IniciarExecucao() {
    DesfazerRegistro();
    // mysql_ping without automatic reconnection: one round trip on a live session.
    if (m_mysql && (m_sessaoFalhou || mysql_ping(m_mysql) != 0))
        fecharConexao();
    ConectarBanco();
}

Tdmdb::TRegistro Tdmdb::RegistrarDocumento(const TDadosNFe& dados, const QString& arquivo,
                                           const QString& pasta) {
    const QDate& d = dados.demissao;
    if (!d.isValid() || d.year() < 1 || d.year() > 9999)
        throw std::runtime_error("Data de emissão inválida para o registro do documento");

    // A registration never confirmed belongs to a file that did not reach the FTP server.
    DesfazerRegistro();
    for (int tentativa = 1;; ++tentativa) {
        ConectarBanco();
        try {
            return protegido([&] { return registrarUmaVez(dados, arquivo, pasta); });
        } catch (const DbError& e) {
            if (e.code() != ER_DUP_ENTRY || tentativa == kTentativasRegistro)
                throw;
        }
    }
}

Tdmdb::TComandos& Tdmdb::comandos() {
    if (!m_comandos)
        m_comandos = std::make_unique<TComandos>();
    return *m_comandos;
}

std::optional<Tdmdb::TDocumentoRegistrado> Tdmdb::LocalizarDocumento(const TDadosNFe& dados,
                                                                     const QString& pasta) {
    ConectarBanco();
    return protegido([&] { return localizar(dados, pasta); });
}

std::optional<Tdmdb::TDocumentoRegistrado> Tdmdb::localizar(const TDadosNFe& dados,
                                                            const QString& pasta) {
    const bool comChave = chaveDeAcesso(dados.chave_doc);
    TParametros p;
    p.data("demissao", dados.demissao)
        .real("nvalortotal", dados.nvalortotal)
        .texto("pasta", pasta)
        .inteiro("comChave", comChave) // a text without a key could bring up many rows
        .texto("chave_doc", dados.chave_doc)
        .texto("cnumdoc", dados.cnumdoc)
        .texto("cserie", dados.cserie)
        .texto("ccnpj_destino", dados.ccnpj_destino)
        .data("demissao", dados.demissao)
        .real("nvalortotal", dados.nvalortotal);
    TComando& busca = preparado(m_mysql, comandos().busca, kBuscaDocumento);
    busca.vincular(p);
    busca.executar();
    std::optional<TDocumentoRegistrado> pelosCampos;
    for (const auto& r : busca.linhas()) {
        if (!r[0] || !r[2] || r[1] != pasta)
            continue;
        const QString chaveDaLinha = r[3].value_or(QString());
        TDocumentoRegistrado doc{r[0]->toULongLong(), *r[2], chaveDaLinha};
        // Its access key decides wherever both sides hold one, and wins over any row that
        // only has its fields.
        if (comChave && chaveDaLinha == dados.chave_doc)
            return doc;
        if (!pelosCampos && !chaveDeAcesso(chaveDaLinha) && r[4] == dados.cnumdoc &&
            r[5] == dados.cserie && r[6] == dados.ccnpj_destino && r[7] == QStringLiteral("1"))
            pelosCampos = std::move(doc);
    }
    return pelosCampos;
}

std::vector<Tdmdb::TLinha> Tdmdb::LinhasDaConta(const QString& sCNPJ) {
    if (m_registroPendente)
        throw std::runtime_error("Registro de documento pendente de confirmação");
    ConectarBanco();
    return protegido([&] {
        auto escapar = [](QString t) {
            t.replace(u'!', QStringLiteral("!!"));
            t.replace(u'%', QStringLiteral("!%"));
            t.replace(u'_', QStringLiteral("!_"));
            return t;
        };
        const QString prefixo = QStringLiteral("/arqs/") + sCNPJ + u'/';
        TComando select(m_mysql, "SELECT id, arquivo, pasta FROM docs WHERE pasta LIKE ? "
                                 "ESCAPE '!' ORDER BY id");
        TParametros p;
        p.texto("pasta", escapar(prefixo) + u'%');
        select.vincular(p);
        select.executar();
        std::vector<TLinha> out;
        for (const auto& r : select.linhas()) {
            if (!r[0] || !r[1] || !r[2] || !r[2]->startsWith(prefixo))
                continue;
            out.push_back({r[0]->toULongLong(), *r[1], *r[2]});
        }
        return out;
    });
}

QString Tdmdb::nomeLivre(const QString& arquivo, const QString& pasta) {
    TParametros p;
    p.texto("pasta", pasta).texto("arquivo", arquivo).texto("arquivo", padraoNumerados(arquivo));
    TComando& nomes = preparado(m_mysql, comandos().nomes, kBuscaNomes);
    nomes.vincular(p);
    nomes.executar();
    // Byte for byte, as the FTP server names files.
    QSet<QString> ocupados;
    for (const auto& r : nomes.linhas())
        if (r[0] == pasta && r[1])
            ocupados.insert(*r[1]);
    QString nome = arquivo;
    for (int k = 2; ocupados.contains(nome); ++k)
        nome = nomeNumerado(arquivo, k);
    return nome;
}

Tdmdb::TRegistro Tdmdb::registrarUmaVez(const TDadosNFe& dados, const QString& arquivo,
                                        const QString& pasta) {
    // One folder's lock covers both steps, finding the document and picking a free name.
    travarPasta(pasta);
    executar("START TRANSACTION");
    if (const std::optional<TDocumentoRegistrado> doc = localizar(dados, pasta)) {
        // The lock stays until its file is uploaded: two versions of one document (an NFe and
        // its nfeProc) must not be written into one copy at once.
        if (chaveDeAcesso(dados.chave_doc) && !chaveDeAcesso(doc->chave_doc)) {
            TParametros p;
            p.texto("chave_doc", dados.chave_doc).inteiro("id", qint64(doc->id));
            TComando& grava = preparado(m_mysql, comandos().chave, kGravaChave);
            grava.vincular(p);
            grava.executar();
            if (mysql_commit(m_mysql))
                lancarErroBanco(m_mysql);
        } else {
            mysql_rollback(m_mysql);
        }
        return {doc->arquivo, false};
    }
    const QString nome = nomeLivre(arquivo, pasta);

    QString site = m_servidor.siteUrl;
    while (site.endsWith(u'/'))
        site.chop(1);
    TParametros linha;
    linha.texto("ccnpj_origem", dados.ccnpj_origem)
        .texto("ccnpj_destino", dados.ccnpj_destino)
        .texto("cnumdoc", dados.cnumdoc)
        .texto("cserie", dados.cserie)
        .data("demissao", dados.demissao)
        .texto("cnome_destino", dados.cnome_destino)
        .texto("cnome_origem", dados.cnome_origem)
        .real("nvalortotal", dados.nvalortotal)
        .texto("chave_doc", dados.chave_doc)
        .texto("arquivo", nome)
        .texto("pasta", pasta)
        .textoLongo("xml", QString())
        .texto("link", site + pasta + u'/' + nome)
        .texto("creferencia", mmyyyy(dados.demissao));
    TComando& insercao =
        preparado(m_mysql, comandos().insercao,
                  "INSERT INTO docs (" + linha.colunas() + ") VALUES (" + linha.marcadores() + ")");
    insercao.vincular(linha);
    insercao.executar();
    m_registroPendente = true;
    return {nome, true};
}

void Tdmdb::ConfirmarRegistro() {
    if (!m_registroPendente && m_pastaTravada) {
        liberarPasta(); // a document found: its copy is uploaded
        return;
    }
    if (!m_registroPendente || !m_mysql)
        throw std::runtime_error("Nenhum registro de documento pendente de confirmação");
    m_registroPendente = false;
    if (mysql_commit(m_mysql) == 0) {
        liberarPasta();
        return;
    }
    const DbError error(mysql_errno(m_mysql), mysql_error(m_mysql));
    desfazer(error.code());
    throw error;
}

void Tdmdb::DesfazerRegistro() noexcept {
    if (m_registroPendente)
        desfazer(0);
    else
        liberarPasta();
}

int Tdmdb::Seql(const QString& sTipo) noexcept {
    // Its transaction would carry the pending row along with the counter.
    if (m_registroPendente)
        return 0;
    // The column would cut a longer name, and the cut name would never match again.
    if (sTipo.toUcs4().size() > kTamanhoCtipo)
        return 0;
    try {
        return protegido([&] { return avancarContador(sTipo); });
    } catch (...) {
        return 0;
    }
}

int Tdmdb::avancarContador(const QString& sTipo) {
    ConectarBanco();
    if (mysql_real_query(m_mysql, kSelectSequenciais.data(),
                         static_cast<unsigned long>(kSelectSequenciais.size())))
        lancarErroBanco(m_mysql);
    const TResultado rows{mysql_store_result(m_mysql)};
    if (!rows.res)
        lancarErroBanco(m_mysql);

    bool found = false;
    QByteArray ctipoLido;
    std::optional<long long> iseqlLido;
    while (MYSQL_ROW row = mysql_fetch_row(rows.res)) {
        const unsigned long* lengths = mysql_fetch_lengths(rows.res);
        if (!row[0] || QString::fromUtf8(row[0], static_cast<qsizetype>(lengths[0])) != sTipo)
            continue;
        found = true;
        ctipoLido = QByteArray(row[0], static_cast<qsizetype>(lengths[0]));
        if (row[1])
            iseqlLido = lerInteiro(row[1], lengths[1]);
        break;
    }
    const long long resultado = found ? iseqlLido.value_or(0) : 1;
    if (resultado < INT_MIN || resultado > INT_MAX)
        throw std::runtime_error("Valor de sequencial fora do intervalo");

    {
        executar("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
        executar("START TRANSACTION");
        TParametros p;
        std::string_view sql;
        if (found) {
            p.inteiro("iseql", resultado + 1).texto("ctipo", QString::fromUtf8(ctipoLido));
            if (iseqlLido) {
                sql = "UPDATE sequenciais SET iseql = ? WHERE ctipo = ? AND iseql = ?";
                p.inteiro("iseql", *iseqlLido);
            } else {
                sql = "UPDATE sequenciais SET iseql = ? WHERE ctipo = ? AND iseql IS NULL";
            }
        } else {
            sql = "INSERT INTO sequenciais (ctipo, iseql) VALUES (?, ?)";
            p.texto("ctipo", sTipo).inteiro("iseql", 1);
        }
        TComando write(m_mysql, sql);
        write.vincular(p);
        // A refused write goes unreported: the counter keeps its value and the caller,
        // which ignores the result anyway, gets the one read.
        if (!write.executarSalvoRecusa() || (found && write.linhasAfetadas() > 1))
            mysql_rollback(m_mysql);
        else if (mysql_commit(m_mysql))
            lancarErroBanco(m_mysql);
    }
    return static_cast<int>(resultado);
}
