#include "inifile.h"
#include "settingserror.h"
#include "testsupport.h"

#include <QFileInfo>

#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

using Felles::IniFile;
using Felles::SettingsError;
using namespace TestSupport;

namespace {
QByteArray reversed(QByteArray s)
{
    std::reverse(s.begin(), s.end());
    return s;
}

// What a file reads as: one "section/key=value" line per entry, in file order.
QByteArray readAs(const IniFile &f)
{
    QByteArray text;
    for (const IniFile::Entry &e : f.entries())
        text += e.section + '/' + e.key + '=' + e.value + '\n';
    return text;
}
} // namespace

class TestIniFile : public QObject
{
    Q_OBJECT

private slots:
    void valuesRoundTripByteForByte_data();
    void valuesRoundTripByteForByte();
    void everyByteButLineBreaksRoundTrips();
    void namesMatchWithoutLetterCase();
    void lineBreaksAreRefusedAndNothingChanges_data();
    void lineBreaksAreRefusedAndNothingChanges();
    void namesReadBackOrAreRefused_data();
    void namesReadBackOrAreRefused();
    void handEditedFileIsReadConventionally();
    void foreignFilesReadAndRewrite_data();
    void foreignFilesReadAndRewrite();
    void newLinesTakeTheFilesOwnForm();
    void brokenFilesLoadWithoutCrashing_data();
    void brokenFilesLoadWithoutCrashing();
    void unknownKeysAndCommentsSurviveRewrites();
    void newKeysAppearInWriteOrder();
    void numbersAndBooleans_data();
    void numbersAndBooleans();
    void missingFileOpensEmptyAndFlushCreatesIt();
    void newOwnerOnlyFileIsPrivate();
    void failedFlushLeavesTheOldFile();

private:
    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
};

void TestIniFile::valuesRoundTripByteForByte_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("equals and semicolons") << QByteArray("a=b;c ; d=");
    QTest::newRow("section-like") << QByteArray("[Pop3]");
    QTest::newRow("leading and trailing spaces") << QByteArray("  padded\t ");
    QTest::newRow("only spaces") << QByteArray("   ");
    QTest::newRow("quoted") << QByteArray("\"quoted\"");
    QTest::newRow("lone quote") << QByteArray("\"");
    QTest::newRow("quote and space") << QByteArray("\" x");
    QTest::newRow("NUL inside") << QByteArray("a\0b", 3);
    QTest::newRow("Norwegian UTF-8") << QByteArray("blåbærsyltetøy ÆØÅ");
    QTest::newRow("comment marker first") << QByteArray("; not a comment");
}

void TestIniFile::valuesRoundTripByteForByte()
{
    QFETCH(QByteArray, value);
    const QString p = path("roundtrip.ini");
    {
        IniFile f(p);
        f.writeString("S", "Key", value);
        f.writeString("S", "After", "kept");
        f.flush();
    }
    IniFile g(p);
    QCOMPARE(g.readString("S", "Key", "absent"), value);
    QCOMPARE(g.readString("S", "After"), QByteArray("kept"));
}

void TestIniFile::everyByteButLineBreaksRoundTrips()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        if (!Felles::IsLineBreak(char(b)))
            all += char(b);
    // The rule leaves out CR and LF, and nothing else.
    QCOMPARE(all.size(), 254);
    const QString p = path("allbytes.ini");
    {
        IniFile f(p);
        f.writeString("Pop3", "ServerPassword", all);
        f.writeString("Pop3", "Reversed", reversed(all));
        f.flush();
    }
    IniFile g(p);
    QCOMPARE(g.readString("Pop3", "ServerPassword"), all);
    QCOMPARE(g.readString("Pop3", "Reversed"), reversed(all));
}

