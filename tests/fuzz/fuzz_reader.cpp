// libFuzzer target for the NF-e reader. The first byte chooses the settings (bit 0:
// sVirgula "S", bit 1: decimal comma); the rest is the file.
#include "NFeIlegivel.h"
#include "NFeReader.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

bool letrasEDigitos(const QString& s) {
    for (QChar c : s)
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')))
            return false;
    return !s.isEmpty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const QString sVirgula = (data[0] & 1) ? QStringLiteral("S") : QStringLiteral("N");
    const QString ponto = (data[0] & 2) ? QStringLiteral(",") : QStringLiteral(".");
    const QByteArray xml(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QString nome = QStringLiteral("35210458716523000119550010000000221922299869-nfe.xml");
    try {
        const TDadosNFe d =
            LerDadosNFeBytes(xml, nome, sVirgula, ponto, QStringLiteral("11222333000181"));
        // What a successful read promises to the moves and the upload.
        if (!d.demissao.isValid() || !letrasEDigitos(d.ccnpj_origem) ||
            !std::isfinite(d.nvalortotal) || d.arquivo != nome ||
            d.pasta != comporPasta(QStringLiteral("11222333000181"), d.ccnpj_origem, d.demissao))
            std::abort();
    } catch (const TNFeIlegivel&) {
    }
    const std::optional<double> v = ConverterDecimal(QString::fromUtf8(xml.left(80)), ponto);
    if (v && !std::isfinite(*v))
        std::abort();
    return 0;
}
