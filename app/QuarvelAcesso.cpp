#include "QuarvelAcesso.h"

#include "Application.h"
#include "Busca.h"
#include "DirectoryListBox.h"
#include "ErrorLog.h"
#include "EtapaArquivo.h"
#include "FtpSettings.h"
#include "JanelaArmazenamento.h"
#include "ListaPendente.h"
#include "Nomes.h"
#include "ParametrosArmazenamento.h"
#include "QuarvelDmo.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSessionManager>
#include <QShortcut>
#include <QStorageInfo>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <QTabWidget>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>
#include <cstdio>

namespace {

// A progress bar whose maximum is 0 shows an empty bar, not a busy indicator: an empty
// listing means nothing to do, not work going on.
class TBarraProgresso : public QProgressBar {
public:
    using QProgressBar::QProgressBar;

protected:
    void paintEvent(QPaintEvent* event) override {
        if (maximum() > minimum()) {
            QProgressBar::paintEvent(event);
            return;
        }
        QStylePainter painter(this);
        QStyleOptionProgressBar opt;
        initStyleOption(&opt);
        opt.minimum = 0;
        opt.maximum = 1;
        opt.progress = 0;
        painter.drawControl(QStyle::CE_ProgressBar, opt);
    }
};

constexpr int kIntervaloTimer = 1200000; // 20 minutes

const QString kTextoBalao = QStringLiteral("Backup de documentos em Execução.. ");

constexpr int kIntervaloBandeja = 500; // ms between looks for the notification area

const QString kTituloBandeja = QStringLiteral("Quarvel XML");
const QString kVoltouAFuncionar =
    QStringLiteral("O armazenamento de documentos voltou a funcionar.");

// The icon we ship with a warning emblem (a yellow triangle with "!") over its lower right
// part, at the sizes notification areas ask for.
QIcon comEmblemaDeAlerta(const QIcon& base) {
    QIcon out;
    for (int lado : {16, 22, 24, 32, 48, 64}) {
        QPixmap pm = base.pixmap(lado, lado);
        if (pm.isNull())
            pm = QPixmap(lado, lado);
        pm = pm.scaled(lado, lado);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal e = lado * 0.62; // the emblem's side
        const QRectF area(lado - e, lado - e, e, e);
        QPainterPath triangulo;
        triangulo.moveTo(area.center().x(), area.top());
        triangulo.lineTo(area.right(), area.bottom());
        triangulo.lineTo(area.left(), area.bottom());
        triangulo.closeSubpath();
        p.setPen(QPen(QColor(0x5c, 0x3c, 0x00), qMax(1.0, lado / 16.0)));
        p.setBrush(QColor(0xf5, 0xc2, 0x11));
        p.drawPath(triangulo);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x20, 0x18, 0x00));
        const qreal w = qMax(1.5, e * 0.14);
        const qreal cx = area.center().x();
        p.drawRect(QRectF(cx - w / 2, area.top() + e * 0.32, w, e * 0.36));
        p.drawEllipse(QPointF(cx, area.bottom() - e * 0.15), w * 0.6, w * 0.6);
        p.end();
        out.addPixmap(pm);
    }
    return out;
}

// "dd/mm hh:nn" with the regional separators.
QString carimboCurto(const QDateTime& quando, const QLocale& locale) {
    auto two = [](int v) { return QString::number(v).rightJustified(2, u'0'); };
    return two(quando.date().day()) + separadorData(locale) + two(quando.date().month()) + u' ' +
           two(quando.time().hour()) + separadorHora(locale) + two(quando.time().minute());
}

QString primeiraLinha(const QString& texto) {
    for (const QString& linha :
         texto.split(QRegularExpression(QStringLiteral("[\\r\\n]")), Qt::SkipEmptyParts)) {
        const QString t = linha.trimmed();
        if (!t.isEmpty())
            return t;
    }
    return {};
}

QToolButton* botaoComGlifo(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* b = new QToolButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setText(text);
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setGeometry(geometry);
    return b;
}

} // namespace

