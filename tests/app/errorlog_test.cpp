#include "ErrorLog.h"

#include <gtest/gtest.h>

TEST(ErrorLog, TimeStampFollowsRegionalSeparators) {
    const QDateTime when(QDate(2014, 11, 5), QTime(9, 7, 59));
    const struct {
        const char* locale;
        const char* expected;
    } cases[] = {
        {"pt_BR", "05/11/2014 09:07 "},
        {"en_US", "05/11/2014 09:07 "}, // month-first order does not reorder the stamp
        {"de_DE", "05.11.2014 09:07 "},
        {"fi_FI", "05.11.2014 09.07 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale);
        EXPECT_EQ(carimboLog(when, QLocale(QString::fromLatin1(c.locale))),
                  QString::fromLatin1(c.expected));
    }
    // Hours run from 00 to 23 whatever the regional clock.
    EXPECT_EQ(
        carimboLog(QDateTime(QDate(2026, 1, 31), QTime(23, 5)), QLocale(QStringLiteral("en_US"))),
        u"31/01/2026 23:05 ");
}

TEST(ErrorLog, Lines) {
    const QDateTime when(QDate(2026, 12, 9), QTime(14, 30));
    const QLocale br(QStringLiteral("pt_BR"));
    EXPECT_EQ(linhaArquivoIlegivel(when, br, QStringLiteral("nota 1.xml")),
              u"09/12/2026 14:30 Erro ao processar o arquivo: nota 1.xml\n");
    EXPECT_EQ(linhaArquivoIlegivel(when, br, QStringLiteral("nota 1.xml"),
                                   QStringLiteral("arquivo vazio")),
              u"09/12/2026 14:30 Erro ao processar o arquivo: nota 1.xml (arquivo vazio)\n");
    EXPECT_EQ(linhaFalha(when, br, QStringLiteral("falhou")), u"09/12/2026 14:30  falhou");
}
