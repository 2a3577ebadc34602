#pragma once

// Shared by the TWAIN layer's tests: the scripted DSM's script, the log lines
// written since the last reset, and standard error captured around a call.

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "diag/log.h"
#include "diag/log_p.h"
#include "platform/win32.h"
#include "tests/fixtures/scripteddsm/scripteddsm.h"

// The script of the TWAINDSM.dll beside the test program. Loading it here as
// well keeps it (and its script) alive while the binding frees and reloads it.
inline ScriptedDsmScript* scriptedDsm()
{
    static ScriptedDsmScript* s_pScript = [] {
        HMODULE hLib = LoadLibraryA("TWAINDSM.dll");
        if (!hLib)
            return static_cast<ScriptedDsmScript*>(nullptr);
        auto fn = reinterpret_cast<ScriptedDsmScriptFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(hLib, "ScriptedDsm_Script")));
        return fn ? fn() : nullptr;
    }();
    return s_pScript;
}

inline void resetScript()
{
    ScriptedDsmScript* p = scriptedDsm();
    std::memset(p, 0, sizeof(*p));
}

// Points the log at a file of its own; lines() returns what was logged since
// the last clear(), without the file's date header and the time prefixes.
class LogCapture
{
public:
    LogCapture() : m_path(m_dir.filePath("twain.log")) { g_pLogFilePath = &m_path; }
    void clear()
    {
        logTestReset();
        QFile::remove(m_path);
    }
    QStringList lines() const
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList result;
        static const QRegularExpression prefix(QStringLiteral("^\\(\\d{6,}\\): "));
        const QString text = QString::fromLatin1(file.readAll());
        const QStringList all = text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (QString line : all.mid(1)) {
            line.remove(prefix);
            result << line;
        }
        return result;
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
};

// Collects what is written to file descriptor 2 between construction and take().
class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_nSaved = dup(2);
        m_pFile = std::tmpfile();
        dup2(fileno(m_pFile), 2);
    }
    ~StderrCapture() { take(); }
    QByteArray take()
    {
        if (m_nSaved < 0)
            return m_text;
        std::fflush(stderr);
        dup2(m_nSaved, 2);
        close(m_nSaved);
        m_nSaved = -1;
        std::rewind(m_pFile);
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), m_pFile)) > 0)
            m_text.append(buffer, static_cast<int>(n));
        std::fclose(m_pFile);
        return m_text;
    }

private:
    int m_nSaved = -1;
    std::FILE* m_pFile = nullptr;
    QByteArray m_text;
};

inline QString hex8(const void* p)
{
    return QString::asprintf("%08X", static_cast<unsigned>(reinterpret_cast<quintptr>(p)));
}