void TestIniFile::namesMatchWithoutLetterCase()
{
    IniFile f(path("case.ini"));
    f.writeString("Pop3", "ServerName", "first");
    f.writeString("POP3", "SERVERNAME", "second");
    QCOMPARE(f.readString("pop3", "servername"), QByteArray("second"));
    QCOMPARE(f.serialize(), QByteArray("[Pop3]\nServerName=second\n"));
}

void TestIniFile::lineBreaksAreRefusedAndNothingChanges_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("LF") << QByteArray("a\nb");
    QTest::newRow("CR") << QByteArray("a\rb");
    QTest::newRow("section injection") << QByteArray("x\n[Smtp]\nServerName=evil");
}

void TestIniFile::lineBreaksAreRefusedAndNothingChanges()
{
    QFETCH(QByteArray, value);
    QVERIFY(!IniFile::canHold(value));
    IniFile f(path("refuse.ini"));
    f.writeString("S", "Key", "old");
    const QByteArray before = f.serialize();
    QVERIFY_THROWS_EXCEPTION(SettingsError, f.writeString("S", "Key", value));
    QVERIFY_THROWS_EXCEPTION(SettingsError, f.writeString("New", "Key", value));
    QCOMPARE(f.serialize(), before);
}

void TestIniFile::namesReadBackOrAreRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("equals sign") << QByteArray("a=b") << false;
    QTest::newRow("closing bracket") << QByteArray("a]b") << false;
    QTest::newRow("LF") << QByteArray("a\nb") << false;
    QTest::newRow("CR") << QByteArray("a\rb") << false;
    QTest::newRow("section injection") << QByteArray("x]\n[Smtp") << false;
    QTest::newRow("leading semicolon") << QByteArray(";a") << false;
    QTest::newRow("leading hash") << QByteArray("#a") << false;
    QTest::newRow("leading bracket") << QByteArray("[a") << false;
    QTest::newRow("leading space") << QByteArray(" a") << false;
    QTest::newRow("trailing tab") << QByteArray("a\t") << false;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("markers inside") << QByteArray("a;b#c[d") << true;
    QTest::newRow("inner space") << QByteArray("a b") << true;
    QTest::newRow("Norwegian UTF-8") << QByteArray("Innstillinger æøå") << true;
    QTest::newRow("Latin-1 byte and NUL") << QByteArray("s\xE5\0x", 4) << true;
}

void TestIniFile::namesReadBackOrAreRefused()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, allowed);
    QCOMPARE(IniFile::canName(name), allowed);
    const QString p = path("names.ini");
    QFile::remove(p);
    IniFile f(p);
    f.writeString("S", "Key", "old");
    if (allowed) {
        f.writeString(name, "Key", "v1");
        f.writeString("S", name, "v2");
        f.flush();
        QCOMPARE(readAs(IniFile(p)), "S/Key=old\nS/" + name + "=v2\n" + name + "/Key=v1\n");
        return;
    }
    const QByteArray before = f.serialize();
    for (const auto &[section, key] : {std::pair{name, QByteArray("Key")}, std::pair{QByteArray("S"), name}}) {
        try {
            f.writeString(section, key, "v");
            QFAIL("the name should have been refused");
        } catch (const SettingsError &e) {
            // The name is shown, with its control bytes made visible.
            QVERIFY2(!e.text().contains('\n') && !e.text().contains('\r'), qPrintable(e.text()));
            QVERIFY2(e.text().contains(p), qPrintable(e.text()));
        }
    }
    QCOMPARE(f.serialize(), before);
}

void TestIniFile::handEditedFileIsReadConventionally()
{
    const QString p = path("hand.ini");
    writeAll(p, "; written by hand\r\n"
                "  [ Pop3 ]  \r\n"
                "ServerName = mail.example.net   \r\n"
                "ServerPort=  995\r\n"
                "# also a comment\r\n"
                "; ServerUser=commented\r\n"
                "ServerUser=\" ola \"\r\n"
                "Empty=\r\n"
                "no equals sign here\r\n");
    IniFile f(p);
    QCOMPARE(f.readString("Pop3", "ServerName"), QByteArray("mail.example.net"));
    QCOMPARE(f.readInteger("Pop3", "ServerPort"), 995);
    QCOMPARE(f.readString("Pop3", "ServerUser"), QByteArray(" ola "));
    QCOMPARE(f.readString("Pop3", "Empty", "absent"), QByteArray());
    QVERIFY(!f.hasKey("Pop3", "; ServerUser"));
}

