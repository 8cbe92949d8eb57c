#pragma once

#include "DbSettings.h"
#include "QuarvelDmo.h"

#include <QString>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <vector>

typedef struct st_mysql MYSQL;

// Readable failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

// A root connection to the private test server through its socket, for set-up and checks.
class RootDb {
public:
    using Row = std::vector<std::optional<QString>>;

    // Through the socket of the given server; empty: the clear-text test server.
    explicit RootDb(const QString& socket = {});
    ~RootDb();
    RootDb(const RootDb&) = delete;
    RootDb& operator=(const RootDb&) = delete;

    void exec(const QString& sql);
    std::vector<Row> rows(const QString& sql);
    QString value(const QString& sql);  // first column of the only row
    QString quote(const QString& text); // a string literal

    // Kills every connection of the user and waits until the server has dropped them.
    void killConnectionsOf(const QString& user);
    int connectionsOf(const QString& user);

private:
    MYSQL* m_mysql = nullptr;
};

// Every test gets a database user of its own, so that its connections can be told apart
// from those of tests running beside it, and a tag that marks its rows.
class DbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    DbSettings settings() const;

    RootDb root;
    QString user;
    QString tag; // 8 characters
};
