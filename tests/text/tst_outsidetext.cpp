#include "outsidetext.h"

#include <QTest>

#include <algorithm>

using OutsideText::Encoding;
using OutsideText::Shown;

class TestOutsideText : public QObject
{
    Q_OBJECT

private slots:
    void shown_data();
    void shown();
    void decodedTextByTheSameRule_data();
    void decodedTextByTheSameRule();
    void limit_data();
    void limit();
};

// The expected texts are written out by hand: each escape is the bytes the
// input holds.
void TestOutsideText::shown_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << QByteArray("mail.example.org") << QStringLiteral("mail.example.org");
    QTest::newRow("letters beyond ASCII") << QByteArray("bl\xc3\xa5"
                                                        "b\xc3\xa6r")
                                          << QStringLiteral("blåbær");
    QTest::newRow("markup stays text") << QByteArray("<b>fet</b> &amp;") << QStringLiteral("<b>fet</b> &amp;");
    QTest::newRow("backslash stays") << QByteArray("C:\\Users\\kari") << QStringLiteral("C:\\Users\\kari");
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << QStringLiteral("a\\x00b");
    QTest::newRow("line ends and tab") << QByteArray("a\r\nb\tc") << QStringLiteral("a\\x0D\\x0Ab\\x09c");
    QTest::newRow("DEL and escape") << QByteArray("\x7f\x1b[31m") << QStringLiteral("\\x7F\\x1B[31m");
    QTest::newRow("C1 control") << QByteArray("x\xc2\x9by") << QStringLiteral("x\\xC2\\x9By");
    QTest::newRow("right-to-left override") << QByteArray("abc\xe2\x80\xae"
                                                          "fdp.exe")
                                            << QStringLiteral("abc\\xE2\\x80\\xAEfdp.exe");
    QTest::newRow("right-to-left isolate") << QByteArray("\xe2\x81\xa7x") << QStringLiteral("\\xE2\\x81\\xA7x");
    QTest::newRow("zero-width space") << QByteArray("a\xe2\x80\x8b"
                                                    "b")
                                      << QStringLiteral("a\\xE2\\x80\\x8Bb");
    QTest::newRow("line separator") << QByteArray("a\xe2\x80\xa8"
                                                  "b")
                                    << QStringLiteral("a\\xE2\\x80\\xA8b");
    QTest::newRow("paragraph separator") << QByteArray("a\xe2\x80\xa9"
                                                       "b")
                                         << QStringLiteral("a\\xE2\\x80\\xA9b");
    QTest::newRow("Latin-1 byte") << QByteArray("s\xe5ra") << QStringLiteral("s\\xE5ra");
    QTest::newRow("cut sequence") << QByteArray("ab\xe2\x80") << QStringLiteral("ab\\xE2\\x80");
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QStringLiteral("\\xC0\\xAF");
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << QStringLiteral("\\xED\\xA0\\x80");
    QTest::newRow("past U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << QStringLiteral("\\xF4\\x90\\x80\\x80");
    QTest::newRow("four-byte character") << QByteArray("\xf0\x9f\x93\xab") << QStringLiteral("\U0001F4EB");
    QTest::newRow("empty") << QByteArray() << QString();
}

// Where the system's encoding is UTF-8 (Linux here) both readings give one
// answer; elsewhere (a Windows code page) they agree on ASCII, NUL and
// control characters included.
void TestOutsideText::shown()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(Shown(bytes, Encoding::Utf8), expected);
    const bool utf8Locale = QString::fromLocal8Bit("\xc3\xa5") == QStringLiteral("å");
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<uchar>(c) < 0x80; });
    if (utf8Locale || ascii)
        QCOMPARE(Shown(bytes, Encoding::Local), expected);
}

void TestOutsideText::decodedTextByTheSameRule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << QStringLiteral("Posten <b>") << QStringLiteral("Posten <b>");
    QTest::newRow("line break") << QStringLiteral("Posten\nFalskt") << QStringLiteral("Posten\\x0AFalskt");
    QTest::newRow("override") << QStringLiteral("\u202eabc") << QStringLiteral("\\xE2\\x80\\xAEabc");
    QTest::newRow("C1 control") << QStringLiteral("127.0.0.1\u009b") << QStringLiteral("127.0.0.1\\xC2\\x9B");
    QTest::newRow("pair") << QStringLiteral("\U0001F4EB") << QStringLiteral("\U0001F4EB");
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) + QLatin1Char('x') << QStringLiteral("\\xED\\xA0\\x80x");
}

void TestOutsideText::decodedTextByTheSameRule()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(Shown(text), expected);
}

void TestOutsideText::limit_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qsizetype>("limit");
    QTest::addColumn<QString>("expected");

    QTest::newRow("fits") << QByteArray("abcde") << qsizetype(5) << QStringLiteral("abcde");
    QTest::newRow("cut") << QByteArray("abcdef") << qsizetype(5) << QStringLiteral("abcde\u2026");
    // An escape is never cut: the whole \x0A is left out.
    QTest::newRow("escape not cut") << QByteArray("abc\n") << qsizetype(5) << QStringLiteral("abc\u2026");
    // Nor a character of two UTF-16 units.
    QTest::newRow("pair not cut") << QByteArray("abcd\xf0\x9f\x93\xab") << qsizetype(5) << QStringLiteral("abcd\u2026");
}

void TestOutsideText::limit()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qsizetype, limit);
    QFETCH(QString, expected);
    QCOMPARE(Shown(bytes, Encoding::Utf8, limit), expected);
    QCOMPARE(Shown(QString::fromUtf8(bytes), limit), expected);
}

QTEST_GUILESS_MAIN(TestOutsideText)
#include "tst_outsidetext.moc"
