// Global memory as Win32 documents it: handles, locks, sizes, re-allocation.

#include "platform/win32.h"

#include <QtTest>

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace {

void fillPattern(HGLOBAL hMem, SIZE_T nSize)
{
    auto* p = static_cast<unsigned char*>(GlobalLock(hMem));
    for (SIZE_T i = 0; i < nSize; ++i)
        p[i] = static_cast<unsigned char>(i * 7 + 1);
    GlobalUnlock(hMem);
}

bool hasPattern(HGLOBAL hMem, SIZE_T nSize)
{
    const auto* p = static_cast<const unsigned char*>(GlobalLock(hMem));
    bool bOk = p != nullptr;
    for (SIZE_T i = 0; bOk && i < nSize; ++i)
        bOk = p[i] == static_cast<unsigned char>(i * 7 + 1);
    GlobalUnlock(hMem);
    return bOk;
}

bool allBytes(HGLOBAL hMem, SIZE_T nFrom, SIZE_T nTo, unsigned char uValue)
{
    const auto* p = static_cast<const unsigned char*>(GlobalLock(hMem));
    bool bOk = p != nullptr;
    for (SIZE_T i = nFrom; bOk && i < nTo; ++i)
        bOk = p[i] == uValue;
    GlobalUnlock(hMem);
    return bOk;
}

// True when the kernel refuses to read one byte at the address: the value
// would fault if dereferenced.
bool isUnreadable(const void* pAddress)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const ssize_t nWritten = write(fds[1], pAddress, 1);
    const int nError = errno;
    close(fds[0]);
    close(fds[1]);
    return nWritten == -1 && nError == EFAULT;
}

} // namespace

class tst_Win32Memory : public QObject
{
    Q_OBJECT

private slots:
    void unlockAnswers_data();
    void unlockAnswers();
    void moveableHandleIsNotAPointer_data();
    void moveableHandleIsNotAPointer();
    void initialContents_data();
    void initialContents();
    void reAllocSize_data();
    void reAllocSize();
    void modifyMakesFixedMoveable();
    void zeroSizedBlocks();
    void invalidHandles_data();
    void invalidHandles();
    void freedHandlesAreNotReusedAtOnce();
    void concurrentUse();
    void freeReleasesTheBytes_data();
    void freeReleasesTheBytes();
};

void tst_Win32Memory::unlockAnswers_data()
{
    QTest::addColumn<uint>("uFlags");
    QTest::addColumn<int>("nLocks");
    // One letter per GlobalUnlock: T = TRUE, F = FALSE with NO_ERROR (count
    // reached 0), N = FALSE with ERROR_NOT_LOCKED.
    QTest::addColumn<QString>("sAnswers");

    QTest::newRow("moveable locked once") << uint(GMEM_MOVEABLE) << 1 << "FN";
    QTest::newRow("moveable locked twice") << uint(GMEM_MOVEABLE) << 2 << "TFN";
    QTest::newRow("moveable locked three times") << uint(GHND) << 3 << "TTFN";
    QTest::newRow("moveable never locked") << uint(GMEM_MOVEABLE) << 0 << "N";
    QTest::newRow("fixed: locks have no effect") << uint(GMEM_FIXED) << 2 << "TTT";
}

void tst_Win32Memory::unlockAnswers()
{
    QFETCH(uint, uFlags);
    QFETCH(int, nLocks);
    QFETCH(QString, sAnswers);

    HGLOBAL hMem = GlobalAlloc(uFlags, 32);
    QVERIFY(hMem);
    for (int i = 0; i < nLocks; ++i)
        QVERIFY(GlobalLock(hMem));
    const UINT uExpectedCount = (uFlags & GMEM_MOVEABLE) ? UINT(nLocks) : 0;
    QCOMPARE(GlobalFlags(hMem) & GMEM_LOCKCOUNT, uExpectedCount);

    for (const QChar c : sAnswers) {
        SetLastError(12345);
        const BOOL bResult = GlobalUnlock(hMem);
        if (c == 'T') {
            QCOMPARE(bResult, TRUE);
        } else {
            QCOMPARE(bResult, FALSE);
            QCOMPARE(GetLastError(), DWORD(c == 'F' ? NO_ERROR : ERROR_NOT_LOCKED));
        }
    }
    QCOMPARE(GlobalFree(hMem), HGLOBAL(nullptr));
}

