#pragma once

// A loopback FTP server for the cases real servers will not produce on demand. It plays a
// script: for each step it waits for the expected command line (or, for a connection
// step, a new control connection) and then performs the step's actions. Every command
// line it receives is recorded; after a mismatch or the end of the script it only records
// and answers "500 Unscripted.".

#include <QByteArray>
#include <QList>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

struct FtpAct {
    enum Kind {
        Reply,       // bytes as given
        Pasv,        // open a data listener, then reply 227 with its address
        PasvClosed,  // reply 227 naming a port where nothing listens
        Accept,      // accept the data connection
        Send,        // bytes on the data connection
        Receive,     // read the data connection until the client closes it
        ReceiveSome, // read at least `value` bytes of it
        CloseData,
        ResetData,
        Close,        // close the control connection
        ResetControl, // close it with a reset
        Sleep
    };
    Kind kind;
    QByteArray bytes;
    int value = 0;           // Sleep: milliseconds; Pasv: the listener's port (0: any)
    QByteArray address = {}; // Pasv: the listener's address when not the server's own
};

struct FtpStep {
    bool connection = false; // wait for a new control connection instead of a command
    QByteArray expect;
    std::vector<FtpAct> acts;
};

// Builders for readable scripts.
FtpAct reply(const QByteArray& line); // adds CR LF
FtpAct raw(const QByteArray& bytes);
FtpAct pasv();
// 227 with a text of the test's choosing; the listener binds `bindAddress`:`port`.
FtpAct pasvAs(const QByteArray& text, const QByteArray& bindAddress, int port);
FtpAct pasvClosed();
FtpAct acceptData();
FtpAct sendData(const QByteArray& bytes);
FtpAct receiveData();
FtpAct receiveSome(int bytes);
FtpAct closeData();
FtpAct resetData();
FtpAct closeControl();
FtpAct resetControl();
FtpAct sleepMs(int ms);
FtpStep on(const QByteArray& command, std::vector<FtpAct> acts);
FtpStep connection(std::vector<FtpAct> acts);

// The commands a script expects, in order.
QList<QByteArray> expectedCommands(const std::vector<FtpStep>& script);

class ScriptedFtpServer {
public:
    explicit ScriptedFtpServer(std::vector<FtpStep> script,
                               const QByteArray& bindAddress = "127.0.0.1");
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    int port() const { return m_port; }
    // Waits until every step of the script was played (its last act done); false when that
    // did not happen within `limitMs`.
    bool waitPlayed(int limitMs = 5000);
    // Stops the server and returns every command line it received, in order.
    QList<QByteArray> finish();
    // What Receive read from data connections.
    QByteArray uploaded();
    // Data connections the server accepted.
    int dataConnections();

private:
    void run();
    bool playScript(); // true when every step was played
    bool readCommand(QByteArray& line);
    bool perform(const FtpAct& act);
    void closeFd(int& fd);

    std::vector<FtpStep> m_script;
    QByteArray m_bind;
    int m_listen = -1;
    int m_port = 0;
    int m_control = -1;
    int m_dataListen = -1;
    int m_data = -1;
    QByteArray m_pending; // bytes read past the current command line
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_played{false};   // the script's steps are done
    std::atomic<bool> m_scriptDone{false};
    std::mutex m_mutex;
    QList<QByteArray> m_received;
    QByteArray m_uploaded;
    int m_dataConnections = 0;
    std::thread m_thread;
};
