// The DSM binding where no "TWAINDSM.dll" lies beside the program: it loads
// the DSM installed as a shared library, "libtwaindsm.so.2" before
// "libtwaindsm.so", from the library search path (INSTALLED_DSM_DIR, which
// the test's environment puts on LD_LIBRARY_PATH).

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

    void olderNameHasNoFallback()
    {
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
