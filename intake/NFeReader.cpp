#include "NFeReader.h"

#include "ArquivoLido.h"
#include "Descritor.h"
#include "NFeIlegivel.h"
#include "Nomes.h"

#include <QFile>
#include <QStringView>
#include <charconv>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void ilegivel(const QString& why) { throw TNFeIlegivel(why.toStdString()); }
[[noreturn]] void inacessivel(const QString& why) {
    throw TNFeIlegivel(why, TNFeIlegivel::Tipo::Inacessivel);
}
[[noreturn]] void naoArquivo(const QString& why) {
    throw TNFeIlegivel(why, TNFeIlegivel::Tipo::NaoArquivo);
}

QString acimaDoTamanho(qint64 tamanho) {
    return QStringLiteral("arquivo de %1 bytes, acima do tamanho máximo de uma NF-e (%2 MB)")
        .arg(tamanho)
        .arg(kTamanhoMaximoNFe / (1024 * 1024));
}

bool digitoAscii(QChar c) { return c >= u'0' && c <= u'9'; }

// The name goes into `arquivo`, the backup path and the FTP upload: a control character
// (CR, LF, ...) there would corrupt an FTP command line.
void conferirNomeArquivo(const QString& fileName) {
    for (QChar c : fileName)
        if (c.unicode() < 0x20)
            ilegivel(QStringLiteral("nome de arquivo com caractere de controle"));
}

// --- Reading the file -----------------------------------------------------------------

QString tipoDeEntrada(mode_t modo) {
    if (S_ISFIFO(modo))
        return QStringLiteral("não é um arquivo comum: é uma fila FIFO");
    if (S_ISSOCK(modo))
        return QStringLiteral("não é um arquivo comum: é um socket");
    if (S_ISCHR(modo) || S_ISBLK(modo))
        return QStringLiteral("não é um arquivo comum: é um dispositivo");
    if (S_ISDIR(modo))
        return QStringLiteral("não é um arquivo comum: é uma pasta");
    return QStringLiteral("não é um arquivo comum");
}

// A path that names no file to read, or one that could not be reached.
[[noreturn]] void semAcesso(const QByteArray& caminho, int erro) {
    struct stat link {};
    if (erro == ENOENT && ::lstat(caminho.constData(), &link) == 0 && S_ISLNK(link.st_mode))
        naoArquivo(QStringLiteral("link simbólico para um arquivo que não existe"));
    if (erro == ENAMETOOLONG)
        naoArquivo(QStringLiteral("caminho longo demais para o sistema: %1 bytes")
                       .arg(caminho.size()));
    if (erro == ELOOP)
        naoArquivo(motivoDoSistema(erro));
    inacessivel(motivoDoSistema(erro));
}

TArquivoLido lerArquivo(const QByteArray& caminho) {
    // Looked at before anything opens it: opening a FIFO or a device has effects of its own
    // (a writer unblocked, a tape rewound).
    struct stat st {};
    if (::stat(caminho.constData(), &st) != 0)
        semAcesso(caminho, errno);
    if (!S_ISREG(st.st_mode))
        naoArquivo(tipoDeEntrada(st.st_mode));
    if (st.st_size > kTamanhoMaximoNFe)
        ilegivel(acimaDoTamanho(st.st_size));
    // O_NONBLOCK: should a FIFO take the file's place meanwhile, open() must not hang the run.
    const TDescritor fd(::open(caminho.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valido())
        semAcesso(caminho, errno);
    if (::fstat(fd.get(), &st) != 0)
        inacessivel(motivoDoSistema(errno));
    if (!S_ISREG(st.st_mode))
        naoArquivo(tipoDeEntrada(st.st_mode));
    if (st.st_size > kTamanhoMaximoNFe)
        ilegivel(acimaDoTamanho(st.st_size));
    TArquivoLido lido;
    lido.identidade = identidadeDe(st);
    lido.dados.reserve(qsizetype(st.st_size));
    // Read in chunks and stop at the cap: the file may grow while it is read.
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            inacessivel(QStringLiteral("erro ao ler: ") + motivoDoSistema(errno));
        if (n == 0)
            break;
        if (lido.dados.size() + n > kTamanhoMaximoNFe)
            ilegivel(acimaDoTamanho(lido.dados.size() + n));
        lido.dados.append(chunk, n);
    }
    return lido;
}

// --- The parser -----------------------------------------------------------------------

