// The installed library as an application meets it: its headers sit beside the standard's own TWAIN
// header in either order (tests/fixtures/standardtwain stands in for it).

#include <QtTest>

namespace {

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
    QTemporaryDir dir(QStringLiteral(BUILD_DIR "/tst_publicapi-XXXXXX"));
    QVERIFY(dir.isValid());
    const QString sStandardDir = QStringLiteral(STANDARD_TWAIN_DIR);
    QVERIFY(QFileInfo::exists(sStandardDir + QStringLiteral("/twain.h")));

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
        "    TW_IDENTITY identity = {};\n"
        "    const pelirand::SourceIdentity source = pelirand::SourceIdentity::byName(QString::fromLatin1(identity.ProductName));\n"
        "    const pelirand::TwainResult result = session.openSource(source.productName);\n"
        "    if (result.returnCode() == TWRC_CHECKSTATUS && result.conditionCode() != TWCC_NODS)\n"
        "        return TWRC_FAILURE;\n"
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