void TestIniFile::foreignFilesReadAndRewrite_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("entries");
    QTest::addColumn<QByteArray>("rewritten"); // "=" when byte for byte the same

    // clang-format off
    QTest::newRow("CR only")
        << QByteArray("[Pop3]\rServerName=mail.example\rServerUser=kari\r[Smtp]\rServerName=smtp\r")
        << QByteArray("Pop3/ServerName=mail.example\nPop3/ServerUser=kari\nSmtp/ServerName=smtp\n") << QByteArray("=");
    // Each line keeps its own ending; the last one, which had none, gets the
    // file's: two of each kind, so the first.
    QTest::newRow("mixed endings stay, line by line")
        << QByteArray("[Pop3]\r\nA=1\nB=2\rC=3\r\n\n[Smtp]\rD=4")
        << QByteArray("Pop3/A=1\nPop3/B=2\nPop3/C=3\nSmtp/D=4\n")
        << QByteArray("[Pop3]\r\nA=1\nB=2\rC=3\r\n\n[Smtp]\rD=4\r\n");
    QTest::newRow("most lines decide the last line's ending")
        << QByteArray("[Pop3]\r\nA=1\nB=2\nC=3") << QByteArray("Pop3/A=1\nPop3/B=2\nPop3/C=3\n")
        << QByteArray("[Pop3]\r\nA=1\nB=2\nC=3\n");
    QTest::newRow("stray CR before CR LF in an LF file")
        << QByteArray("[Pop3]\r\r\nServerName=mail\nServerUser=kari") << QByteArray("Pop3/ServerName=mail\nPop3/ServerUser=kari\n")
        << QByteArray("[Pop3]\r\r\nServerName=mail\nServerUser=kari\n");
    QTest::newRow("only stray CRs before CR LF")
        << QByteArray("[Pop3]\r\r\nServerName=mail") << QByteArray("Pop3/ServerName=mail\n")
        << QByteArray("[Pop3]\r\r\nServerName=mail\r\n");
    QTest::newRow("byte-order mark")
        << QByteArray("\xEF\xBB\xBF[Pop3]\r\nServerName=mail\r\n") << QByteArray("Pop3/ServerName=mail\n")
        << QByteArray("=");
    QTest::newRow("comment after a header")
        << QByteArray("  [Pop3] ; incoming mail\nServerName=x\n") << QByteArray("Pop3/ServerName=x\n")
        << QByteArray("=");
    QTest::newRow("comment with brackets after a header")
        << QByteArray("[Pop3] ; see [notes]\nServerName=x\n") << QByteArray("Pop3/ServerName=x\n") << QByteArray("=");
    QTest::newRow("text after a header")
        << QByteArray("[Smtp]extra=1\nServerName=y\n") << QByteArray("Smtp/ServerName=y\n") << QByteArray("=");
    QTest::newRow("value ending in CR")
        << QByteArray("[Pop3]\r\nServerName=mail\r\r\nServerUser=kari\r\n")
        << QByteArray("Pop3/ServerName=mail\nPop3/ServerUser=kari\n") << QByteArray("=");
    QTest::newRow("value ending in tab and CR")
        << QByteArray("[Pop3]\nServerUser=ola\t\r\r\nServerName=m\n")
        << QByteArray("Pop3/ServerUser=ola\nPop3/ServerName=m\n") << QByteArray("=");
    QTest::newRow("quoted value, CR only")
        << QByteArray("[Pop3]\rServerUser=\" ola \"\r\r") << QByteArray("Pop3/ServerUser= ola \n") << QByteArray("=");
    QTest::newRow("no line end at all") << QByteArray("[Pop3]") << QByteArray() << QByteArray("[Pop3]\n");
    // clang-format on
}

