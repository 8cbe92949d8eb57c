#include "QuarvelDmo.h"

#include <QByteArray>
#include <QFile>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <errmsg.h>
#include <mysql.h>
#include <optional>
#include <string_view>

namespace {

// The columns of docs in the order the statement names and binds them.
constexpr std::array<const char*, 14> kColunasDocs = {
    "ccnpj_origem",  "ccnpj_destino", "cnumdoc",     "cserie",     "demissao",
    "cnome_destino", "cnome_origem",  "nvalortotal", "chave_doc",  "arquivo",
    "pasta",         "xml",           "link",        "creferencia"};

const std::string& insertDocs() {
    static const std::string sql = [] {
        std::string columns, markers;
        for (const char* c : kColunasDocs) {
            columns += columns.empty() ? "" : ", ";
            columns += c;
            markers += markers.empty() ? "?" : ", ?";
        }
        return "INSERT INTO docs (" + columns + ") VALUES (" + markers + ")";
    }();
    return sql;
}

constexpr std::string_view kSelectSequenciais = "SELECT ctipo, iseql  from sequenciais";
constexpr int kTamanhoCtipo = 15;

// The server closed the connection or stopped answering: the handle is useless now.
bool conexaoPerdida(unsigned code) {
    return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST ||
           code == CR_SERVER_LOST_EXTENDED;
}

// An answer of the server to a statement, as opposed to a failure of the client library.
bool recusaDoServidor(unsigned code) {
    return (code >= 1000 && code < CR_MIN_ERROR) || (code > CR_MAX_ERROR && code < CER_MIN_ERROR);
}

[[noreturn]] void throwDbError(unsigned code, const char* message) {
    throw DbError(code, message);
}

[[noreturn]] void throwDbError(MYSQL* m) {
    throwDbError(mysql_errno(m), mysql_error(m));
}

// One server-side prepared statement, released when it goes out of scope.
class Statement {
public:
    Statement(MYSQL* m, std::string_view sql) : m_stmt(mysql_stmt_init(m)) {
        if (!m_stmt)
            throwDbError(m);
        if (mysql_stmt_prepare(m_stmt, sql.data(), static_cast<unsigned long>(sql.size())))
            throwStmt();
    }
    ~Statement() { mysql_stmt_close(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(MYSQL_BIND* binds) {
        if (mysql_stmt_bind_param(m_stmt, binds))
            throwStmt();
    }
    void execute() {
        if (mysql_stmt_execute(m_stmt))
            throwStmt();
    }
    // False when the server refused the statement; other failures raise.
    bool executeUnlessRefused() {
        if (mysql_stmt_execute(m_stmt) == 0)
            return true;
        if (recusaDoServidor(mysql_stmt_errno(m_stmt)))
            return false;
        throwStmt();
    }
    unsigned long long affectedRows() { return mysql_stmt_affected_rows(m_stmt); }

private:
    [[noreturn]] void throwStmt() {
        throwDbError(mysql_stmt_errno(m_stmt), mysql_stmt_error(m_stmt));
    }
    MYSQL_STMT* m_stmt;
};

// Text parameters point into QByteArrays that the caller keeps alive until execution. An
// empty text still needs a buffer: a null one is sent as NULL.
void bindText(MYSQL_BIND& b, unsigned long& length, const QByteArray& value,
              enum_field_types type = MYSQL_TYPE_STRING) {
    static char vazio[] = "";
    b.buffer_type = type;
    b.buffer = value.isEmpty() ? vazio : const_cast<char*>(value.constData());
    b.buffer_length = static_cast<unsigned long>(value.size());
    length = static_cast<unsigned long>(value.size());
    b.length = &length;
}

void bindInt(MYSQL_BIND& b, long long& value) {
    b.buffer_type = MYSQL_TYPE_LONGLONG;
    b.buffer = &value;
}

struct ResultSet {
    MYSQL_RES* res;
    ~ResultSet() { mysql_free_result(res); }
};

long long parseInt(const char* text, unsigned long length) {
    long long v = 0;
    const auto [end, ec] = std::from_chars(text, text + length, v);
    if (ec != std::errc() || end != text + length)
        throw std::runtime_error("Valor inválido em sequenciais.iseql");
    return v;
}

} // namespace

Tdmdb::Tdmdb(std::function<void()> dataModuleCreate, DbSettings settings)
    : m_dataModuleCreate(std::move(dataModuleCreate)), m_settings(std::move(settings)) {
    DataModuleCreate();
}

Tdmdb::~Tdmdb() {
    closeConnection();
}

void Tdmdb::DataModuleCreate() {
    if (m_dataModuleCreate)
        m_dataModuleCreate();
}

bool Tdmdb::Conectado() const {
    return m_mysql != nullptr;
}

void Tdmdb::closeConnection() noexcept {
    if (m_mysql)
        mysql_close(m_mysql);
    m_mysql = nullptr;
    m_registroPendente = false; // the server rolls back what the connection left open
}

void Tdmdb::fail(unsigned code, const char* message) {
    const DbError error(code, message);
    if (conexaoPerdida(code))
        closeConnection();
    throw error;
}

void Tdmdb::execute(const char* sql) {
    if (mysql_real_query(m_mysql, sql, static_cast<unsigned long>(std::strlen(sql))))
        fail(mysql_errno(m_mysql), mysql_error(m_mysql));
}

void Tdmdb::ConectarBanco() {
    if (m_mysql)
        return;
    MYSQL* m = mysql_init(nullptr);
    if (!m)
        throw DbError(CR_OUT_OF_MEMORY, "Memória insuficiente para a conexão com o banco de dados");

    const unsigned connectTimeout = m_settings.connectTimeout;
    const unsigned readTimeout = m_settings.readTimeout;
    const unsigned writeTimeout = m_settings.writeTimeout;
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
    const QByteArray caFile = QFile::encodeName(m_settings.caFile);
    if (m_settings.tls) {
        const my_bool on = 1;
        mysql_optionsv(m, MYSQL_OPT_SSL_ENFORCE, &on);
        mysql_optionsv(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
        if (!caFile.isEmpty())
            mysql_optionsv(m, MYSQL_OPT_SSL_CA, caFile.constData());
    }

    const QByteArray host = m_settings.host.toUtf8();
    const QByteArray user = m_settings.user.toUtf8();
    const QByteArray password = m_settings.password.toUtf8();
    const QByteArray database = m_settings.database.toUtf8();
    if (!mysql_real_connect(m, host.constData(), user.constData(), password.constData(),
                            database.constData(), m_settings.port, nullptr, 0)) {
        const DbError error(mysql_errno(m), mysql_error(m));
        mysql_close(m);
        throw error;
    }
    m_mysql = m;
    m_registroPendente = false;

    // The handshake cannot tell whether the server took utf8mb4; SET NAMES can. Servers
    // older than utf8mb4 get utf8, which still keeps the accents of the documents.
    if (mysql_set_character_set(m_mysql, "utf8mb4") != 0) {
        const unsigned code = mysql_errno(m_mysql);
        if (!recusaDoServidor(code) || mysql_set_character_set(m_mysql, "utf8") != 0) {
            const DbError error(mysql_errno(m_mysql), mysql_error(m_mysql));
            closeConnection();
            throw error;
        }
    }
}

void Tdmdb::RegistrarDocumento(const TDadosNFe& dados, const QString& arquivo,
                               const QString& pasta) {
    const QDate& d = dados.demissao;
    if (!d.isValid() || d.year() < 1 || d.year() > 9999)
        throw std::runtime_error("Data de emissão inválida para o registro do documento");

    // A registration never confirmed belongs to a file that did not reach the FTP server.
    DesfazerRegistro();
    ConectarBanco();

    QString site = m_settings.siteUrl;
    while (site.endsWith(u'/'))
        site.chop(1);

    const std::array<QByteArray, 14> texto = {
        dados.ccnpj_origem.toUtf8(),
        dados.ccnpj_destino.toUtf8(),
        dados.cnumdoc.toUtf8(),
        dados.cserie.toUtf8(),
        QByteArray(),
        dados.cnome_destino.toUtf8(),
        dados.cnome_origem.toUtf8(),
        QByteArray(),
        dados.chave_doc.toUtf8(),
        arquivo.toUtf8(),
        pasta.toUtf8(),
        QByteArray(), // xml: always empty
        (site + pasta + u'/' + arquivo).toUtf8(),
        mmyyyy(d).toUtf8(),
    };
    MYSQL_BIND binds[14];
    std::memset(binds, 0, sizeof binds);
    unsigned long lengths[14] = {};
    for (size_t i = 0; i < texto.size(); ++i)
        bindText(binds[i], lengths[i], texto[i]);
    bindText(binds[11], lengths[11], texto[11], MYSQL_TYPE_LONG_BLOB);

    MYSQL_TIME emissao;
    std::memset(&emissao, 0, sizeof emissao);
    emissao.year = static_cast<unsigned>(d.year());
    emissao.month = static_cast<unsigned>(d.month());
    emissao.day = static_cast<unsigned>(d.day());
    emissao.time_type = MYSQL_TIMESTAMP_DATETIME;
    binds[4].buffer_type = MYSQL_TYPE_DATETIME;
    binds[4].buffer = &emissao;
    binds[4].buffer_length = sizeof emissao;
    binds[4].length = nullptr;

    double valor = dados.nvalortotal;
    binds[7].buffer_type = MYSQL_TYPE_DOUBLE;
    binds[7].buffer = &valor;
    binds[7].buffer_length = sizeof valor;
    binds[7].length = nullptr;

    execute("START TRANSACTION");
    try {
        Statement insert(m_mysql, insertDocs());
        insert.bind(binds);
        insert.execute();
    } catch (const DbError& e) {
        if (conexaoPerdida(e.code()))
            closeConnection();
        else
            mysql_rollback(m_mysql);
        throw;
    } catch (...) {
        mysql_rollback(m_mysql);
        throw;
    }
    m_registroPendente = true;
}

void Tdmdb::ConfirmarRegistro() {
    if (!m_registroPendente || !m_mysql)
        throw std::runtime_error("Nenhum registro de documento pendente de confirmação");
    m_registroPendente = false;
    if (mysql_commit(m_mysql) == 0)
        return;
    const DbError error(mysql_errno(m_mysql), mysql_error(m_mysql));
    if (conexaoPerdida(error.code()))
        closeConnection();
    else
        mysql_rollback(m_mysql);
    throw error;
}

void Tdmdb::DesfazerRegistro() noexcept {
    if (!m_registroPendente || !m_mysql)
        return;
    m_registroPendente = false;
    if (mysql_rollback(m_mysql) && conexaoPerdida(mysql_errno(m_mysql)))
        closeConnection();
}

int Tdmdb::Seql(const QString& sTipo) noexcept {
    try {
        return advanceCounter(sTipo);
    } catch (const DbError& e) {
        if (conexaoPerdida(e.code()))
            closeConnection();
    } catch (...) {
    }
    return 0;
}

int Tdmdb::advanceCounter(const QString& sTipo) {
    // Its transaction would carry the pending row along with the counter.
    if (m_registroPendente)
        throw std::runtime_error("Registro de documento pendente");
    // The column would cut a longer name, and the cut name would never match again.
    if (sTipo.toUcs4().size() > kTamanhoCtipo)
        throw std::runtime_error("Tipo de sequencial longo demais");

    ConectarBanco();
    if (mysql_real_query(m_mysql, kSelectSequenciais.data(),
                         static_cast<unsigned long>(kSelectSequenciais.size())))
        throwDbError(m_mysql);
    const ResultSet rows{mysql_store_result(m_mysql)};
    if (!rows.res)
        throwDbError(m_mysql);

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
            iseqlLido = parseInt(row[1], lengths[1]);
        break;
    }
    const long long resultado = found ? iseqlLido.value_or(0) : 1;
    if (resultado < INT_MIN || resultado > INT_MAX)
        throw std::runtime_error("Valor de sequencial fora do intervalo");

    execute("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    execute("START TRANSACTION");
    try {
        MYSQL_BIND binds[3];
        std::memset(binds, 0, sizeof binds);
        unsigned long lengths[3] = {};
        long long proximo = resultado + 1;
        long long anterior = iseqlLido.value_or(0);
        long long primeiro = 1;
        const QByteArray tipo = sTipo.toUtf8();
        std::string_view sql;
        if (found) {
            bindInt(binds[0], proximo);
            bindText(binds[1], lengths[1], ctipoLido);
            if (iseqlLido) {
                sql = "UPDATE sequenciais SET iseql = ? WHERE ctipo = ? AND iseql = ?";
                bindInt(binds[2], anterior);
            } else {
                sql = "UPDATE sequenciais SET iseql = ? WHERE ctipo = ? AND iseql IS NULL";
            }
        } else {
            sql = "INSERT INTO sequenciais (ctipo, iseql) VALUES (?, ?)";
            bindText(binds[0], lengths[0], tipo);
            bindInt(binds[1], primeiro);
        }
        Statement write(m_mysql, sql);
        write.bind(binds);
        // A refused write goes unreported: the counter keeps its value and the caller,
        // which ignores the result anyway, gets the one read.
        if (!write.executeUnlessRefused() || (found && write.affectedRows() > 1))
            mysql_rollback(m_mysql);
        else if (mysql_commit(m_mysql))
            throwDbError(m_mysql);
    } catch (const DbError& e) {
        // After a lost connection or a time-out, a rollback would only wait again.
        if (!conexaoPerdida(e.code()))
            mysql_rollback(m_mysql);
        throw;
    } catch (...) {
        mysql_rollback(m_mysql);
        throw;
    }
    return static_cast<int>(resultado);
}