void tst_Win32Memory::moveableHandleIsNotAPointer_data()
{
    QTest::addColumn<uint>("uFlags");
    QTest::newRow("GMEM_MOVEABLE") << uint(GMEM_MOVEABLE);
    QTest::newRow("GHND") << uint(GHND);
}

void tst_Win32Memory::moveableHandleIsNotAPointer()
{
    QFETCH(uint, uFlags);

    HGLOBAL hMem = GlobalAlloc(uFlags, 64);
    QVERIFY(hMem);
    void* pData = GlobalLock(hMem);
    QVERIFY(pData);
    QVERIFY(pData != hMem);
    QVERIFY(isUnreadable(hMem));
    QVERIFY(!isUnreadable(pData));
    // The locked pointer leads back to the handle, but is not a handle itself.
    QCOMPARE(GlobalHandle(pData), hMem);
    QCOMPARE(GlobalSize(pData), SIZE_T(0));
    QCOMPARE(GlobalSize(hMem), SIZE_T(64));
    QCOMPARE(GlobalUnlock(hMem), FALSE);
    QCOMPARE(GlobalFree(hMem), HGLOBAL(nullptr));

    // A fixed block's handle is its pointer.
    HGLOBAL hFixed = GlobalAlloc(GMEM_FIXED, 64);
    QVERIFY(hFixed);
    QCOMPARE(GlobalLock(hFixed), static_cast<void*>(hFixed));
    QCOMPARE(GlobalHandle(hFixed), hFixed);
    QCOMPARE(GlobalFree(hFixed), HGLOBAL(nullptr));
}

void tst_Win32Memory::initialContents_data()
{
    QTest::addColumn<uint>("uFlags");
    QTest::addColumn<bool>("bZeroed");
    QTest::newRow("GMEM_FIXED") << uint(GMEM_FIXED) << false;
    QTest::newRow("GPTR") << uint(GPTR) << true;
    QTest::newRow("GMEM_MOVEABLE") << uint(GMEM_MOVEABLE) << false;
    QTest::newRow("GHND") << uint(GHND) << true;
}

void tst_Win32Memory::initialContents()
{
    QFETCH(uint, uFlags);
    QFETCH(bool, bZeroed);

    HGLOBAL hMem = GlobalAlloc(uFlags, 4096);
    QVERIFY(hMem);
    QCOMPARE(GlobalSize(hMem), SIZE_T(4096));
    // Without GMEM_ZEROINIT nothing is promised; the fill makes reliance on zeroes show.
    QCOMPARE(allBytes(hMem, 0, 4096, 0), bZeroed);
    GlobalFree(hMem);
}

void tst_Win32Memory::reAllocSize_data()
{
    QTest::addColumn<uint>("uAllocFlags");
    QTest::addColumn<bool>("bLocked");
    QTest::addColumn<int>("nNewSize");
    QTest::addColumn<uint>("uReAllocFlags");
    QTest::addColumn<bool>("bSucceeds");
    QTest::addColumn<bool>("bSameHandle");

    const uint F = GMEM_FIXED, M = GMEM_MOVEABLE, Z = GMEM_ZEROINIT;
    // All blocks start with 64 bytes.
    QTest::newRow("fixed shrinks in place") << F << false << 32 << 0u << true << true;
    QTest::newRow("fixed does not grow in place") << F << false << 128 << 0u << false << true;
    QTest::newRow("fixed does not grow in place, zeroinit") << F << false << 128 << Z << false << true;
    QTest::newRow("fixed grows with GMEM_MOVEABLE") << F << false << 128 << M << true << false;
    QTest::newRow("fixed grows with GMEM_MOVEABLE, zeroinit")
        << F << false << 128 << (M | Z) << true << false;
    QTest::newRow("moveable unlocked grows") << M << false << 128 << 0u << true << true;
    QTest::newRow("moveable unlocked grows, zeroinit") << M << false << 128 << Z << true << true;
    QTest::newRow("moveable unlocked shrinks") << M << false << 16 << 0u << true << true;
    QTest::newRow("moveable locked shrinks in place") << M << true << 32 << 0u << true << true;
    QTest::newRow("moveable locked does not grow in place") << M << true << 128 << Z << false << true;
    QTest::newRow("moveable locked grows with GMEM_MOVEABLE") << M << true << 128 << (M | Z) << true << true;
}

