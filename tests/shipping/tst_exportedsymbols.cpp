// What the shared client library exports: its public API and nothing else. Every exported symbol
// must be a pelirand:: name that the installed headers declare; the transport, the listener and
// the rest of the library's inside stay hidden, so they can change without breaking applications.

#include <QtTest>

namespace {

struct Symbol
{
    QString name;      // demangled, as nm prints it
    QString qualified; // without parameters and without "typeinfo for " and the like
};

// The library's exported dynamic symbols, demangled; empty with pError set when nm cannot list them.
// pbNoNm: set when there is no nm to run.
QList<Symbol> exportedSymbols(QString* pError, bool* pbNoNm)
{
    QProcess nm;
    nm.start(QStringLiteral("nm"), {QStringLiteral("-D"), QStringLiteral("--defined-only"), QStringLiteral("--demangle"),
                                    QStringLiteral(CLIENT_LIBRARY)});
    *pbNoNm = !nm.waitForStarted(-1);
    if (*pbNoNm || !nm.waitForFinished(-1) || nm.exitStatus() != QProcess::NormalExit ||
        nm.exitCode() != 0) {
        *pError = QStringLiteral("nm did not list the library: %1 %2")
                      .arg(nm.errorString(), QString::fromLocal8Bit(nm.readAllStandardError()));
        nm.kill();
        nm.waitForFinished(-1);
        return {};
    }
    static const QStringList lstPrefixes{QStringLiteral("typeinfo name for "), QStringLiteral("typeinfo for "),
                                         QStringLiteral("vtable for "), QStringLiteral("non-virtual thunk to "),
                                         QStringLiteral("guard variable for ")};
    QList<Symbol> lstSymbols;
    const QStringList lstLines = QString::fromLocal8Bit(nm.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString& sLine : lstLines) {
        // "<address> <type> <name>"; linker-made markers have no name space of their own.
        const QStringList lstParts = sLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (lstParts.size() < 3)
            continue;
        Symbol symbol;
        symbol.name = lstParts.mid(2).join(QLatin1Char(' '));
        QString sQualified = symbol.name;
        for (const QString& sPrefix : lstPrefixes) {
            if (sQualified.startsWith(sPrefix))
                sQualified = sQualified.mid(sPrefix.size());
        }
        const int iParen = sQualified.indexOf(QLatin1Char('('));
        symbol.qualified = iParen >= 0 ? sQualified.left(iParen) : sQualified;
        lstSymbols << symbol;
    }
    return lstSymbols;
}

QString installedHeadersText()
{
    QString sText;
    QDirIterator it(QStringLiteral(PUBLIC_DIR "/pelirand"), {QStringLiteral("*.h")}, QDir::Files);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            sText += QString::fromUtf8(file.readAll());
    }
    return sText;
}

// What the linker itself defines in every shared library.
bool isLinkerMarker(const QString& sName)
{
    static const QStringList lst{QStringLiteral("_init"), QStringLiteral("_fini"), QStringLiteral("_edata"),
                                 QStringLiteral("_end"), QStringLiteral("__bss_start")};
    return lst.contains(sName);
}

// What moc adds to every class with Q_OBJECT.
bool isMocMember(const QString& sName)
{
    static const QStringList lst{QStringLiteral("staticMetaObject"), QStringLiteral("metaObject"),
                                 QStringLiteral("qt_metacast"), QStringLiteral("qt_metacall"),
                                 QStringLiteral("qt_static_metacall")};
    return lst.contains(sName);
}

// Why a symbol is not the public API's, or empty when it is.
QString offence(const Symbol& symbol, const QString& sHeaders)
{
    // The standard library's own types (the type information of std::shared_ptr's parts) have vague
    // linkage and are shared with every other library of the process: no library can hide them.
    if (isLinkerMarker(symbol.qualified) || symbol.qualified.startsWith(QLatin1String("std::")))
        return QString();
    // A sanitizer build adds what no source declares: AddressSanitizer's one-definition markers,
    // and the type information of Qt's own classes that the dynamic-type checks refer to (vague
    // linkage again, shared with Qt itself).
    if (symbol.qualified.startsWith(QLatin1String("__odr_asan")) ||
        (symbol.name.startsWith(QLatin1String("typeinfo")) && symbol.qualified.startsWith(QLatin1Char('Q'))))
        return QString();
    if (!symbol.qualified.startsWith(QLatin1String("pelirand::")))
        return QStringLiteral("outside namespace pelirand");
    // Every part of the name (class, member) is declared in an installed header.
    const QStringList lstParts = symbol.qualified.mid(int(qstrlen("pelirand::"))).split(QStringLiteral("::"));
    for (QString sPart : lstParts) {
        // What is local to a public member (a lambda, a static of an inline function) goes with it.
        if (sPart.startsWith(QLatin1Char('{')))
            break;
        if (sPart.startsWith(QLatin1Char('~')))
            sPart = sPart.mid(1);
        if (isMocMember(sPart))
            continue;
        // An operator ("operator=") ends in no word character, so no word boundary follows it.
        const bool bEndsInWord = !sPart.isEmpty() && (sPart.back().isLetterOrNumber() || sPart.back() == QLatin1Char('_'));
        const QRegularExpression word(QStringLiteral("\\b%1%2")
                                          .arg(QRegularExpression::escape(sPart),
                                               bEndsInWord ? QStringLiteral("\\b") : QString()));
        if (!sHeaders.contains(word))
            return QStringLiteral("'%1' is in no installed header").arg(sPart);
    }
    return QString();
}

} // namespace

