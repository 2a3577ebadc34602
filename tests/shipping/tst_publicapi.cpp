// The installed library as an application meets it: its headers sit beside the standard's own TWAIN
// header in either order.

#include <QtTest>

namespace {

// Runs a program to its end; its standard output, or a null string when it could not run.
QString run(const QString& sProgram, const QStringList& lstArgs, QString* pError)
{
    QProcess process;
    process.start(sProgram, lstArgs);
    if (!process.waitForStarted(-1) || !process.waitForFinished(-1)) {
        *pError = QStringLiteral("%1 did not run: %2").arg(sProgram, process.errorString());
        process.kill();
        process.waitForFinished(-1);
        return QString();
    }
    *pError = QString::fromLocal8Bit(process.readAllStandardError());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QStringList publicHeaders()
{
    return QStringLiteral(PUBLIC_HEADERS).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

class tst_PublicApi : public QObject
{
    Q_OBJECT

private slots:
    void besideTheStandardHeader_data();
    void besideTheStandardHeader();
};

void tst_PublicApi::besideTheStandardHeader_data()
{
    QTest::addColumn<bool>("standardFirst");
    QTest::newRow("standard header first") << true;
    QTest::newRow("pelirand first") << false;
}

void tst_PublicApi::besideTheStandardHeader()
{
    QFETCH(bool, standardFirst);
    const QString sArchive = QStringLiteral(TWAIN_ARCHIVE);
    if (!QFileInfo::exists(sArchive))
        QSKIP(qPrintable(QStringLiteral("the standard's TWAIN header is not at hand (%1)").arg(sArchive)));
    QTemporaryDir dir(QStringLiteral(BUILD_DIR "/tst_publicapi-XXXXXX"));
    QVERIFY(dir.isValid());
    QString sError;
    run(QStringLiteral("tar"), {QStringLiteral("-xJf"), sArchive, QStringLiteral("-C"), dir.path()}, &sError);
    QString sStandardDir;
    QDirIterator it(dir.path(), {QStringLiteral("twain.h")}, QDir::Files, QDirIterator::Subdirectories);
    if (it.hasNext())
        sStandardDir = QFileInfo(it.next()).path();
    QVERIFY2(!sStandardDir.isEmpty(), qPrintable(QStringLiteral("no twain.h in %1: %2").arg(sArchive, sError)));

    // Every public header, and the standard's macros passed to the library's interface.
    QString sOurs;
    for (const QString& sHeader : publicHeaders())
        sOurs += QStringLiteral("#include <pelirand/%1>\n").arg(sHeader);
    const QString sStandard = QStringLiteral("#include \"twain.h\"\n");
    const QString sSource = (standardFirst ? sStandard + sOurs : sOurs + sStandard) + QStringLiteral(
        "TW_UINT16 use(pelirand::TwainSession& session)\n"
        "{\n"
        "    session.setCapability(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY);\n"
        "    session.setCapability(pelirand::Twain::XResolutionCapability, pelirand::Twain::Fix32Item, 300);\n"
        "    pelirand::Capability value;\n"
        "    session.getCapability(ICAP_XFERMECH, value, MSG_GETCURRENT);\n"
        "    return pelirand::Twain::GetCurrentMessage == MSG_GETCURRENT ? TWRC_SUCCESS : TWRC_FAILURE;\n"
        "}\n");
    QFile file(dir.filePath(QStringLiteral("both.cpp")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(sSource.toUtf8());
    file.close();

    QStringList lstArgs{QStringLiteral("-std=c++17"), QStringLiteral("-fPIC"), QStringLiteral("-fsyntax-only"),
                        QStringLiteral("-I" PUBLIC_DIR), QStringLiteral("-I" VERSION_DIR),
                        QStringLiteral("-I") + sStandardDir};
    QFile includes(QStringLiteral(QT_INCLUDES_FILE));
    QVERIFY(includes.open(QIODevice::ReadOnly));
    for (const QString& sInclude : QString::fromUtf8(includes.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lstArgs << QStringLiteral("-I") + sInclude;
    lstArgs << file.fileName();
    QProcess compiler;
    compiler.setProcessChannelMode(QProcess::MergedChannels);
    compiler.start(QStringLiteral(CXX_EXE), lstArgs);
    QVERIFY(compiler.waitForStarted(-1));
    QVERIFY(compiler.waitForFinished(-1));
    const QString sOutput = QString::fromLocal8Bit(compiler.readAll());
    QVERIFY2(compiler.exitStatus() == QProcess::NormalExit && compiler.exitCode() == 0, qPrintable(sOutput));
}

QTEST_GUILESS_MAIN(tst_PublicApi)
#include "tst_publicapi.moc"
