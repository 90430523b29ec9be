#include <QtTest>

#include "ui/display_text.h"

// Names shown in their charsets, and what is left alone.
class DisplayTextTest : public QObject {
    Q_OBJECT
  private slots:
    void encodedWordsShowInTheirCharsets_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("shown");
        QTest::newRow("windows-1252") << QByteArray("=?windows-1252?Q?Zo=EB_M=FCller?=")
                                      << QStringLiteral("Zo\u00eb M\u00fcller");
        QTest::newRow("iso-8859-2")
            << QByteArray("=?ISO-8859-2?Q?=A3=F3d=BC?=") << QStringLiteral("\u0141\u00f3d\u017a");
        QTest::newRow("iso-8859-16")
            << QByteArray("=?iso-8859-16?q?=AA=E3?=") << QStringLiteral("\u0218\u0103");
        QTest::newRow("koi8-r") << QByteArray("=?KOI8-R?B?8NLJ18XU?=")
                                << QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442");
        QTest::newRow("shift_jis")
            << QByteArray("=?Shift_JIS?B?k/qWew==?=") << QStringLiteral("\u65e5\u672c");
        QTest::newRow("gb18030") << QByteArray("=?GB18030?B?1tDOxA==?=")
                                 << QStringLiteral("\u4e2d\u6587");
        QTest::newRow("bad utf-8 byte")
            << QByteArray("=?UTF-8?Q?caf=C3=A9_=FF?=") << QStringLiteral("caf\u00e9 \ufffd");
        QTest::newRow("unknown charset")
            << QByteArray("=?x-nowhere?Q?Zo=EB?=") << QStringLiteral("Zo\ufffd");
        QTest::newRow("language, folded neighbours, text around")
            << QByteArray("Re: =?utf-8*en?Q?a?= \r\n =?UTF-8?B?w6k=?= and =?utf-8?q?b?=")
            << QStringLiteral("Re: a\u00e9 and b");
        QTest::newRow("plain 8-bit text") << QByteArray("M\xc3\xbcller <m@x.example>")
                                          << QStringLiteral("M\u00fcller <m@x.example>");
        QTest::newRow("plain 8-bit text, not UTF-8")
            << QByteArray("M\xfcller =?iso-8859-1?q?M=FCller?=")
            << QStringLiteral("M\ufffdller M\u00fcller");
        // Shown as the rules see them: an unknown encoding keeps its text, a broken
        // base64 word vanishes, a stray "=" stays.
        QTest::newRow("odd encoded words")
            << QByteArray("=?UTF-8?X?abc?= =?utf-8?Q?=ZZ?= =?utf-8?B?@@@?= =?utf-8?Q?a b?=")
            << QStringLiteral("abc=ZZa b");
    }
    void encodedWordsShowInTheirCharsets() {
        QFETCH(QByteArray, raw);
        QFETCH(QString, shown);
        QCOMPARE(DisplayHeaderText(raw.toStdString()), shown);
    }

    // A converter that marks unmappable bytes with SUB still shows the replacement.
    void unmappableBytesShowAsReplacement() {
        const QString shown = DisplayHeaderText("=?EUC-JP?Q?=FF=A1=FF?=");
        QVERIFY2(!shown.contains(QChar(0x1A)), qPrintable(shown));
        QVERIFY2(shown.contains(QChar(QChar::ReplacementCharacter)), qPrintable(shown));
    }
};

QTEST_GUILESS_MAIN(DisplayTextTest)
#include "display_text_test.moc"
