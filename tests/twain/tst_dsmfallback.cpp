// The DSM binding where no "TWAINDSM.dll" lies beside the program: it loads
// the DSM installed as a shared library, "libtwaindsm.so.2" before
// "libtwaindsm.so" (looked for in INSTALLED_DSM_DIR alone, which the test's
// environment names, so the machine's own DSM stays out), then pelirand's own
// DSM in the installed layout relative to the program (OWN_DSM_FILE); its own
// first where the sources installed with the program (OWN_SOURCES_DIR) lie
// outside the standard DSM's folder, which that DSM would not see.

#include <QtTest>

#include "tests/twain/twaintestsupport.h"
#include "twain/dsmlib.h"

namespace {

const QString kInstalled = QStringLiteral(INSTALLED_DSM_DIR);

bool install(const QString& sName)
{
    return QFile::copy(QStringLiteral(SCRIPTED_DSM_FILE), kInstalled + '/' + sName);
}

void uninstallAll()
{
    for (const char* pszName : {"libtwaindsm.so.2", "libtwaindsm.so"})
        QFile::remove(kInstalled + '/' + QLatin1String(pszName));
    QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/TWAINDSM.dll"));
    QFile::remove(QStringLiteral(OWN_DSM_FILE));
    QDir(QStringLiteral(OWN_SOURCES_DIR)).removeRecursively();
}

// A source folder installed with the program, as the packages' /usr/lib/twain.
bool installOwnSources()
{
    return QDir().mkpath(QStringLiteral(OWN_SOURCES_DIR "/pelirand-sane"));
}

bool installOwn()
{
    return QDir().mkpath(QFileInfo(QStringLiteral(OWN_DSM_FILE)).path()) &&
           QFile::copy(QStringLiteral(SCRIPTED_DSM_FILE), QStringLiteral(OWN_DSM_FILE));
}

bool installBeside()
{
    return QFile::copy(QStringLiteral(SCRIPTED_DSM_FILE),
                       QCoreApplication::applicationDirPath() + QStringLiteral("/TWAINDSM.dll"));
}

bool loadedAs(const wchar_t* pszName)
{
    return GetModuleHandleW(pszName) != nullptr;
}

} // namespace

