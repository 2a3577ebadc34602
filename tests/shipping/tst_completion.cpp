// pelirand-scan's bash completion as the build makes it from the table of
// options, run by bash with the bash-completion package: the options --help
// lists, the values each option takes, and the source names the DSM lists
// through the tree's bridge.

#include <QtTest>

#include <QProcess>

namespace {

const char* const kBashCompletion = "/usr/share/bash-completion/bash_completion";

} // namespace

class TestCompletion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void complete_data();
    void complete();
};

void TestCompletion::initTestCase()
{
    if (!QFileInfo::exists(QString::fromLatin1(kBashCompletion)))
        QSKIP("the bash-completion package is not installed");
}

void TestCompletion::complete_data()
{
    QTest::addColumn<QStringList>("lstWords");
    QTest::addColumn<QStringList>("lstExpected");
    QTest::addColumn<QStringList>("lstNotExpected");
    QTest::newRow("long option") << QStringList{QStringLiteral("--mech")}
                                 << QStringList{QStringLiteral("--mechanism")}
                                 << QStringList{QStringLiteral("--pages")};
    // Options come from the table --help is made from, so every one of them completes.
    QTest::newRow("every option") << QStringList{QStringLiteral("--")}
                                  << QStringList{QStringLiteral("--version"), QStringLiteral("--list"),
                                                 QStringLiteral("--output"), QStringLiteral("--bridge")}
                                  << QStringList{QStringLiteral("native")};
    QTest::newRow("mechanism") << QStringList{QStringLiteral("--mechanism"), QString()}
                               << QStringList{QStringLiteral("native"), QStringLiteral("memfile")}
                               << QStringList{QStringLiteral("--list")};
    QTest::newRow("pixel type") << QStringList{QStringLiteral("--pixel-type"), QStringLiteral("g")}
                                << QStringList{QStringLiteral("gray")} << QStringList{QStringLiteral("rgb")};
    QTest::newRow("mode as scanimage names it") << QStringList{QStringLiteral("--mode"), QStringLiteral("G")}
                                                << QStringList{QStringLiteral("Gray")}
                                                << QStringList{QStringLiteral("Color")};
    QTest::newRow("scanimage's short options") << QStringList{QStringLiteral("--list-d")}
                                               << QStringList{QStringLiteral("--list-devices")}
                                               << QStringList{};
    QTest::newRow("format from --help")
        << QStringList{QStringLiteral("--format"), QString()}
        << QStringList{QStringLiteral("png"), QStringLiteral("bmp")} << QStringList{QStringLiteral("dll")};
    // A name with spaces stays one word.
    QTest::newRow("source from --list")
        << QStringList{QStringLiteral("--source"), QStringLiteral("pel")}
        << QStringList{QStringLiteral("pelirand\\ Simulated\\ Scanner")} << QStringList{};
    // --list and --options go with other options, which complete after them.
    QTest::newRow("option after --list") << QStringList{QStringLiteral("--list"), QStringLiteral("--js")}
                                         << QStringList{QStringLiteral("--json")} << QStringList{};
    QTest::newRow("nothing after --version") << QStringList{QStringLiteral("--version"), QString()}
                                             << QStringList{} << QStringList{QStringLiteral("--list")};
}

void TestCompletion::complete()
{
    QFETCH(QStringList, lstWords);
    QFETCH(QStringList, lstExpected);
    QFETCH(QStringList, lstNotExpected);
    // What bash sets before it calls a completion function.
    const QString sScript =
        QStringLiteral("source \"$1\"; source \"$2\"; shift 2\n"
                       "COMP_WORDS=(\"$@\"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                       "COMP_LINE=\"${COMP_WORDS[*]}\"; COMP_POINT=${#COMP_LINE}; COMPREPLY=()\n"
                       "_pelirand_scan \"$1\" \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n"
                       "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
    QProcess bash;
    bash.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bash.start(QStringLiteral("bash"),
               QStringList{QStringLiteral("-c"), sScript, QStringLiteral("bash"),
                           QString::fromLatin1(kBashCompletion), QStringLiteral(COMPLETION_FILE),
                           QStringLiteral(SCAN_EXE)} +
                   lstWords);
    QVERIFY(bash.waitForFinished(120000));
    QCOMPARE(bash.exitCode(), 0);
    const QStringList lstReplies = QString::fromUtf8(bash.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString& sWord : lstExpected)
        QVERIFY2(lstReplies.contains(sWord), qPrintable(lstReplies.join(QLatin1Char(' '))));
    for (const QString& sWord : lstNotExpected)
        QVERIFY2(!lstReplies.contains(sWord), qPrintable(lstReplies.join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(TestCompletion)

#include "tst_completion.moc"
