// The bridge's process on Windows: a process group of its own, so that the
// console's Ctrl-C reaches only the application, and a job that the
// application alone holds, so that the bridge never outlives it.
#include "client/bridgeprocess_p.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>

namespace pelirand {

namespace {

// One job for all bridges of this process, never closed: Windows closes it
// when the process ends, however it ends, and ends the bridges with it.
HANDLE bridgeJob()
{
    static const HANDLE s_hJob = [] {
        HANDLE hJob = CreateJobObjectW(nullptr, nullptr);
        if (hJob) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (!SetInformationJobObject(hJob, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
                CloseHandle(hJob);
                hJob = nullptr;
            }
        }
        return hJob;
    }();
    return s_hJob;
}

} // namespace

BridgeProcess::BridgeProcess(QObject* parent) : QProcess(parent)
{
    setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* pArgs) {
        // Created suspended, so that it runs only once it is in the job.
        pArgs->flags |= CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED;
    });
    connect(this, &QProcess::started, this, [this] {
        // The thread's handle is only in the process information.
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        const _PROCESS_INFORMATION* pInfo = processId() ? pid() : nullptr;
        QT_WARNING_POP
        if (!pInfo)
            return;
        // Where no job can be had (an application inside a job that forbids
        // another), the bridge still ends when the connection goes away.
        if (const HANDLE hJob = bridgeJob())
            AssignProcessToJobObject(hJob, pInfo->hProcess);
        ResumeThread(pInfo->hThread);
    });
}

void BridgeProcess::setupChildProcess() {}

QString libraryDirPath()
{
    HMODULE hModule = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&libraryDirPath), &hModule))
        return QString();
    wchar_t acPath[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(hModule, acPath, DWORD(sizeof acPath / sizeof acPath[0]));
    if (n == 0 || n >= sizeof acPath / sizeof acPath[0])
        return QString();
    return QFileInfo(QDir::fromNativeSeparators(QString::fromWCharArray(acPath, int(n)))).canonicalPath();
}

// Windows gives no owner id; the bridge's files lie in the user's own
// temporary folder, which only that user (and administrators) may write.
bool isOwnedByUser(const QFileInfo&)
{
    return true;
}

} // namespace pelirand
