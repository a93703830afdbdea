#include "scramble.h"

#include <QTest>

using Felles::ScramblePassword;
using Felles::UnscramblePassword;

class TestScramble : public QObject
{
    Q_OBJECT

private slots:
    void scrambleAndBack_data();
    void scrambleAndBack();
    void unscrambleOfForeignText_data();
    void unscrambleOfForeignText();
    void longPasswordsLoseTheirTail();
};

void TestScramble::scrambleAndBack_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("stored");
    // clang-format off
    QTest::newRow("example") << QByteArray("abc") << QByteArray("zbdf2");
    QTest::newRow("empty") << QByteArray() << QByteArray("z2");
    QTest::newRow("code 255 wraps to 0") << QByteArray("\xff") << QByteArray("z\0" "2", 3);
    QTest::newRow("code 254 at 2 wraps to 0") << QByteArray("a\xfe") << QByteArray("zb\0" "2", 4);
    QTest::newRow("UTF-8 letters") << QByteArray("\xc3\xa5") << QByteArray("z\xc4\xa7" "2");
    // clang-format on
}

void TestScramble::scrambleAndBack()
{
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, stored);
    QCOMPARE(ScramblePassword(plain), stored);
    QCOMPARE(UnscramblePassword(stored), plain);
}

void TestScramble::unscrambleOfForeignText_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("one character") << QByteArray("z") << QByteArray();
    QTest::newRow("two characters") << QByteArray("ab") << QByteArray();
    // Typed into the file by hand: first and last go, the rest shifts down.
    QTest::newRow("never scrambled") << QByteArray("secret") << QByteArray("daoa");
}

void TestScramble::unscrambleOfForeignText()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, plain);
    QCOMPARE(UnscramblePassword(stored), plain);
}

void TestScramble::longPasswordsLoseTheirTail()
{
    for (int n : {253, 254, 255}) {
        QByteArray plain;
        for (int i = 0; i < n; ++i)
            plain += char('!' + i % 90);
        const QByteArray stored = ScramblePassword(plain);
        QCOMPARE(stored.size(), 255);
        QCOMPARE(stored.endsWith('2'), n == 253);
        QCOMPARE(UnscramblePassword(stored), plain.left(253));
    }
}

QTEST_GUILESS_MAIN(TestScramble)
#include "tst_scramble.moc"