class tst_ExportedSymbols : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void onlyThePublicApi();
    void insideStaysHidden_data();
    void insideStaysHidden();
    void publicApiIsExported_data();
    void publicApiIsExported();

private:
    QList<Symbol> m_lstSymbols;
};

void tst_ExportedSymbols::initTestCase()
{
    QString sError;
    bool bNoNm = false;
    m_lstSymbols = exportedSymbols(&sError, &bNoNm);
    if (bNoNm)
        QSKIP("nm (binutils) is not installed");
    QVERIFY2(!m_lstSymbols.isEmpty(), qPrintable(sError));
}

void tst_ExportedSymbols::onlyThePublicApi()
{
    const QString sHeaders = installedHeadersText();
    QVERIFY(!sHeaders.isEmpty());
    QStringList lstOffences;
    for (const Symbol& symbol : qAsConst(m_lstSymbols)) {
        const QString sWhy = offence(symbol, sHeaders);
        if (!sWhy.isEmpty())
            lstOffences << symbol.name + QStringLiteral(": ") + sWhy;
    }
    QVERIFY2(lstOffences.isEmpty(), qPrintable(QStringLiteral("%1 of %2 exported symbols are not the public API:\n%3")
                                                   .arg(lstOffences.size())
                                                   .arg(m_lstSymbols.size())
                                                   .arg(lstOffences.join(QLatin1Char('\n')))));
    qInfo("%d exported symbols", int(m_lstSymbols.size()));
}

void tst_ExportedSymbols::insideStaysHidden_data()
{
    QTest::addColumn<QString>("part");
    QTest::newRow("transport") << QStringLiteral("Vant");
    QTest::newRow("listener") << QStringLiteral("BridgeListener");
    QTest::newRow("bridge's process") << QStringLiteral("BridgeProcess");
    QTest::newRow("mapped files") << QStringLiteral("ImageFileMapping");
    QTest::newRow("protocol") << QStringLiteral("protocol::");
    QTest::newRow("diagnostics") << QStringLiteral("diag::");
    QTest::newRow("TIFF reading") << QStringLiteral("Tiff");
}

void tst_ExportedSymbols::insideStaysHidden()
{
    QFETCH(QString, part);
    for (const Symbol& symbol : qAsConst(m_lstSymbols))
        QVERIFY2(!symbol.name.contains(part, Qt::CaseInsensitive), qPrintable(symbol.name));
}

void tst_ExportedSymbols::publicApiIsExported_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("bridge") << QStringLiteral("pelirand::Bridge::start");
    QTest::newRow("session") << QStringLiteral("pelirand::TwainSession::waitForBatch");
    QTest::newRow("signal") << QStringLiteral("pelirand::TwainSession::imageReceived");
    QTest::newRow("meta object") << QStringLiteral("pelirand::TwainSession::staticMetaObject");
    QTest::newRow("result") << QStringLiteral("pelirand::TwainResult::message");
    QTest::newRow("image") << QStringLiteral("pelirand::Image::toQImage");
    QTest::newRow("capability") << QStringLiteral("pelirand::Capability::current");
    QTest::newRow("free function") << QStringLiteral("pelirand::writeImageFile");
}

void tst_ExportedSymbols::publicApiIsExported()
{
    QFETCH(QString, name);
    bool bFound = false;
    for (const Symbol& symbol : qAsConst(m_lstSymbols))
        bFound = bFound || symbol.qualified == name;
    QVERIFY2(bFound, qPrintable(name));
}

QTEST_GUILESS_MAIN(tst_ExportedSymbols)
#include "tst_exportedsymbols.moc"