void TestIniFile::foreignFilesReadAndRewrite()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, entries);
    QFETCH(QByteArray, rewritten);
    if (rewritten == "=")
        rewritten = content;
    const QString p = path("foreign.ini");
    writeAll(p, content);
    IniFile f(p);
    QCOMPARE(readAs(f), entries);
    // Unchanged, the file is left exactly as it was written.
    f.flush();
    QCOMPARE(readAll(p), content);
    // What a rewrite would write reads back the same.
    QCOMPARE(f.serialize(), rewritten);
    writeAll(p, f.serialize());
    QCOMPARE(readAs(IniFile(p)), entries);
}

void TestIniFile::newLinesTakeTheFilesOwnForm()
{
    const QString p = path("own-form.ini");
    writeAll(p, "\xEF\xBB\xBF[Pop3] ; incoming\rServerName=old\r");
    IniFile f(p);
    f.writeString("Pop3", "ServerName", "new");
    f.writeString("pop3", "ServerUser", "kari");
    f.writeString("Smtp", "ServerName", "smtp");
    QCOMPARE(f.serialize(),
             QByteArray("\xEF\xBB\xBF[Pop3] ; incoming\rServerName=new\rServerUser=kari\r\r[Smtp]\rServerName=smtp\r"));

    // A rewrite leaves every line's ending as it was, the changed line's too;
    // new lines take the ending most lines use, which a stray CR before a
    // CR LF does not change.
    const struct
    {
        QByteArray before, after;
    } files[] = {
        {"[Pop3]\r\r\nServerName=old\nServerPort=110\n\n[Smtp]\nServerName=smtp\n",
         "[Pop3]\r\r\nServerName=new\nServerPort=110\nServerUser=kari\n\n[Smtp]\nServerName=smtp\n"},
        {"[Pop3]\r\nServerName=old\nServerPort=110\r\n",
         "[Pop3]\r\nServerName=new\nServerPort=110\r\nServerUser=kari\r\n"},
    };
    for (const auto &file : files) {
        const QString q = path("kept-endings.ini");
        writeAll(q, file.before);
        IniFile g(q);
        g.writeString("Pop3", "ServerName", "new");
        g.writeString("Pop3", "ServerUser", "kari");
        g.flush();
        QCOMPARE(readAll(q), file.after);
    }
}

void TestIniFile::brokenFilesLoadWithoutCrashing_data()
{
    QTest::addColumn<QByteArray>("content");
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary += char((i * 7919) & 0xff);
    QTest::newRow("binary") << binary;
    QTest::newRow("truncated header") << QByteArray("[Pop3]\nServerName=a\n[Sm");
    QTest::newRow("truncated mid-value") << QByteArray("[Pop3]\nServerName=mail.exa");
    QTest::newRow("no final newline") << QByteArray("[Pop3]\nServerName=x");
    QTest::newRow("empty brackets") << QByteArray("[]\n=\n[\n]\n");
    QTest::newRow("NULs only") << QByteArray(64, '\0');
}

void TestIniFile::brokenFilesLoadWithoutCrashing()
{
    QFETCH(QByteArray, content);
    const QString p = path("broken.ini");
    writeAll(p, content);
    IniFile f(p);
    f.readString("Pop3", "ServerName");
    f.writeString("Pop3", "ServerName", "fixed");
    f.flush();
    QCOMPARE(IniFile(p).readString("Pop3", "ServerName"), QByteArray("fixed"));
}