TFormDlgAcesso::TFormDlgAcesso(const TConfiguracao& config, Tdmdb& dmdb, FtpSettings ftp,
                               QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_configuracao(config), m_dmdb(dmdb) {
    bandejaDisponivel = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    regional = [] { return QLocale::system(); };
    TParametrosArmazenamento p;
    p.sPastaBKP = m_configuracao.sPastaBKP;
    p.sCNPJ = m_configuracao.sCNPJ;
    p.sVirgula = m_configuracao.sVirgula;
    p.ftp = std::move(ftp);
    p.regional = [this] { return regional(); };
    p.aoPassar = [this](TEtapaArquivo etapa, const QByteArray& caminho) {
        if (etapa == TEtapaArquivo::Confirmado)
            ++m_publicadosNaExecucao;
        if (aoPassarArquivo)
            aoPassarArquivo(etapa, caminho);
    };
    m_armazenamento = std::make_unique<TArmazenamento>(static_cast<TJanelaArmazenamento&>(*this),
                                                       m_dmdb, IdFTP, sFase, std::move(p));
    montarControles();
    FormCreate();
}

TFormDlgAcesso::~TFormDlgAcesso() { Application::removeErrorHandler(this); }

void TFormDlgAcesso::montarControles() {
    Q_INIT_RESOURCE(quarvel);
    setObjectName(QStringLiteral("FormDlgAcesso"));
    setWindowTitle(QStringLiteral("Quarvel XML"));
    setWindowIcon(QIcon(QStringLiteral(":/glyphs/quarvel.xpm")));
    setFixedSize(701, 487);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    QFont font = this->font();
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma")))
        font.setFamily(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    setFont(font);

    // Created first so that the folder tree, created after them, lies in front of them.
    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton),
                              QStringLiteral("OK"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(56, 112, 75, 25);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                              QStringLiteral("Cancel"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(168, 112, 75, 25);

    DriveComboBox1 = new QComboBox(this);
    DriveComboBox1->setObjectName(QStringLiteral("DriveComboBox1"));
    DriveComboBox1->setGeometry(18, 13, 225, 19);

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(258, 15, 107, 13);

    DirectoryListBox1 = new DirectoryListBox(this);
    DirectoryListBox1->setObjectName(QStringLiteral("DirectoryListBox1"));
    DirectoryListBox1->setGeometry(18, 38, 225, 147);

    FileListBox1 = new QListWidget(this);
    FileListBox1->setObjectName(QStringLiteral("FileListBox1"));
    FileListBox1->setGeometry(258, 38, 433, 147);
    FileListBox1->setSelectionMode(QAbstractItemView::NoSelection);

    DirectoryListBox1->setDirLabel(Label1);
    DirectoryListBox1->setFileList(FileListBox1);

    ProgressBar1 = new TBarraProgresso(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(18, 191, 673, 17);
    ProgressBar1->setRange(0, 0);
    ProgressBar1->setTextVisible(false);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(18, 214, 675, 215);
    auto* tabArquivos = new QWidget;
    tabArquivos->setObjectName(QStringLiteral("TabArquivos"));
    auto* tabErros = new QWidget;
    tabErros->setObjectName(QStringLiteral("TabErros"));
    auto* tabArquivo = new QWidget;
    tabArquivo->setObjectName(QStringLiteral("TabArquivo"));
    PageControl1->addTab(tabArquivos, QStringLiteral("Arquivos"));
    PageControl1->addTab(tabErros, QStringLiteral("Erros"));
    PageControl1->addTab(tabArquivo, QStringLiteral("Arquivo"));
    PageControl1->setCurrentIndex(0);

    listBoxPasta = new QListWidget(tabArquivos);
    listBoxPasta->setObjectName(QStringLiteral("listBoxPasta"));
    listBoxPasta->setGeometry(3, 3, 319, 181);
    listBoxPasta->setSortingEnabled(false);
    listBoxPasta->setUniformItemSizes(true);
    ListBoxArquivo = new QListWidget(tabArquivos);
    ListBoxArquivo->setObjectName(QStringLiteral("ListBoxArquivo"));
    ListBoxArquivo->setGeometry(328, 3, 336, 181);
    ListBoxArquivo->setSortingEnabled(false);
    ListBoxArquivo->setUniformItemSizes(true);

    MemoErros = new QPlainTextEdit(tabErros);
    MemoErros->setObjectName(QStringLiteral("MemoErros"));
    MemoErros->setGeometry(0, 3, 664, 181);
    MemoErros->setReadOnly(true);
    MemoErros->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoErros->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoErros->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    MemoXML = new QPlainTextEdit(tabArquivo);
    MemoXML->setObjectName(QStringLiteral("MemoXML"));
    MemoXML->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoXML->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoXML->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* fill = new QHBoxLayout(tabArquivo);
    fill->setContentsMargins(0, 0, 0, 0);
    fill->addWidget(MemoXML);

    BitListar =
        botaoComGlifo(this, "BitListar", QStringLiteral("Listar Arquivos"), {25, 435, 113, 50});
    BitArmazenar =
        botaoComGlifo(this, "BitArmazenar", QStringLiteral("Armazenar"), {144, 435, 106, 49});
    bitFerramentas =
        botaoComGlifo(this, "bitFerramentas", QStringLiteral("Ferramentas"), {256, 435, 104, 49});
    bitFerramentas->setToolButtonStyle(Qt::ToolButtonTextOnly);
    bitFechar = botaoComGlifo(this, "bitFechar", QStringLiteral("Fechar"), {587, 435, 106, 49});

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kIntervaloTimer);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Fechar1 = PopupMenu1->addAction(QStringLiteral("Fechar"));
    Fechar1->setObjectName(QStringLiteral("Fechar1"));

    popUpMenu = new QMenu(this);
    popUpMenu->setObjectName(QStringLiteral("popUpMenu"));
    Configurao1 = popUpMenu->addAction(QStringLiteral("Configuração"));
    Configurao1->setObjectName(QStringLiteral("Configurao1"));
    Servios1 = popUpMenu->addAction(QStringLiteral("Serviços"));
    Servios1->setObjectName(QStringLiteral("Servios1"));

    m_iconeNormal = QIcon(QStringLiteral(":/glyphs/quarvel.xpm"));
    m_iconeFalha = comEmblemaDeAlerta(m_iconeNormal);
    TrayIcon1 = new QSystemTrayIcon(m_iconeNormal, this);
    TrayIcon1->setObjectName(QStringLiteral("TrayIcon1"));
    TrayIcon1->setToolTip(kTituloBandeja);
    TrayIcon1->setContextMenu(PopupMenu1);

    ImageList1 = {QIcon(QStringLiteral(":/glyphs/fechar.xpm")),
                  QIcon(QStringLiteral(":/glyphs/listar.xpm")),
                  QIcon(QStringLiteral(":/glyphs/armazenar.xpm"))};

    preencherUnidades();

    // Every handler runs guarded: a failure reaches ErrorFound, never the event loop.
    auto on = [this](auto* sender, auto signal, auto handler) {
        connect(sender, signal, this,
                [this, sender, handler] { guarded(sender, [&] { (this->*handler)(); }); });
    };
    on(BitListar, &QToolButton::clicked, &TFormDlgAcesso::BitListarClick);
    on(BitArmazenar, &QToolButton::clicked, &TFormDlgAcesso::BitArmazenarClick);
    on(bitFerramentas, &QToolButton::clicked, &TFormDlgAcesso::bitFerramentasClick);
    on(bitFechar, &QToolButton::clicked, &TFormDlgAcesso::bitFecharClick);
    on(BitBtn1, &QPushButton::clicked, &TFormDlgAcesso::BitBtn1Click);
    on(BitBtn2, &QPushButton::clicked, &TFormDlgAcesso::BitBtn2Click);
    on(Timer1, &QTimer::timeout, &TFormDlgAcesso::Timer1Timer);
    on(Fechar1, &QAction::triggered, &TFormDlgAcesso::Fechar1Click);
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason r) {
                if (r == QSystemTrayIcon::Trigger)
                    guarded(TrayIcon1, [this] { TrayIcon1Click(); });
            });
    connect(DirectoryListBox1, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        guarded(DirectoryListBox1, [&] {
            if (DirectoryListBox1->openItem(item))
                m_pastaLocalListagem = DirectoryListBox1->directory();
        });
    });
    connect(DriveComboBox1, &QComboBox::activated, this,
            [this](int index) { guarded(DriveComboBox1, [&] { escolherUnidade(index); }); });

    // The covered OK and Cancel buttons still answer Enter and Escape.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* sc = new QShortcut(QKeySequence(key), this);
        connect(sc, &QShortcut::activated, BitBtn1, &QPushButton::click);
    }
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, BitBtn2, &QPushButton::click);
    BitBtn1->setFocus();

    // The session's query at log-off or shutdown asks the window like any other request.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
        if (!FormCloseQuery(true) && manager.allowsInteraction())
            manager.cancel();
    });
}

