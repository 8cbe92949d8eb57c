#pragma once

#include "Armazenamento.h"
#include "Configuracao.h"
#include "EtapaArquivo.h"
#include "FtpClient.h"
#include "FtpSettings.h"
#include "JanelaArmazenamento.h"
#include "ListaPendente.h"
#include "Publicacao.h"

#include <QIcon>
#include <QList>
#include <QLocale>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <memory>

class QAbstractButton;
class QAction;
class QComboBox;
class QLabel;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTimer;
class QToolButton;
class DirectoryListBox;
class Tdmdb;

// The program's one window. Controls carry the names, texts and geometry the users and the
// tests know; handlers keep their names.
class TFormDlgAcesso : public QWidget, private TJanelaArmazenamento {
    Q_OBJECT
public:
    TFormDlgAcesso(const TConfiguracao& config, Tdmdb& dmdb, FtpSettings ftp = {},
                   QWidget* parent = nullptr);
    ~TFormDlgAcesso() override;

    // Visible controls.
    QComboBox* DriveComboBox1;
    QLabel* Label1;
    DirectoryListBox* DirectoryListBox1;
    QPushButton* BitBtn1;
    QPushButton* BitBtn2;
    QListWidget* FileListBox1;
    QProgressBar* ProgressBar1;
    QTabWidget* PageControl1;
    QListWidget* listBoxPasta;
    QListWidget* ListBoxArquivo;
    QPlainTextEdit* MemoErros;
    QPlainTextEdit* MemoXML;
    QToolButton* BitListar;
    QToolButton* BitArmazenar;
    QToolButton* bitFerramentas;
    QToolButton* bitFechar;

    // Components without a place on the window.
    QTimer* Timer1;
    QSystemTrayIcon* TrayIcon1;
    QMenu* PopupMenu1;
    QAction* Fechar1;
    QMenu* popUpMenu;
    QAction* Configurao1;
    QAction* Servios1;
    QList<QIcon> ImageList1;
    FtpClient IdFTP;

    // The tray icon's balloon as it stands (empty until the window was once minimised).
    QString BalloonHint;
    QSystemTrayIcon::MessageIcon BalloonFlags = QSystemTrayIcon::NoIcon;

    QString sFase;

    // Handlers.
    void FormCreate();
    void BitListarClick();
    void BitArmazenarClick();
    void Timer1Timer();
    void bitFecharClick();
    void bitFerramentasClick();
    void BitBtn1Click();
    void BitBtn2Click();
    void FormResize();
    // Whether a request to close may go on; `fromSystem` for the window manager or the
    // session ending, false for the program's own requests (Escape).
    bool FormCloseQuery(bool fromSystem) const;
    void TrayIcon1Click();
    void Fechar1Click();

    // Start-up at login (--bandeja): as after "Fechar". Where no notification area is
    // there yet, it is awaited up to `esperaMs` before the window settles for minimised.
    void iniciarNaBandeja(int esperaMs = 30000);

    // The catch-all: the phase line and the time-stamped message into the log, timer and
    // buttons enabled again. Never throws.
    void ErrorFound(QObject* Sender, const QString& message) noexcept;

    // A storage run (and the runs that follow it at once).
    void Armazenar();
    bool emExecucao() const { return m_armazenamento->emExecucao(); }

    // Folder the listing starts from: the configured sPastaNFE until the user picks a
    // folder in the tree, then the tree's folder.
    QString pastaLocalListagem() const override { return m_pastaLocalListagem; }

    // Whether the desktop has a notification area; asked at each use. Tests replace it.
    std::function<bool()> bandejaDisponivel;
    // The regional settings, taken anew at each use (the system's unless a test sets them).
    std::function<QLocale()> regional;
    // Told as each file of a run passes a step (tests stop or change things there).
    std::function<void(TEtapaArquivo, const QByteArray& caminho)> aoPassarArquivo;

    // Appends one line to the error log; a line holding line feeds spans several.
    void acrescentarLinhaLog(const QString& line);

    // The tray's icons: the application's, and the same with a warning emblem, shown from a
    // failed run until a run succeeds again.
    const QIcon& iconeNormal() const { return m_iconeNormal; }
    const QIcon& iconeFalha() const { return m_iconeFalha; }
    // Told as the tray shows a balloon of its own (a failure, the storing working again).
    std::function<void(const QString& texto, const QIcon& icone)> aoMostrarBalao;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // What the storage run drives.
    void pararTimer() override;
    void habilitarTimerEBotoes() override;
    void desabilitarBotoes() override;
    void mostrarLista(const TListaPendente& lista) override;
    void selecionar(int indice) override;
    void processarMensagens() override;
    void posicionarProgresso(int posicao) override;
    void registrarLinha(const QString& linha) override;

    void montarControles();
    // What the tray tells: the tip's second line, the icon, one balloon at each change
    // between working and failing (a failure of another kind tells again).
    void estadoNaBandeja(const QString& linha);
    void execucaoTerminada();
    void execucaoFalhou(const QString& mensagem);
    void mostrarBalao(const QString& texto, const QIcon& icone);
    void escolherUnidade(int index);
    void preencherUnidades();

    TConfiguracao m_configuracao;
    Tdmdb& m_dmdb;
    std::unique_ptr<TArmazenamento> m_armazenamento;
    bool bPodeFechar = false;
    bool m_fecharAoTerminar = false;
    int m_linhasLog = 0;
    int m_posicaoProgresso = 0; // kept when a listing sets a smaller maximum
    QString m_pastaLocalListagem;
    QIcon m_iconeNormal;
    QIcon m_iconeFalha;
    int m_publicadosNaExecucao = 0;   // files published by the run in progress and its followers
    bool m_encontrouArquivos = false; // whether that run met any file
    bool m_emFalha = false;           // the last run failed
    QString m_tipoDaFalha;            // its phase and first line, to tell a new kind of failure
};