void TestIniFile::unknownKeysAndCommentsSurviveRewrites()
{
    const QString p = path("unknown.ini");
    const QByteArray original = "; my notes\n[Pop3]\nServerName=old\nServerPort=995\nMyOwnKey=x y\n\n[Other]\nA=1\n";
    writeAll(p, original);
    for (int round = 0; round < 3; ++round) {
        IniFile f(p);
        f.writeString("Pop3", "ServerName", "new");
        f.flush();
    }
    QCOMPARE(readAll(p), QByteArray(original).replace("ServerName=old", "ServerName=new"));
}

void TestIniFile::newKeysAppearInWriteOrder()
{
    IniFile f(path("order.ini"));
    f.writeString("Pop3", "B", "1");
    f.writeString("Smtp", "C", "2");
    f.writeString("Pop3", "A", "3");
    f.writeInteger("Smtp", "D", -1);
    QCOMPARE(f.serialize(), QByteArray("[Pop3]\nB=1\nA=3\n\n[Smtp]\nC=2\nD=-1\n"));
}

void TestIniFile::numbersAndBooleans_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<qint64>("integer");
    QTest::addColumn<bool>("boolean");
    QTest::newRow("one") << QByteArray("1") << qint64(1) << true;
    QTest::newRow("zero") << QByteArray("0") << qint64(0) << false;
    QTest::newRow("negative") << QByteArray("-1") << qint64(-1) << true;
    QTest::newRow("not a number") << QByteArray("abc") << qint64(0) << false;
    QTest::newRow("digits then text") << QByteArray("12ab") << qint64(0) << false;
    QTest::newRow("empty") << QByteArray("") << qint64(0) << false;
}

void TestIniFile::numbersAndBooleans()
{
    QFETCH(QByteArray, stored);
    QFETCH(qint64, integer);
    QFETCH(bool, boolean);
    IniFile f(path("numbers.ini"));
    f.writeString("S", "K", stored);
    QCOMPARE(f.readInteger("S", "K", 0), integer);
    QCOMPARE(f.readBool("S", "K", false), boolean);
    f.writeBool("S", "B", true);
    QCOMPARE(f.readString("S", "B"), QByteArray("1"));
    f.writeBool("S", "B", false);
    QCOMPARE(f.readString("S", "B"), QByteArray("0"));
}

void TestIniFile::missingFileOpensEmptyAndFlushCreatesIt()
{
    const QString p = path("sub-missing.ini");
    IniFile f(p);
    QCOMPARE(f.readString("S", "K", "dflt"), QByteArray("dflt"));
    QVERIFY(!QFileInfo::exists(p));
    f.flush();
    QVERIFY(QFileInfo::exists(p));
    QCOMPARE(readAll(p), QByteArray());
}

void TestIniFile::newOwnerOnlyFileIsPrivate()
{
    const QString p = path("private.ini");
    IniFile f(p);
    f.setNewFileOwnerOnly(true);
    f.writeString("Pop3", "ServerPassword", "zbdf2");
    f.flush();
    QCOMPARE(QFileInfo(p).permissions() & OwnerGroupOther, OwnerReadWrite);

    // An existing file keeps the mode its owner gave it.
    const QString shared = path("shared.ini");
    writeAll(shared, "[A]\n");
    QFile::setPermissions(shared, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                      | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    IniFile g(shared);
    g.setNewFileOwnerOnly(true);
    g.flush();
    QVERIFY(QFileInfo(shared).permissions() & QFileDevice::ReadOther);
}

void TestIniFile::failedFlushLeavesTheOldFile()
{
    const QString p = path("full-disk.ini");
    const QByteArray original = "[Pop3]\nServerName=old.example.net\n";
    writeAll(p, original);
    IniFile f(p);
    f.writeString("Pop3", "ServerName", "new.example.net");
    try {
        FileSizeLimit limit;
        f.flush();
        QFAIL("the flush should have failed");
    } catch (const SettingsError &e) {
        QVERIFY2(e.text().contains(p), qPrintable(e.text()));
    }
    QCOMPARE(readAll(p), original);
    QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("full-disk.ini*")}, QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("full-disk.ini")});
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