void TFormDlgAcesso::preencherUnidades() {
    DriveComboBox1->clear();
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes()) {
        if (v.isValid() && v.isReady())
            DriveComboBox1->addItem(v.rootPath(), v.rootPath());
    }
}

void TFormDlgAcesso::escolherUnidade(int index) {
    const QString root = DriveComboBox1->itemData(index).toString();
    if (root.isEmpty())
        return;
    DirectoryListBox1->setDirectory(root);
    m_pastaLocalListagem = DirectoryListBox1->directory();
}

void TFormDlgAcesso::FormCreate() {
    Application::setErrorHandler(
        [this](QObject* sender, const QString& message) { ErrorFound(sender, message); }, this);
    Timer1->start();
    // Until the user picks a folder, the listing starts from the configured one, even when
    // it cannot be opened: never from the process's current folder.
    m_pastaLocalListagem = m_configuracao.sPastaNFE.isEmpty()
                               ? QString()
                               : QDir::cleanPath(QDir(m_configuracao.sPastaNFE).absolutePath());
    guarded(this, [this] {
        if (!m_configuracao.sPastaNFE.isEmpty()) {
            DirectoryListBox1->setDirectory(m_configuracao.sPastaNFE);
            const int drive =
                DriveComboBox1->findData(QStorageInfo(m_pastaLocalListagem).rootPath());
            if (drive >= 0)
                DriveComboBox1->setCurrentIndex(drive);
        }
        bitFechar->setIcon(ImageList1.value(0));
        BitListar->setIcon(ImageList1.value(1));
        BitArmazenar->setIcon(ImageList1.value(2));
    });
}