struct TLiberaContexto {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};
struct TLiberaDocumento {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using Documento = std::unique_ptr<xmlDoc, TLiberaDocumento>;

// No network, no DTD loading or validation, no entity substitution (references stay
// reference nodes, which the text rule refuses), whitespace-only text dropped. Without
// XML_PARSE_HUGE libxml2 keeps its limits on depth, text size and entity amplification.
constexpr int kOpcoesParser =
    XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// A tree node costs some 100 bytes or more, so a file made of tiny nodes ("<a/>" repeated)
// would cost 40 times its size. Counting the nodes as they are made bounds the memory of any
// file; an NF-e with its 990 items at most stays far below the limit.
constexpr qsizetype kMaxNos = 400000;

struct TContagem {
    qsizetype nos = 0;
};

void contar(void* ctx, qsizetype n) {
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    auto* c = static_cast<TContagem*>(ctxt->_private);
    if (c && (c->nos += n) > kMaxNos)
        xmlStopParser(ctxt);
}

void aoAbrirElemento(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri,
                     int nbNamespaces, const xmlChar** namespaces, int nbAttributes,
                     int nbDefaulted, const xmlChar** attributes) {
    contar(ctx, 1 + qsizetype(nbNamespaces) + nbAttributes);
    if (!static_cast<xmlParserCtxt*>(ctx)->disableSAX)
        xmlSAX2StartElementNs(ctx, localname, prefix, uri, nbNamespaces, namespaces, nbAttributes,
                              nbDefaulted, attributes);
}

void aoReferenciar(void* ctx, const xmlChar* name) {
    contar(ctx, 1);
    if (!static_cast<xmlParserCtxt*>(ctx)->disableSAX)
        xmlSAX2Reference(ctx, name);
}

void aoComentar(void* ctx, const xmlChar* value) {
    contar(ctx, 1);
    if (!static_cast<xmlParserCtxt*>(ctx)->disableSAX)
        xmlSAX2Comment(ctx, value);
}

void aoInstruir(void* ctx, const xmlChar* target, const xmlChar* data) {
    contar(ctx, 1);
    if (!static_cast<xmlParserCtxt*>(ctx)->disableSAX)
        xmlSAX2ProcessingInstruction(ctx, target, data);
}

void aoCData(void* ctx, const xmlChar* value, int len) {
    contar(ctx, 1);
    if (!static_cast<xmlParserCtxt*>(ctx)->disableSAX)
        xmlSAX2CDataBlock(ctx, value, len);
}

// Encoding errors reach libxml2's generic handler even with XML_PARSE_NOERROR; the reader
// reports through its exception only.
void semMensagem(void*, const char*, ...) {}

// What libxml2 found, in the office's words, with where it found it.
QString xmlMalFormado(const xmlError* e) {
    QString why = QStringLiteral("XML mal formado");
    if (!e)
        return why;
    if (e->line > 0)
        why += QStringLiteral(" na linha %1, coluna %2").arg(e->line).arg(qMax(e->int2, 1));
    QString oque;
    switch (e->code) {
    case XML_ERR_DOCUMENT_START:
    case XML_ERR_DOCUMENT_EMPTY:
        oque = QStringLiteral("não começa com um elemento XML");
        break;
    case XML_ERR_DOCUMENT_END:
    case XML_ERR_EXTRA_CONTENT:
        oque = QStringLiteral("conteúdo depois do fim do documento");
        break;
    case XML_ERR_TAG_NAME_MISMATCH:
        oque = QStringLiteral("a marca de fechamento não corresponde à de abertura");
        break;
    case XML_ERR_TAG_NOT_FINISHED:
    case XML_ERR_LTSLASH_REQUIRED:
        oque = QStringLiteral("o arquivo termina antes de fechar seus elementos (incompleto?)");
        break;
    case XML_ERR_GT_REQUIRED:
    case XML_ERR_NAME_REQUIRED:
    case XML_ERR_LT_IN_ATTRIBUTE:
    case XML_ERR_ATTRIBUTE_NOT_STARTED:
    case XML_ERR_ATTRIBUTE_NOT_FINISHED:
    case XML_ERR_ATTRIBUTE_WITHOUT_VALUE:
    case XML_ERR_STRING_NOT_CLOSED:
        oque = QStringLiteral("marca ou atributo incompleto");
        break;
    case XML_ERR_ATTRIBUTE_REDEFINED:
        oque = QStringLiteral("atributo repetido");
        break;
    case XML_ERR_INVALID_CHAR:
    case XML_ERR_INVALID_ENCODING:
    case XML_ERR_INVALID_CHARREF:
    case XML_ERR_INVALID_DEC_CHARREF:
        oque = QStringLiteral("caractere inválido ou fora da codificação declarada");
        break;
    case XML_ERR_UNKNOWN_ENCODING:
    case XML_ERR_UNSUPPORTED_ENCODING:
        oque = QStringLiteral("codificação não suportada");
        break;
    case XML_ERR_UNDECLARED_ENTITY:
        oque = QStringLiteral("entidade não declarada");
        break;
    case XML_ERR_ENTITY_LOOP:
        oque = QStringLiteral("entidades em ciclo ou expansão grande demais");
        break;
    default:
        // Less common faults keep the parser's own words.
        oque = QStringLiteral("erro %1 do libxml2").arg(e->code);
        if (e->message)
            oque += QStringLiteral(": ") + QString::fromUtf8(e->message).trimmed();
        break;
    }
    return why + QStringLiteral(": ") + oque;
}

Documento analisar(const QByteArray& xml) {
    static const bool iniciado =
        (xmlInitParser(), xmlSetGenericErrorFunc(nullptr, semMensagem), true);
    (void)iniciado;
    if (xml.size() > kTamanhoMaximoNFe)
        ilegivel(acimaDoTamanho(xml.size()));
    if (xml.isEmpty())
        ilegivel(QStringLiteral("arquivo vazio"));
    std::unique_ptr<xmlParserCtxt, TLiberaContexto> ctxt(xmlNewParserCtxt());
    if (!ctxt)
        throw std::bad_alloc();
    TContagem contagem;
    ctxt->_private = &contagem;
    ctxt->sax->startElementNs = aoAbrirElemento;
    ctxt->sax->reference = aoReferenciar;
    ctxt->sax->comment = aoComentar;
    ctxt->sax->processingInstruction = aoInstruir;
    ctxt->sax->cdataBlock = aoCData;
    Documento doc(xmlCtxtReadMemory(ctxt.get(), xml.constData(), static_cast<int>(xml.size()),
                                    nullptr, nullptr, kOpcoesParser));
    if (contagem.nos > kMaxNos)
        ilegivel(QStringLiteral("XML com nós demais (mais de %1 elementos, atributos ou textos)")
                     .arg(kMaxNos));
    if (!doc)
        ilegivel(xmlMalFormado(xmlCtxtGetLastError(ctxt.get())));
    // An undeclared prefix is only a namespace error for libxml2; a namespace-aware reader
    // refuses the document.
    if (!ctxt->nsWellFormed)
        ilegivel(QStringLiteral("XML com erro de namespace: prefixo não declarado"));
    return doc;
}

// --- Access rules ---------------------------------------------------------------------

const xmlChar* xc(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

const xmlChar* uriDe(const xmlNode* n) {
    return (n->ns && n->ns->href && *n->ns->href) ? n->ns->href : nullptr;
}

bool nomeCompletoIgual(const xmlNode* n, const char* name) {
    if (n->type != XML_ELEMENT_NODE)
        return false;
    if (!n->ns || !n->ns->prefix)
        return xmlStrEqual(n->name, xc(name));
    const std::string full = std::string(reinterpret_cast<const char*>(n->ns->prefix)) + ':' +
                             reinterpret_cast<const char*>(n->name);
    return full == name;
}

// Child lookup: first element child in the parent's namespace (any, when the parent has
// none) whose full or local name is `name`. Only elements have children here: entity
// references are never expanded.
xmlNode* procurarFilho(const xmlNode* parent, const char* name) {
    if (!parent || parent->type != XML_ELEMENT_NODE)
        return nullptr;
    const xmlChar* uri = uriDe(parent);
    for (xmlNode* c = parent->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE)
            continue;
        if (uri) {
            const xmlChar* cu = uriDe(c);
            if (!cu || xmlStrcasecmp(uri, cu) != 0)
                continue;
        }
        if (xmlStrEqual(c->name, xc(name)) || nomeCompletoIgual(c, name))
            return c;
    }
    return nullptr;
}

// A required element that is missing, in the office's words: an NFC-e without `dest` is
// "sem destinatário".
QString elementoAusente(const char* name) {
    static const struct {
        const char* elemento;
        const char* oque;
    } kNomes[] = {
        {"ide", "sem identificação da nota"},  {"emit", "sem emitente"},
        {"dest", "sem destinatário"},          {"total", "sem totais"},
        {"ICMSTot", "sem totais do ICMS"},     {"infProt", "protocolo sem dados"},
    };
    QString why = QStringLiteral("falta o elemento ") + QLatin1String(name);
    for (const auto& n : kNomes)
        if (qstrcmp(n.elemento, name) == 0)
            return QString::fromUtf8(n.oque) + QStringLiteral(": ") + why;
    return why;
}

xmlNode* exigirFilho(const xmlNode* parent, const char* name) {
    xmlNode* c = procurarFilho(parent, name);
    if (!c)
        ilegivel(elementoAusente(name));
    return c;
}

// Element text: nothing gives empty text, one text or CDATA node gives its value, and any
// other content fails. A missing element (child access) reads as empty text; the tree is
// never changed.
QString textoDe(const xmlNode* el, const char* name) {
    if (!el || !el->children)
        return {};
    const xmlNode* c = el->children;
    if (c->next || (c->type != XML_TEXT_NODE && c->type != XML_CDATA_SECTION_NODE))
        ilegivel(QStringLiteral("o elemento %1 contém algo além de texto (elementos, "
                                "comentário ou entidade)")
                     .arg(QLatin1String(name)));
    return c->content ? QString::fromUtf8(reinterpret_cast<const char*>(c->content)) : QString();
}

QString textoFilho(const xmlNode* parent, const char* name) {
    return textoDe(procurarFilho(parent, name), name);
}

// An attribute without a namespace, from its own nodes only: expanding entity references
// here could be an amplification bomb.
std::optional<QString> atributo(const xmlNode* el, const char* nome) {
    for (const xmlAttr* a = el->properties; a; a = a->next) {
        if (a->ns || !xmlStrEqual(a->name, xc(nome)))
            continue;
        QString value;
        for (const xmlNode* c = a->children; c; c = c->next) {
            if (c->type != XML_TEXT_NODE)
                ilegivel(QStringLiteral("atributo %1 com referência a entidade")
                             .arg(QLatin1String(nome)));
            if (c->content)
                value += QString::fromUtf8(reinterpret_cast<const char*>(c->content));
        }
        return value;
    }
    return std::nullopt;
}

QString atributoVersao(const xmlNode* infNFe) {
    if (std::optional<QString> v = atributo(infNFe, "versao"))
        return *v;
    ilegivel(QStringLiteral("infNFe sem o atributo versao"));
}

// Layout 3.10 and every later layout carry dhEmi; the earlier ones dEmi.
bool usaDhEmi(const QString& versao) {
    if (versao == QLatin1String("3.10"))
        return true;
    const std::optional<double> v = ConverterDecimal(versao, QStringLiteral("."));
    return v && *v > 3.1;
}

// Day, month and year as written in a "yyyy-mm-dd..." text (the time of day and the UTC
// offset are ignored), whatever the regional date order.
QDate dataEmissao(const QString& t, const char* elemento) {
    auto numero = [](const QString& s) -> int {
        if (s.isEmpty())
            return -1;
        int v = 0;
        for (QChar c : s) {
            if (!digitoAscii(c))
                return -1;
            v = v * 10 + (c.unicode() - u'0');
        }
        return v;
    };
    const int dia = numero(t.mid(8, 2));
    const int mes = numero(t.mid(5, 2));
    const int ano = numero(t.mid(0, 4));
    if (t.isEmpty())
        ilegivel(QStringLiteral("data de emissão inválida: o elemento %1 falta ou está vazio")
                     .arg(QLatin1String(elemento)));
    if (dia < 1 || mes < 1 || ano < 1 || !QDate::isValid(ano, mes, dia))
        ilegivel(QStringLiteral("data de emissão inválida em %1: \"%2\"")
                     .arg(QLatin1String(elemento), nomeLegivel(t.left(40))));
    return QDate(ano, mes, dia);
}

// The invoice's own signature: a ds:Signature beside infNFe, with its value.
bool assinada(const xmlNode* nfe) {
    static const xmlChar* const kXmlDsig = xc("http://www.w3.org/2000/09/xmldsig#");
    for (const xmlNode* c = nfe ? nfe->children : nullptr; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE || !xmlStrEqual(c->name, xc("Signature")) || !uriDe(c) ||
            !xmlStrEqual(uriDe(c), kXmlDsig))
            continue;
        for (const xmlNode* v = c->children; v; v = v->next)
            if (v->type == XML_ELEMENT_NODE && xmlStrEqual(v->name, xc("SignatureValue")) &&
                v->children)
                return true;
    }
    return false;
}

