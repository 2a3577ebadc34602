// Loading libraries: the executable's folder first, names as given.

#include "platform/win32.h"

#include <QtTest>

#include <unistd.h>

namespace {

using AnswerProc = int (*)(void);
using AllocProc = HGLOBAL (*)(SIZE_T);

template <typename T>
T procAs(HMODULE hModule, const char* pszName)
{
    FARPROC pfn = GetProcAddress(hModule, pszName);
    return reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(pfn));
}

QString executableFolder()
{
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}

} // namespace

class tst_Win32Library : public QObject
{
    Q_OBJECT

private slots:
    void loadsFromExecutableFolder();
    void loadFails_data();
    void loadFails();
    void pathAndNameShareOneModule();
    void procAddress_data();
    void procAddress();
    void sharesTheMemoryTable();
    void moduleHandles();
    void normalSearchAfterwards();
};

void tst_Win32Library::loadsFromExecutableFolder()
{
    // The test runs in its own HOME folder, not in the folder of the library.
    QVERIFY(QDir::currentPath() != executableFolder());
    HMODULE hModule = LoadLibraryA("plattest.dll");
    QVERIFY2(hModule, PelirandLoadErrorText());
    const auto pfnAnswer = procAs<AnswerProc>(hModule, "plattest_answer");
    QVERIFY(pfnAnswer);
    QCOMPARE(pfnAnswer(), 42);
    QCOMPARE(FreeLibrary(hModule), TRUE);
}

void tst_Win32Library::loadFails_data()
{
    QTest::addColumn<QString>("sName"); // "@" stands for a temporary folder
    QTest::addColumn<uint>("uError");

    QTest::newRow("missing bare name") << "nosuchlibrary.dll" << uint(ERROR_MOD_NOT_FOUND);
    QTest::newRow("other case") << "PLATTEST.DLL" << uint(ERROR_MOD_NOT_FOUND);
    QTest::newRow("missing path") << "@/nosuchlibrary.dll" << uint(ERROR_MOD_NOT_FOUND);
    QTest::newRow("not a library") << "@/text.dll" << uint(ERROR_BAD_EXE_FORMAT);
    QTest::newRow("empty name") << "" << uint(ERROR_INVALID_PARAMETER);
}

void tst_Win32Library::loadFails()
{
    QFETCH(QString, sName);
    QFETCH(uint, uError);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile text(dir.filePath(QStringLiteral("text.dll")));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a shared object\n");
    text.close();

    const QByteArray baName = QString(sName).replace('@', dir.path()).toLocal8Bit();
    QCOMPARE(LoadLibraryA(baName.constData()), HMODULE(nullptr));
    QCOMPARE(GetLastError(), DWORD(uError));
    QVERIFY(*PelirandLoadErrorText() != '\0');
}

void tst_Win32Library::pathAndNameShareOneModule()
{
    const QByteArray baPath = (executableFolder() + QStringLiteral("/plattest.dll")).toLocal8Bit();
    HMODULE hByName = LoadLibraryA("plattest.dll");
    HMODULE hByPath = LoadLibraryA(baPath.constData());
    QVERIFY(hByName);
    QCOMPARE(hByPath, hByName);
    // Each load needs its own FreeLibrary.
    QCOMPARE(FreeLibrary(hByName), TRUE);
    QVERIFY(procAs<AnswerProc>(hByName, "plattest_answer"));
    QCOMPARE(FreeLibrary(hByName), TRUE);
    QCOMPARE(FreeLibrary(hByName), FALSE);
    QVERIFY(!GetProcAddress(hByName, "plattest_answer"));
}

void tst_Win32Library::procAddress_data()
{
    QTest::addColumn<QByteArray>("baName");
    QTest::addColumn<bool>("bFound");

    QTest::newRow("exported") << QByteArray("plattest_answer") << true;
    QTest::newRow("missing") << QByteArray("plattest_missing") << false;
    QTest::newRow("only in a dependency") << QByteArray("GlobalAlloc") << false;
    QTest::newRow("ordinal") << QByteArray() << false;
}

void tst_Win32Library::procAddress()
{
    QFETCH(QByteArray, baName);
    QFETCH(bool, bFound);

    HMODULE hModule = LoadLibraryA("plattest.dll");
    QVERIFY(hModule);
    const char* pszName = baName.isEmpty() ? reinterpret_cast<const char*>(uintptr_t(1)) : baName.constData();
    FARPROC pfn = GetProcAddress(hModule, pszName);
    QCOMPARE(pfn != nullptr, bFound);
    if (!bFound)
        QCOMPARE(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    FreeLibrary(hModule);
}

void tst_Win32Library::sharesTheMemoryTable()
{
    HMODULE hModule = LoadLibraryA("plattest.dll");
    const auto pfnAlloc = procAs<AllocProc>(hModule, "plattest_alloc");
    QVERIFY(pfnAlloc);
    HGLOBAL hMem = pfnAlloc(10);
    QVERIFY(hMem);
    QCOMPARE(GlobalSize(hMem), SIZE_T(10));
    const auto* p = static_cast<const unsigned char*>(GlobalLock(hMem));
    QVERIFY(p);
    QCOMPARE(p[9], static_cast<unsigned char>(0x5A));
    GlobalUnlock(hMem);
    QCOMPARE(GlobalFree(hMem), HGLOBAL(nullptr));
    FreeLibrary(hModule);
}

void tst_Win32Library::moduleHandles()
{
    HMODULE hExe = GetModuleHandleW(nullptr);
    QVERIFY(hExe);
    QCOMPARE(GetModuleHandleW(nullptr), hExe);
    QCOMPARE(FreeLibrary(hExe), TRUE); // the executable stays
    QCOMPARE(GetModuleHandleW(nullptr), hExe);

    QCOMPARE(GetModuleHandleW(L"plattest.dll"), HMODULE(nullptr));
    HMODULE hModule = LoadLibraryA("plattest.dll");
    QCOMPARE(GetModuleHandleW(L"plattest.dll"), hModule);
    FreeLibrary(hModule);
    QCOMPARE(GetModuleHandleW(L"plattest.dll"), HMODULE(nullptr));

    int nNotAModule = 0;
    QCOMPARE(FreeLibrary(reinterpret_cast<HMODULE>(&nNotAModule)), FALSE);
    QVERIFY(!GetProcAddress(reinterpret_cast<HMODULE>(&nNotAModule), "x"));
    QVERIFY(!GetProcAddress(nullptr, "plattest_answer"));
}

void tst_Win32Library::normalSearchAfterwards()
{
    // Not beside the executable: the system's library search finds it.
    HMODULE hModule = LoadLibraryA("libm.so.6");
    QVERIFY2(hModule, PelirandLoadErrorText());
    using CosProc = double (*)(double);
    const auto pfnCos = procAs<CosProc>(hModule, "cos");
    QVERIFY(pfnCos);
    QCOMPARE(pfnCos(0.0), 1.0);
    QCOMPARE(FreeLibrary(hModule), TRUE);
}

QTEST_APPLESS_MAIN(tst_Win32Library)
#include "tst_win32library.moc"