class tst_DsmFallback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(kInstalled));
        QVERIFY(qgetenv("LD_LIBRARY_PATH").contains(QFile::encodeName(kInstalled)));
        uninstallAll();
    }
    void cleanup()
    {
        UnloadDSMLib();
        uninstallAll();
    }

    void nothingInstalled()
    {
        StderrCapture err;
        QVERIFY(!LoadDSMLib("TWAINDSM.dll"));
        QCOMPARE(err.take(), QByteArray("Error - Could not load DSM: TWAINDSM.dll\n"));
    }

    void nothingToProbe()
    {
        // A look for --help writes nothing.
        StderrCapture err;
        std::string sName;
        std::string sFile;
        QVERIFY(!ProbeDSMLib("TWAINDSM.dll", &sName, &sFile));
        QCOMPARE(err.take(), QByteArray());
    }

    void unversionedName()
    {
        QVERIFY(install(QStringLiteral("libtwaindsm.so")));
        QVERIFY(LoadDSMLib("TWAINDSM.dll"));
        QVERIFY(loadedAs(L"libtwaindsm.so"));
        QVERIFY(scriptedDsmIn(L"libtwaindsm.so"));
    }

    void majorVersionFirst()
    {
        QVERIFY(install(QStringLiteral("libtwaindsm.so")));
        QVERIFY(install(QStringLiteral("libtwaindsm.so.2")));
        QVERIFY(LoadDSMLib("TWAINDSM.dll"));
        QVERIFY(loadedAs(L"libtwaindsm.so.2"));
        QVERIFY(!loadedAs(L"libtwaindsm.so"));

        // Freed behind the state machine's back, it comes back the same way.
        UnloadDSMLib();
        TW_IDENTITY origin{};
        TW_STATUS status{};
        StderrCapture err;
        CallDSMEntry(&origin, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status, 0);
        QCOMPARE(err.take(), QByteArray());
        QVERIFY(loadedAs(L"libtwaindsm.so.2"));
    }

    void besideTheProgramWins()
    {
        // A file of that name beside the program is the DSM the user chose,
        // even when it does not load: no other DSM takes its place.
        QVERIFY(install(QStringLiteral("libtwaindsm.so.2")));
        QFile junk(QCoreApplication::applicationDirPath() + QStringLiteral("/TWAINDSM.dll"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a library");
        junk.close();
        StderrCapture err;
        QVERIFY(!LoadDSMLib("TWAINDSM.dll"));
        QVERIFY(err.take().startsWith("Error - Could not load DSM: TWAINDSM.dll"));
        QVERIFY(!loadedAs(L"libtwaindsm.so.2"));
    }

    // Each DSM that may be there, and the one that is loaded: the first of
    // TWAINDSM.dll, the installed standard DSM, pelirand's own.
    void loadOrder_data()
    {
        QTest::addColumn<QStringList>("lstPresent");
        QTest::addColumn<QString>("sLoaded");
        const QString sOwn = QString::fromLatin1(kOwnDSMName);
        QTest::newRow("own only") << QStringList{QStringLiteral("own")} << sOwn;
        QTest::newRow("installed before own")
            << QStringList{QStringLiteral("libtwaindsm.so"), QStringLiteral("own")}
            << QStringLiteral("libtwaindsm.so");
        QTest::newRow("major version before own")
            << QStringList{QStringLiteral("libtwaindsm.so.2"), QStringLiteral("libtwaindsm.so"), QStringLiteral("own")}
            << QStringLiteral("libtwaindsm.so.2");
        QTest::newRow("beside before all")
            << QStringList{QStringLiteral("beside"), QStringLiteral("libtwaindsm.so.2"), QStringLiteral("own")}
            << QStringLiteral("TWAINDSM.dll");
        // The standard's DSM would not see the sources installed with the
        // program: pelirand's own, which sees both folders, comes first.
        QTest::newRow("own before installed with sources of its own")
            << QStringList{QStringLiteral("libtwaindsm.so.2"), QStringLiteral("own"), QStringLiteral("sources")}
            << sOwn;
        QTest::newRow("installed with sources but without own")
            << QStringList{QStringLiteral("libtwaindsm.so.2"), QStringLiteral("sources")}
            << QStringLiteral("libtwaindsm.so.2");
        QTest::newRow("beside before own with sources")
            << QStringList{QStringLiteral("beside"), QStringLiteral("own"), QStringLiteral("sources")}
            << QStringLiteral("TWAINDSM.dll");
    }
    void loadOrder()
    {
        QFETCH(QStringList, lstPresent);
        QFETCH(QString, sLoaded);
        for (const QString& sWhat : lstPresent) {
            if (sWhat == QLatin1String("own"))
                QVERIFY(installOwn());
            else if (sWhat == QLatin1String("beside"))
                QVERIFY(installBeside());
            else if (sWhat == QLatin1String("sources"))
                QVERIFY(installOwnSources());
            else
                QVERIFY(install(sWhat));
        }
        std::string sProbedName;
        std::string sProbedFile;
        QVERIFY(ProbeDSMLib("TWAINDSM.dll", &sProbedName, &sProbedFile));
        QCOMPARE(QString::fromStdString(sProbedName), sLoaded);
        QVERIFY(!LoadedDSMName());

        StderrCapture err;
        QVERIFY(LoadDSMLib("TWAINDSM.dll"));
        QCOMPARE(err.take(), QByteArray());
        QCOMPARE(QString::fromLatin1(LoadedDSMName()), sLoaded);
        // The file as the loader found it: the one put there for that name.
        const QString sFile = QString::fromStdString(LoadedDSMFile());
        QCOMPARE(QString::fromStdString(sProbedFile), sFile);
        const QString sExpected = sLoaded == QLatin1String("TWAINDSM.dll")
                                      ? QCoreApplication::applicationDirPath() + QStringLiteral("/TWAINDSM.dll")
                                  : sLoaded == QString::fromLatin1(kOwnDSMName)
                                      ? QStringLiteral(OWN_DSM_FILE)
                                      : kInstalled + QLatin1Char('/') + sLoaded;
        QCOMPARE(sFile, QFileInfo(sExpected).canonicalFilePath());
        QVERIFY(scriptedDsmIn(QFileInfo(sExpected).fileName().toStdWString().c_str()));

        UnloadDSMLib();
        QVERIFY(!LoadedDSMName());
        QVERIFY(LoadedDSMFile().empty());
    }

    void olderNameHasNoFallback()
    {
        QVERIFY(installOwn());
        QVERIFY(install(QStringLiteral("libtwaindsm.so.2")));
        StderrCapture err;
        QVERIFY(!LoadDSMLib("TWAIN_32.dll"));
        QVERIFY(!loadedAs(L"libtwaindsm.so.2"));
    }

private:
    // The scripted DSM answers through the entry of the library loaded under that name.
    static bool scriptedDsmIn(const wchar_t* pszName)
    {
        HMODULE hLib = GetModuleHandleW(pszName);
        return hLib && GetProcAddress(hLib, "DSM_Entry") && GetProcAddress(hLib, "ScriptedDsm_Script");
    }
};

QTEST_GUILESS_MAIN(tst_DsmFallback)
#include "tst_dsmfallback.moc"