TDadosNFe lerDocumento(const QByteArray& xml, const QString& fileName, const QString& sVirgula,
                       const QString& decimalPoint, const QString& sCNPJ) {
    conferirNomeArquivo(fileName);
    const Documento doc = analisar(xml);

    const xmlNode* raiz = xmlDocGetRootElement(doc.get());
    if (!raiz || !raiz->children)
        ilegivel(QStringLiteral("não é uma NF-e: o elemento raiz está vazio"));

    // infNFe: below an nfeProc held by the root's first child, or the first child itself,
    // or a child of that first child.
    const xmlNode* primeiro = raiz->children;
    const xmlNode* infNFe = nullptr;
    if (const xmlNode* nfeProc = procurarFilho(primeiro, "nfeProc"))
        infNFe = procurarFilho(nfeProc, "infNFe");
    else if (nomeCompletoIgual(primeiro, "infNFe"))
        infNFe = primeiro;
    else
        infNFe = procurarFilho(primeiro, "infNFe");
    if (!infNFe)
        ilegivel(QStringLiteral("não é uma NF-e: infNFe não encontrado"));

    TDadosNFe d;
    d.versao = atributoVersao(infNFe);

    const xmlNode* ide = exigirFilho(infNFe, "ide");
    d.cnumdoc = textoFilho(ide, "nNF");
    const char* elementoData = usaDhEmi(d.versao) ? "dhEmi" : "dEmi";
    d.demissao = dataEmissao(textoFilho(ide, elementoData), elementoData);
    d.cserie = textoFilho(ide, "serie");

    const xmlNode* emitente = exigirFilho(infNFe, "emit");
    d.ccnpj_origem = textoFilho(emitente, "CNPJ");
    d.cnome_origem = textoFilho(emitente, "xNome");
    // The issuer CNPJ names a folder level locally and on the FTP server: only letters and
    // digits may steer a path. An issuer identified by CPF has no folder and is refused.
    if (d.ccnpj_origem.isEmpty())
        ilegivel(procurarFilho(emitente, "CPF")
                     ? QStringLiteral("emitente sem CNPJ: identificado por CPF")
                     : QStringLiteral("emitente sem CNPJ"));
    if (!nomeDePastaSeguro(d.ccnpj_origem))
        ilegivel(QStringLiteral("CNPJ do emitente com caractere inválido: \"%1\"")
                     .arg(nomeLegivel(d.ccnpj_origem.left(40))));

    const xmlNode* dest = exigirFilho(infNFe, "dest");
    d.ccnpj_destino = textoFilho(dest, "CNPJ");
    if (d.ccnpj_destino.isEmpty())
        d.ccnpj_destino = textoFilho(dest, "CPF");
    d.cnome_destino = textoFilho(dest, "xNome");

    const xmlNode* total = exigirFilho(infNFe, "total");
    const xmlNode* icmsTot = exigirFilho(total, "ICMSTot");
    const QString vNFEscrito = textoFilho(icmsTot, "vNF");
    QString vNF = vNFEscrito;
    if (sVirgula == QLatin1String("S"))
        vNF = TrocaPontoVirgula(vNF);
    const std::optional<double> valor = ConverterDecimal(vNF, decimalPoint);
    if (!valor) {
        QString why = QStringLiteral("valor total vNF não é um número: \"%1\"")
                          .arg(nomeLegivel(vNFEscrito.left(40)));
        // Every invoice of the folder fails the same way when sVirgula does not fit the
        // regional settings: say where to look.
        const QString trocado =
            sVirgula == QLatin1String("S") ? vNFEscrito : TrocaPontoVirgula(vNFEscrito);
        if (ConverterDecimal(trocado, decimalPoint))
            why += QStringLiteral("; confira sVirgula no DOC.INI (separador decimal \"%1\")")
                       .arg(decimalPoint);
        ilegivel(why);
    }
    d.nvalortotal = *valor;

    d.arquivo = fileName;
    d.pasta = comporPasta(sCNPJ, d.ccnpj_origem, d.demissao);

    // The access key the document states: its protocol's chNFe, else the digits of its infNFe
    // Id. Only a document that states neither keeps the text made of its file name.
    const xmlNode* protNFe = procurarFilho(raiz, "protNFe");
    QString chave;
    if (protNFe)
        chave = textoFilho(exigirFilho(protNFe, "infProt"), "chNFe");
    if (!chaveDeAcesso(chave)) {
        const QString id = atributo(infNFe, "Id").value_or(QString());
        chave = id.startsWith(QLatin1String("NFe")) ? id.mid(3) : QString();
    }
    if (chaveDeAcesso(chave))
        d.chave_doc = chave;
    else
        d.chave_doc = fileName.size() > 8 ? fileName.left(fileName.size() - 8) : QString();
    d.protocolada = protNFe != nullptr;
    d.assinada = assinada(infNFe->parent);
    return d;
}

} // namespace

