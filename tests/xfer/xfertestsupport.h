#pragma once

// Shared by the transfer engine's tests: the log written since the last
// clear(), and little-endian field access in byte buffers.

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <cstring>

#include "diag/log.h"
#include "diag/log_p.h"

// Points the log at a file of its own for the life of the object.
class XferLog
{
public:
    XferLog() : m_sPath(m_dir.filePath(QStringLiteral("xfer.log"))) { g_pLogFilePath = &m_sPath; }
    ~XferLog() { g_pLogFilePath = nullptr; }

    void clear()
    {
        logTestReset();
        QFile::remove(m_sPath);
    }

    // The lines since clear(), without the date line and the time prefixes.
    QStringList lines() const
    {
        QFile file(m_sPath);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        static const QRegularExpression prefix(QStringLiteral("^\\(\\d{6,}\\): "));
        QStringList result;
        const QStringList all =
            QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (QString line : all.mid(1)) {
            line.remove(prefix);
            result << line;
        }
        return result;
    }

    bool contains(const QString& sPart) const
    {
        for (const QString& line : lines()) {
            if (line.contains(sPart))
                return true;
        }
        return false;
    }

private:
    QTemporaryDir m_dir;
    QString m_sPath;
};

inline std::uint32_t le32(const QByteArray& data, int nOff)
{
    std::uint32_t v = 0;
    std::memcpy(&v, data.constData() + nOff, 4);
    return v;
}

inline std::uint16_t le16(const QByteArray& data, int nOff)
{
    std::uint16_t v = 0;
    std::memcpy(&v, data.constData() + nOff, 2);
    return v;
}

inline void putLe32(QByteArray& data, int nOff, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        data[nOff + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline void putLe16(QByteArray& data, int nOff, std::uint16_t v)
{
    data[nOff] = static_cast<char>(v & 0xFF);
    data[nOff + 1] = static_cast<char>(v >> 8);
}

// 256 RGBQUADs of the rising grey ramp.
inline QByteArray greyTable256()
{
    QByteArray table(1024, '\0');
    for (int i = 0; i < 256; ++i) {
        table[4 * i] = table[4 * i + 1] = table[4 * i + 2] = static_cast<char>(i);
    }
    return table;
}