void tst_Win32Memory::reAllocSize()
{
    QFETCH(uint, uAllocFlags);
    QFETCH(bool, bLocked);
    QFETCH(int, nNewSize);
    QFETCH(uint, uReAllocFlags);
    QFETCH(bool, bSucceeds);
    QFETCH(bool, bSameHandle);

    const SIZE_T nOld = 64;
    const SIZE_T nNew = SIZE_T(nNewSize);
    HGLOBAL hMem = GlobalAlloc(uAllocFlags, nOld);
    QVERIFY(hMem);
    fillPattern(hMem, nOld);
    void* pLocked = bLocked ? GlobalLock(hMem) : nullptr;

    HGLOBAL hNew = GlobalReAlloc(hMem, nNew, uReAllocFlags);
    if (!bSucceeds) {
        QCOMPARE(hNew, HGLOBAL(nullptr));
        QCOMPARE(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
        // The block is intact: same size, same contents, same lock.
        QCOMPARE(GlobalSize(hMem), nOld);
        QVERIFY(hasPattern(hMem, nOld));
        if (bLocked) {
            QCOMPARE(GlobalFlags(hMem) & GMEM_LOCKCOUNT, 1u);
            QCOMPARE(GlobalUnlock(hMem), FALSE);
        }
        QCOMPARE(GlobalFree(hMem), HGLOBAL(nullptr));
        return;
    }
    QVERIFY(hNew);
    QCOMPARE(hNew == hMem, bSameHandle);
    QCOMPARE(GlobalSize(hNew), nNew);
    QVERIFY(hasPattern(hNew, qMin(nOld, nNew)));
    if (nNew > nOld && (uReAllocFlags & GMEM_ZEROINIT))
        QVERIFY(allBytes(hNew, nOld, nNew, 0));
    if (!bSameHandle)
        QCOMPARE(GlobalSize(hMem), SIZE_T(0)); // the old pointer is no longer a block
    if (bLocked) {
        QCOMPARE(GlobalFlags(hNew) & GMEM_LOCKCOUNT, 1u);
        if (nNew <= nOld)
            QCOMPARE(GlobalLock(hNew), pLocked); // changed in place
        else
            GlobalLock(hNew);
        QCOMPARE(GlobalUnlock(hNew), TRUE);
        QCOMPARE(GlobalUnlock(hNew), FALSE);
    }
    QCOMPARE(GlobalFree(hNew), HGLOBAL(nullptr));
}

void tst_Win32Memory::modifyMakesFixedMoveable()
{
    const SIZE_T nSize = 100;
    HGLOBAL hFixed = GlobalAlloc(GPTR, nSize);
    QVERIFY(hFixed);
    fillPattern(hFixed, nSize);
    QCOMPARE(GlobalLock(hFixed), static_cast<void*>(hFixed));

    HGLOBAL hMoveable = GlobalReAlloc(hFixed, 0, GMEM_MODIFY | GMEM_MOVEABLE);
    QVERIFY(hMoveable);
    QVERIFY(hMoveable != hFixed);
    QCOMPARE(GlobalSize(hFixed), SIZE_T(0));
    QCOMPARE(GlobalSize(hMoveable), nSize);
    QVERIFY(isUnreadable(hMoveable));
    QVERIFY(hasPattern(hMoveable, nSize));
    QCOMPARE(GlobalFlags(hMoveable) & GMEM_LOCKCOUNT, 0u);

    // Once moveable and unlocked, the block grows under the same handle
    // without GMEM_MOVEABLE.
    QCOMPARE(GlobalReAlloc(hMoveable, nSize + 1027, 0), hMoveable);
    QCOMPARE(GlobalSize(hMoveable), nSize + 1027);
    QVERIFY(hasPattern(hMoveable, nSize));

    // Modifying a moveable block changes nothing.
    QCOMPARE(GlobalReAlloc(hMoveable, 0, GMEM_MODIFY | GMEM_MOVEABLE), hMoveable);
    QCOMPARE(GlobalReAlloc(hMoveable, 5, GMEM_MODIFY), hMoveable);
    QCOMPARE(GlobalSize(hMoveable), nSize + 1027);
    QCOMPARE(GlobalFree(hMoveable), HGLOBAL(nullptr));

    // GMEM_MODIFY without GMEM_MOVEABLE leaves a fixed block as it is.
    HGLOBAL hOther = GlobalAlloc(GMEM_FIXED, 8);
    QCOMPARE(GlobalReAlloc(hOther, 0, GMEM_MODIFY), hOther);
    QCOMPARE(GlobalSize(hOther), SIZE_T(8));
    GlobalFree(hOther);
}

void tst_Win32Memory::zeroSizedBlocks()
{
    // A moveable block of 0 bytes is born discarded.
    HGLOBAL hEmpty = GlobalAlloc(GMEM_MOVEABLE, 0);
    QVERIFY(hEmpty);
    QCOMPARE(GlobalLock(hEmpty), static_cast<void*>(nullptr));
    QCOMPARE(GlobalSize(hEmpty), SIZE_T(0));
    QVERIFY(GlobalFlags(hEmpty) & GMEM_DISCARDED);
    QCOMPARE(GlobalReAlloc(hEmpty, 16, GMEM_ZEROINIT), hEmpty);
    QVERIFY(!(GlobalFlags(hEmpty) & GMEM_DISCARDED));
    QVERIFY(allBytes(hEmpty, 0, 16, 0));

    // Re-allocating to 0 discards an unlocked moveable block; a lock prevents it.
    QVERIFY(GlobalLock(hEmpty));
    QCOMPARE(GlobalReAlloc(hEmpty, 0, 0), HGLOBAL(nullptr));
    QCOMPARE(GlobalSize(hEmpty), SIZE_T(16));
    GlobalUnlock(hEmpty);
    QCOMPARE(GlobalReAlloc(hEmpty, 0, 0), hEmpty);
    QVERIFY(GlobalFlags(hEmpty) & GMEM_DISCARDED);
    QCOMPARE(GlobalFree(hEmpty), HGLOBAL(nullptr));

    // A fixed block of 0 bytes is still a distinct pointer.
    HGLOBAL hFixed = GlobalAlloc(GMEM_FIXED, 0);
    QVERIFY(hFixed);
    QCOMPARE(GlobalSize(hFixed), SIZE_T(0));
    QCOMPARE(GlobalFree(hFixed), HGLOBAL(nullptr));
}

void tst_Win32Memory::invalidHandles_data()
{
    QTest::addColumn<QString>("sKind");
    QTest::newRow("null") << "null";
    QTest::newRow("freed fixed block") << "freed fixed";
    QTest::newRow("freed moveable block") << "freed moveable";
    QTest::newRow("inside a fixed block") << "interior";
    QTest::newRow("stack address") << "stack";
    QTest::newRow("misaligned moveable handle") << "misaligned";
}

void tst_Win32Memory::invalidHandles()
{
    QFETCH(QString, sKind);

    int nLocal = 0;
    HGLOBAL hKeep = GlobalAlloc(GMEM_FIXED, 32);
    HGLOBAL hKeepMoveable = GlobalAlloc(GMEM_MOVEABLE, 32);
    HGLOBAL hBad = nullptr;
    if (sKind == "freed fixed" || sKind == "freed moveable") {
        hBad = GlobalAlloc(sKind == "freed fixed" ? GMEM_FIXED : GMEM_MOVEABLE, 16);
        QCOMPARE(GlobalFree(hBad), HGLOBAL(nullptr));
    } else if (sKind == "interior") {
        hBad = static_cast<char*>(hKeep) + 4;
    } else if (sKind == "stack") {
        hBad = &nLocal;
    } else if (sKind == "misaligned") {
        hBad = static_cast<char*>(hKeepMoveable) + 1;
    }

    QCOMPARE(GlobalLock(hBad), static_cast<void*>(nullptr));
    QCOMPARE(GlobalUnlock(hBad), FALSE);
    QCOMPARE(GlobalSize(hBad), SIZE_T(0));
    QCOMPARE(GlobalReAlloc(hBad, 64, GMEM_MOVEABLE), HGLOBAL(nullptr));
    QCOMPARE(GlobalReAlloc(hBad, 0, GMEM_MODIFY | GMEM_MOVEABLE), HGLOBAL(nullptr));
    QCOMPARE(GlobalFlags(hBad), UINT(GMEM_INVALID_HANDLE));
    QCOMPARE(GlobalHandle(sKind == "interior" ? hBad : nullptr), HGLOBAL(nullptr));
    // GlobalFree reports failure by handing the handle back.
    QCOMPARE(GlobalFree(hBad), hBad);
    if (hBad)
        QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

    // The real blocks around are untouched.
    QCOMPARE(GlobalSize(hKeep), SIZE_T(32));
    QCOMPARE(GlobalFree(hKeep), HGLOBAL(nullptr));
    QCOMPARE(GlobalFree(hKeepMoveable), HGLOBAL(nullptr));
}

void tst_Win32Memory::freedHandlesAreNotReusedAtOnce()
{
    std::vector<HGLOBAL> lstFreed;
    for (int i = 0; i < 100; ++i) {
        HGLOBAL hMem = GlobalAlloc(GMEM_MOVEABLE, 8);
        QVERIFY(hMem);
        QVERIFY(std::find(lstFreed.begin(), lstFreed.end(), hMem) == lstFreed.end());
        GlobalFree(hMem);
        lstFreed.push_back(hMem);
    }
    for (HGLOBAL hMem : lstFreed)
        QCOMPARE(GlobalSize(hMem), SIZE_T(0));
}

void tst_Win32Memory::concurrentUse()
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> nErrors{0};
    std::vector<std::thread> lstThreads;
    for (int t = 0; t < kThreads; ++t) {
        lstThreads.emplace_back([t, &nErrors] {
            for (int i = 0; i < kRounds; ++i) {
                const UINT uFlags = (i % 2) ? GMEM_MOVEABLE : GMEM_FIXED;
                const SIZE_T nSize = SIZE_T(16 + (i % 64));
                const auto uMark = static_cast<unsigned char>(t * 31 + i);
                HGLOBAL hMem = GlobalAlloc(uFlags, nSize);
                auto* p = static_cast<unsigned char*>(GlobalLock(hMem));
                if (!p) {
                    ++nErrors;
                    continue;
                }
                std::memset(p, uMark, nSize);
                GlobalUnlock(hMem);
                HGLOBAL hGrown = GlobalReAlloc(hMem, nSize * 2, GMEM_MOVEABLE | GMEM_ZEROINIT);
                if (!hGrown) {
                    ++nErrors;
                    GlobalFree(hMem);
                    continue;
                }
                p = static_cast<unsigned char*>(GlobalLock(hGrown));
                if (!p || p[0] != uMark || p[nSize - 1] != uMark || p[nSize] != 0 ||
                    GlobalSize(hGrown) != nSize * 2)
                    ++nErrors;
                GlobalUnlock(hGrown);
                if (GlobalFree(hGrown) != nullptr)
                    ++nErrors;
            }
        });
    }
    for (auto& thread : lstThreads)
        thread.join();
    QCOMPARE(nErrors.load(), 0);
}