void TFormDlgAcesso::BitListarClick() {
    // A press let through while a run pumps messages must not change its list.
    if (emExecucao())
        return;
    m_armazenamento->Listar();
}

void TFormDlgAcesso::mostrarLista(const TListaPendente& lista) {
    listBoxPasta->clear();
    ListBoxArquivo->clear();
    QStringList pastasLocais, arquivos;
    pastasLocais.reserve(lista.size());
    arquivos.reserve(lista.size());
    // Consecutive files of one folder share its text.
    QString pastaLocal;
    for (qsizetype i = 0; i < lista.size(); ++i) {
        if (i == 0 || lista.pastasLocais[i] != lista.pastasLocais[i - 1])
            pastaLocal = nomeLegivel(lista.pastasLocais[i]);
        pastasLocais << pastaLocal;
        arquivos << nomeLegivel(lista.arquivos[i]);
    }
    listBoxPasta->addItems(pastasLocais);
    ListBoxArquivo->addItems(arquivos);
    // Qt resets a bar whose position falls outside a smaller range; the position stays.
    ProgressBar1->setMaximum(int(lista.size()));
    if (m_posicaoProgresso > 0)
        ProgressBar1->setValue(qMin(m_posicaoProgresso, ProgressBar1->maximum()));
    DirectoryListBox1->refreshFiles();
}

void TFormDlgAcesso::BitArmazenarClick() { Armazenar(); }

void TFormDlgAcesso::Timer1Timer() { Armazenar(); }