QString TrocaPontoVirgula(const QString& s) {
    QString r = s;
    for (QChar& c : r) {
        if (c == u'.')
            c = u',';
        else if (c == u',')
            c = u'.';
    }
    return r;
}

std::optional<double> ConverterDecimal(const QString& text, const QString& decimalPoint) {
    const qsizetype n = text.size();
    qsizetype i = 0;
    std::string ascii; // the same number in the form from_chars reads
    auto digitos = [&] {
        qsizetype k = 0;
        for (; i < n && digitoAscii(text[i]); ++i, ++k)
            ascii += static_cast<char>(text[i].unicode());
        return k;
    };

    while (i < n && text[i] == u' ')
        ++i;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        if (text[i] == u'-')
            ascii += '-';
        ++i;
    }
    qsizetype mantissa = digitos();
    if (!decimalPoint.isEmpty() && QStringView(text).sliced(i).startsWith(decimalPoint)) {
        i += decimalPoint.size();
        ascii += '.';
        mantissa += digitos();
    }
    if (mantissa == 0)
        return std::nullopt;
    if (i < n && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        ascii += 'e';
        if (i < n && (text[i] == u'+' || text[i] == u'-'))
            ascii += static_cast<char>(text[i++].unicode());
        if (digitos() == 0)
            return std::nullopt;
    }
    while (i < n && text[i] == u' ')
        ++i;
    if (i != n)
        return std::nullopt;

    double v = 0;
    const char* end = ascii.data() + ascii.size();
    const auto [p, ec] = std::from_chars(ascii.data(), end, v);
    if (ec != std::errc() || p != end || !std::isfinite(v))
        return std::nullopt;
    return v;
}

