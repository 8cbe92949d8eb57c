#include "DbSettings.h"
#include "RootDb.h"

#include "QuarvelDmo.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <thread>

namespace {

using Contador = std::pair<QString, std::optional<int>>;

class Seql : public DbTest {
protected:
    void inserir(const std::vector<Contador>& linhas) {
        for (const auto& [ctipo, iseql] : linhas)
            root.exec("INSERT INTO sequenciais (ctipo, iseql) VALUES (" + root.quote(ctipo) + ", " +
                      (iseql ? QString::number(*iseql) : QStringLiteral("NULL")) + ")");
    }
    // The counters of this test, in a fixed order.
    std::vector<Contador> contadores() {
        std::vector<Contador> out;
        for (const RootDb::Row& r : root.rows(
                 "SELECT ctipo, iseql FROM sequenciais WHERE LEFT(ctipo, 8) = " + root.quote(tag)))
            out.emplace_back(*r[0], r[1] ? std::optional<int>(r[1]->toInt()) : std::nullopt);
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(Seql, AdvancesTheCounterAsRead) {
    const QString t = tag + "ACESSO";
    const struct {
        const char* nome;
        std::vector<Contador> antes;
        QString tipo;
        std::vector<int> resultados; // of successive calls
        std::vector<Contador> depois;
    } casos[] = {
        {"new type", {}, t, {1, 1, 2}, {{t, 3}}},
        {"NULL counter", {{t, std::nullopt}}, t, {0, 1}, {{t, 2}}},
        {"type differing only in case",
         {{t, 7}},
         tag + "acesso",
         {1},
         {{t, 7}, {tag + "acesso", 1}}},
        {"first matching row wins", {{t, 5}, {t, 9}}, t, {5, 6}, {{t, 7}, {t, 9}}},
        {"two equal rows: the update is undone", {{t, 5}, {t, 5}}, t, {5, 5}, {{t, 5}, {t, 5}}},
        {"counter at the column's largest value: the refused write goes unreported",
         {{t, 2147483647}},
         t,
         {2147483647, 2147483647},
         {{t, 2147483647}}},
        {"accented type", {}, tag + "AÇÃO", {1, 1}, {{tag + "AÇÃO", 2}}},
        {"name of 15 characters", {}, tag + "1234567", {1}, {{tag + "1234567", 1}}},
        {"name of 16 characters", {}, tag + "12345678", {0, 0}, {}},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        root.exec("DELETE FROM sequenciais WHERE LEFT(ctipo, 8) = " + root.quote(tag));
        inserir(c.antes);
        Tdmdb dmdb({}, settings());
        std::vector<int> resultados;
        for (size_t i = 0; i < c.resultados.size(); ++i)
            resultados.push_back(dmdb.Seql(c.tipo));
        EXPECT_EQ(resultados, c.resultados);
        EXPECT_EQ(contadores(), c.depois);
    }
}

// Another client changes the row after Seql read it: the counter keeps the other client's
// value and Seql returns the one it read.
TEST_F(Seql, RowChangedBetweenReadAndWrite) {
    const QString t = tag + "CONFL";
    inserir({{t, 4}});
    RootDb outro;
    // Read committed locks only the row it changes, not the tests running beside this one.
    outro.exec("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    outro.exec("START TRANSACTION");
    outro.exec("UPDATE sequenciais SET iseql = 40 WHERE ctipo = " + outro.quote(t));

    // Commits once Seql's UPDATE waits for the row, i.e. after its read. Only this test's
    // own login counts: without an index every statement on the table that runs meanwhile,
    // another test's included, waits on the same lock.
    QString isolamento, erro;
    std::thread liberar([&] {
        try {
            const QDeadlineTimer deadline(20000);
            while (!deadline.hasExpired()) {
                const auto r = outro.rows(
                    "SELECT t.trx_isolation_level FROM information_schema.INNODB_TRX t "
                    "JOIN information_schema.PROCESSLIST p ON p.ID = t.trx_mysql_thread_id "
                    "WHERE t.trx_state = 'LOCK WAIT' AND t.trx_query LIKE 'UPDATE sequenciais%' "
                    "AND p.USER = " +
                    outro.quote(user));
                if (!r.empty()) {
                    isolamento = *r[0][0];
                    break;
                }
                // InnoDB refreshes this table only after 100 ms without a reader.
                QThread::msleep(150);
            }
            outro.exec("COMMIT");
        } catch (const std::exception& e) {
            erro = QString::fromUtf8(e.what());
        }
    });
    Tdmdb dmdb({}, settings());
    const int resultado = dmdb.Seql(t);
    liberar.join();
    EXPECT_TRUE(dmdb.Conectado()) << "Seql opens the connection and leaves it open";

    ASSERT_EQ(erro, QString());
    EXPECT_EQ(isolamento, QStringLiteral("READ COMMITTED"));
    EXPECT_EQ(resultado, 4);
    EXPECT_EQ(contadores(), (std::vector<Contador>{{t, 40}}));
    EXPECT_EQ(dmdb.Seql(t), 40);
    EXPECT_EQ(contadores(), (std::vector<Contador>{{t, 41}}));
}

// A server that stops answering in the middle of the write: Seql gives up after the read
// time-out, and the next call starts afresh on a new connection.
TEST_F(Seql, UnansweredWriteTimesOut) {
    const QString t = tag + "ESPERA";
    inserir({{t, 8}});
    RootDb outro;
    outro.exec("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
    outro.exec("START TRANSACTION");
    outro.exec("SELECT iseql FROM sequenciais WHERE ctipo = " + outro.quote(t) + " FOR UPDATE");

    DbSettings s = settings();
    s.readTimeout = 1;
    Tdmdb dmdb({}, s);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(dmdb.Seql(t), 0);
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_FALSE(dmdb.Conectado());

    outro.exec("ROLLBACK");
    // The abandoned write must not land: the server drops it with the connection.
    const QDeadlineTimer deadline(10000);
    while (root.connectionsOf(user) > 0 && !deadline.hasExpired())
        QThread::msleep(20);
    EXPECT_EQ(contadores(), (std::vector<Contador>{{t, 8}}));
    EXPECT_EQ(dmdb.Seql(t), 8);
    EXPECT_EQ(contadores(), (std::vector<Contador>{{t, 9}}));
}

} // namespace