void TFormDlgAcesso::Armazenar() {
    struct TFimDaExecucao {
        TFormDlgAcesso* f;
        bool primeiro;
        ~TFimDaExecucao() {
            // "Fechar" chosen during the run takes effect once the run is over, after
            // ErrorFound when the run failed.
            if (primeiro && f->m_fecharAoTerminar)
                QTimer::singleShot(0, f, [f = f] {
                    if (f->close())
                        QCoreApplication::quit();
                });
        }
    } fim{this, !emExecucao()};
    if (!fim.primeiro) {
        m_armazenamento->Armazenar();
        return;
    }
    m_publicadosNaExecucao = 0;
    m_encontrouArquivos = false;
    try {
        m_armazenamento->Armazenar();
    } catch (const std::exception& e) {
        execucaoFalhou(QString::fromUtf8(e.what()));
        throw;
    } catch (...) {
        execucaoFalhou(QStringLiteral("Erro desconhecido."));
        throw;
    }
    execucaoTerminada();
}

void TFormDlgAcesso::estadoNaBandeja(const QString& linha) {
    TrayIcon1->setToolTip(linha.isEmpty() ? kTituloBandeja : kTituloBandeja + u'\n' + linha);
}

void TFormDlgAcesso::mostrarBalao(const QString& texto, const QIcon& icone) {
    TrayIcon1->showMessage(kTituloBandeja, texto, icone);
    if (aoMostrarBalao)
        aoMostrarBalao(texto, icone);
}

void TFormDlgAcesso::execucaoTerminada() {
    const QString quando = carimboCurto(QDateTime::currentDateTime(), regional());
    estadoNaBandeja(
        QStringLiteral("Última execução: ") + quando +
        (!m_encontrouArquivos ? QStringLiteral(", nenhum documento pendente")
         : m_publicadosNaExecucao == 1
             ? QStringLiteral(", 1 documento publicado")
             : QStringLiteral(", %1 documentos publicados").arg(m_publicadosNaExecucao)));
    if (!m_emFalha)
        return;
    m_emFalha = false;
    m_tipoDaFalha.clear();
    TrayIcon1->setIcon(m_iconeNormal);
    mostrarBalao(kVoltouAFuncionar, m_iconeNormal);
}

void TFormDlgAcesso::execucaoFalhou(const QString& mensagem) {
    const QString fase = sFase.isEmpty() ? QString() : sFase + QStringLiteral(": ");
    const QString tipo = fase + primeiraLinha(mensagem);
    const QString texto = QStringLiteral("Falha em ") +
                          carimboCurto(QDateTime::currentDateTime(), regional()) +
                          QStringLiteral(": ") + tipo;
    estadoNaBandeja(texto);
    TrayIcon1->setIcon(m_iconeFalha);
    // Every 20 minutes the same failure would say the same thing again.
    if (m_emFalha && tipo == m_tipoDaFalha)
        return;
    m_emFalha = true;
    m_tipoDaFalha = tipo;
    mostrarBalao(texto, m_iconeFalha);
}

void TFormDlgAcesso::pararTimer() { Timer1->stop(); }

void TFormDlgAcesso::habilitarTimerEBotoes() {
    Timer1->start();
    BitArmazenar->setEnabled(true);
    BitListar->setEnabled(true);
}

void TFormDlgAcesso::desabilitarBotoes() {
    BitArmazenar->setEnabled(false);
    BitListar->setEnabled(false);
}

void TFormDlgAcesso::selecionar(int indice) {
    m_encontrouArquivos = true;
    estadoNaBandeja(
        QStringLiteral("Armazenando %1 de %2").arg(indice + 1).arg(ListBoxArquivo->count()));
    listBoxPasta->setCurrentRow(indice);
    ListBoxArquivo->setCurrentRow(indice);
}

void TFormDlgAcesso::processarMensagens() { QCoreApplication::processEvents(); }

void TFormDlgAcesso::posicionarProgresso(int posicao) {
    m_posicaoProgresso = posicao;
    ProgressBar1->setValue(qMin(posicao, ProgressBar1->maximum()));
}

void TFormDlgAcesso::registrarLinha(const QString& linha) { acrescentarLinhaLog(linha); }

void TFormDlgAcesso::bitFecharClick() {
    if (!bandejaDisponivel()) {
        // Without a notification area a hidden window could never come back.
        showMinimized();
        return;
    }
    hide();
    setWindowState(windowState() | Qt::WindowMinimized);
    TrayIcon1->show();
    if (!BalloonHint.isEmpty())
        TrayIcon1->showMessage(QString(), BalloonHint, BalloonFlags);
}