// Bytes the C heap has handed out; mmap-ed large blocks included.
static size_t heapBytesInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void tst_Win32Memory::freeReleasesTheBytes_data()
{
    QTest::addColumn<UINT>("uFlags");
    QTest::newRow("fixed") << UINT(GMEM_FIXED);
    QTest::newRow("moveable") << UINT(GMEM_MOVEABLE);
    QTest::newRow("moveable, locked") << UINT(GMEM_MOVEABLE | 0x8000);
}

void tst_Win32Memory::freeReleasesTheBytes()
{
    QFETCH(UINT, uFlags);
    const SIZE_T nSize = 8 * 1024 * 1024;
    const size_t before = heapBytesInUse();
    HGLOBAL hMem = GlobalAlloc(uFlags & ~0x8000u, nSize);
    QVERIFY(hMem);
    if (heapBytesInUse() < before + nSize)
        QSKIP("the heap's counters are not visible here (sanitizer allocator)");
    if (uFlags & 0x8000)
        QVERIFY(GlobalLock(hMem));
    QCOMPARE(GlobalFree(hMem), HGLOBAL(nullptr));
    QVERIFY2(heapBytesInUse() < before + nSize / 2, "GlobalFree kept the block's bytes");
}

QTEST_APPLESS_MAIN(tst_Win32Memory)
#include "tst_win32memory.moc"
