#include "ipc/vantipccommand.h"

#include <QDataStream>
#include <QMetaType>
#include <QString>
#include <QtEndian>

#include <cstring>

namespace VantHelper {

namespace {

// Type id and null flag: no element is shorter (an invalid QVariant and a null pointer carry no value),
// so a count that claims more elements than this allows cannot be genuine and is refused before
// anything is reserved.
constexpr int kMinElementSize = 4 + 1;

// Reads big-endian fields from a payload, refusing every read that would go past its end.
class PayloadReader
{
public:
    explicit PayloadReader(const QByteArray& payload) : m_pData(payload.constData()), m_nLeft(payload.size())
    {}

    int left() const { return m_nLeft; }

    template <typename T>
    bool read(T& value)
    {
        if (m_nLeft < int(sizeof(T)))
            return false;
        value = qFromBigEndian<T>(m_pData);
        skip(int(sizeof(T)));
        return true;
    }

    bool readDouble(double& value)
    {
        quint64 uBits = 0;
        if (!read(uBits))
            return false;
        std::memcpy(&value, &uBits, sizeof value);
        return true;
    }

    bool readByteArray(QByteArray& value)
    {
        quint32 uSize = 0;
        if (!read(uSize))
            return false;
        if (uSize == 0xffffffffu) {
            value = QByteArray();
            return true;
        }
        if (uSize > quint32(m_nLeft))
            return false;
        value = QByteArray(m_pData, int(uSize));
        skip(int(uSize));
        return true;
    }

    bool readString(QString& value)
    {
        quint32 uSize = 0;
        if (!read(uSize))
            return false;
        if (uSize == 0xffffffffu) {
            value = QString();
            return true;
        }
        // A byte count that is odd or beyond the payload cannot hold UTF-16 code units.
        if ((uSize & 1u) != 0 || uSize > quint32(m_nLeft))
            return false;
        const int nUnits = int(uSize / 2);
        value = QString(nUnits, Qt::Uninitialized);
        qFromBigEndian<quint16>(m_pData, nUnits, value.data());
        skip(int(uSize));
        return true;
    }

private:
    void skip(int nBytes)
    {
        m_pData += nBytes;
        m_nLeft -= nBytes;
    }

    const char* m_pData;
    int m_nLeft;
};

template <typename Wire, typename Value>
bool readInteger(PayloadReader& in, int iType, QVariant& value)
{
    Wire raw = 0;
    if (!in.read(raw))
        return false;
    const Value v = static_cast<Value>(raw);
    value = QVariant(iType, &v);
    return true;
}

// One element in the QVariant stream format: type id, null flag, value. Every scalar type Qt's stream
// reads is taken (the bridge converts numbers with toUInt()); containers and other types are refused,
// so a peer can neither nest containers nor reach other types' readers.
bool readElement(PayloadReader& in, QVariant& value)
{
    quint32 uType = 0;
    qint8 iNull = 0;
    if (!in.read(uType) || !in.read(iNull))
        return false;
    if (uType >= quint32(QMetaType::User))
        return false;
    const int iType = int(uType);
    bool bOk = false;
    switch (iType) {
    case QMetaType::UnknownType:
        // An invalid QVariant: nothing follows the null flag.
        value = QVariant();
        return true;
    case QMetaType::Nullptr:
        value = QVariant::fromValue(nullptr);
        return true;
    case QMetaType::QChar: {
        quint16 uUnit = 0;
        bOk = in.read(uUnit);
        value = QVariant(QChar(uUnit));
        break;
    }
    case QMetaType::Float: {
        // Streams of version 17 carry a float in double precision.
        double d = 0;
        bOk = in.readDouble(d);
        value = QVariant(float(d));
        break;
    }
    case QMetaType::Bool: {
        quint8 uRaw = 0;
        bOk = in.read(uRaw);
        value = QVariant(uRaw != 0);
        break;
    }
    case QMetaType::Char:
        bOk = readInteger<qint8, char>(in, iType, value);
        break;
    case QMetaType::SChar:
        bOk = readInteger<qint8, signed char>(in, iType, value);
        break;
    case QMetaType::UChar:
        bOk = readInteger<quint8, uchar>(in, iType, value);
        break;
    case QMetaType::Short:
        bOk = readInteger<qint16, short>(in, iType, value);
        break;
    case QMetaType::UShort:
        bOk = readInteger<quint16, ushort>(in, iType, value);
        break;
    case QMetaType::Int:
        bOk = readInteger<qint32, int>(in, iType, value);
        break;
    case QMetaType::UInt:
        bOk = readInteger<quint32, uint>(in, iType, value);
        break;
    // long travels as 64 bits whatever its width in the process; Qt truncates it the same way.
    case QMetaType::Long:
        bOk = readInteger<qint64, long>(in, iType, value);
        break;
    case QMetaType::ULong:
        bOk = readInteger<quint64, ulong>(in, iType, value);
        break;
    case QMetaType::LongLong:
        bOk = readInteger<qint64, qlonglong>(in, iType, value);
        break;
    case QMetaType::ULongLong:
        bOk = readInteger<quint64, qulonglong>(in, iType, value);
        break;
    case QMetaType::Double: {
        double d = 0;
        bOk = in.readDouble(d);
        value = QVariant(d);
        break;
    }
    case QMetaType::QString: {
        QString s;
        bOk = in.readString(s);
        value = QVariant(s);
        break;
    }
    case QMetaType::QByteArray: {
        QByteArray ba;
        bOk = in.readByteArray(ba);
        value = QVariant(ba);
        break;
    }
    default:
        return false;
    }
    if (bOk && iNull != 0)
        value = QVariant(QVariant::Type(iType));
    return bOk;
}

} // namespace

QByteArray encodePayload(qint32 iValue, const QList<QVariant>& lstValues)
{
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_6);
    out << iValue << quint32(lstValues.size());
    for (const QVariant& value : lstValues)
        out << value;
    return payload;
}

bool decodePayload(const QByteArray& payload, qint32& iValue, QList<QVariant>& lstValues)
{
    lstValues.clear();
    PayloadReader in(payload);
    iValue = 0;
    if (!in.read(iValue))
        return false;
    quint32 uCount = 0;
    if (!in.read(uCount))
        return false;
    if (uCount > quint32(in.left() / kMinElementSize))
        return false;
    lstValues.reserve(int(uCount));
    for (quint32 u = 0; u < uCount; ++u) {
        QVariant value;
        if (!readElement(in, value)) {
            lstValues.clear();
            return false;
        }
        lstValues.append(value);
    }
    return true;
}

} // namespace VantHelper