void TFormDlgAcesso::iniciarNaBandeja(int esperaMs) {
    if (bandejaDisponivel() || esperaMs <= 0) {
        bitFecharClick();
        return;
    }
    // At login the panel that holds the notification area may start after the programs
    // of the session: wait for it a while before settling for a minimised window.
    auto* espera = new QTimer(this);
    espera->setInterval(kIntervaloBandeja);
    connect(espera, &QTimer::timeout, this, [this, espera, restante = esperaMs]() mutable {
        restante -= kIntervaloBandeja;
        if (!bandejaDisponivel() && restante > 0)
            return;
        espera->deleteLater();
        // Unless a second start brought the window up meanwhile.
        if (!isVisible())
            guarded(this, [this] { bitFecharClick(); });
    });
    espera->start();
}

void TFormDlgAcesso::bitFerramentasClick() {
    if (!popUpMenu)
        return;
    const QPoint centre(bitFerramentas->x() + bitFerramentas->width() / 2,
                        bitFerramentas->y() + bitFerramentas->height() / 2);
    popUpMenu->popup(mapToGlobal(centre));
}

void TFormDlgAcesso::BitBtn1Click() { m_dmdb.Seql(QStringLiteral("ACESSOS")); }

void TFormDlgAcesso::BitBtn2Click() { close(); }

void TFormDlgAcesso::FormResize() {
    if (!(windowState() & Qt::WindowMinimized))
        return;
    TrayIcon1->show();
    BalloonHint = kTextoBalao;
    BalloonFlags = QSystemTrayIcon::Information;
    TrayIcon1->showMessage(QString(), BalloonHint, BalloonFlags);
}

bool TFormDlgAcesso::FormCloseQuery(bool fromSystem) const {
    // Without a notification area the window is the only way to end the program, so the
    // window manager and the session may close it.
    return bPodeFechar || (fromSystem && !bandejaDisponivel());
}

void TFormDlgAcesso::TrayIcon1Click() {
    TrayIcon1->hide();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TFormDlgAcesso::Fechar1Click() {
    bPodeFechar = true;
    if (emExecucao()) {
        m_fecharAoTerminar = true;
        return;
    }
    if (close())
        QCoreApplication::quit();
}

void TFormDlgAcesso::ErrorFound(QObject* /*Sender*/, const QString& message) noexcept {
    try {
        const QDateTime now = QDateTime::currentDateTime();
        acrescentarLinhaLog(sFase);
        acrescentarLinhaLog(linhaFalha(now, regional(), message));
    } catch (...) {
    }
    try {
        habilitarTimerEBotoes();
    } catch (...) {
    }
    m_armazenamento->aposFalha();
}

void TFormDlgAcesso::acrescentarLinhaLog(const QString& line) {
    QTextCursor c(MemoErros->document());
    c.movePosition(QTextCursor::End);
    if (m_linhasLog++ > 0)
        c.insertBlock();
    // Messages may carry CR LF line ends (FTP replies); the log keeps plain lines.
    QString text = line;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    c.insertText(text);
    MemoErros->verticalScrollBar()->setValue(MemoErros->verticalScrollBar()->maximum());

    // The log dies with the window; the session's journal keeps standard error.
    const QByteArray quando =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8();
    for (const QString& linha : text.split(u'\n', Qt::SkipEmptyParts)) {
        const QByteArray saida = quando + " quarvel: " + linha.toUtf8() + '\n';
        std::fwrite(saida.constData(), 1, size_t(saida.size()), stderr);
    }
}

void TFormDlgAcesso::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery(event->spontaneous()))
        event->accept();
    else
        event->ignore();
}

void TFormDlgAcesso::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A hidden window (hidden to the tray) gets no resize handling.
    if (event->type() == QEvent::WindowStateChange && isVisible())
        guarded(this, [this] { FormResize(); });
}

void TFormDlgAcesso::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (isVisible())
        guarded(this, [this] { FormResize(); });
}