namespace {

// Every failure of a read, of whatever kind, is the one outcome "unreadable".
template <typename Read> TDadosNFe comoIlegivel(Read read) {
    try {
        return read();
    } catch (const TNFeIlegivel&) {
        throw;
    } catch (const std::bad_alloc&) {
        // Not the file's fault: the caps above keep any file well below what memory holds.
        throw TNFeIlegivel(QStringLiteral("memória esgotada"), TNFeIlegivel::Tipo::Inacessivel);
    } catch (const std::exception& e) {
        throw TNFeIlegivel(e.what());
    }
}

} // namespace

TDadosNFe LerDadosNFeBytes(const QByteArray& xml, const QString& fileName, const QString& sVirgula,
                           const QString& decimalPoint, const QString& sCNPJ) {
    return comoIlegivel([&] { return lerDocumento(xml, fileName, sVirgula, decimalPoint, sCNPJ); });
}

TArquivoLido LerArquivoNFe(const QByteArray& caminho) {
    try {
        return lerArquivo(caminho);
    } catch (const TNFeIlegivel&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw TNFeIlegivel(QStringLiteral("memória esgotada"), TNFeIlegivel::Tipo::Inacessivel);
    }
}

TDadosNFe LerDadosNFe(const QString& folder, const QString& fileName, const QString& sVirgula,
                      const QString& decimalPoint, const QString& sCNPJ) {
    return comoIlegivel([&] {
        conferirNomeArquivo(fileName);
        const TArquivoLido lido = lerArquivo(QFile::encodeName(folder + fileName));
        return LerDadosNFeBytes(lido.dados, fileName, sVirgula, decimalPoint, sCNPJ);
    });
}
