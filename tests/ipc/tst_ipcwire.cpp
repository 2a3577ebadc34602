// The command record's wire format, the frame functions and the server registry.

#include "protocol/commandcodes.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipccommand.h"
#include "ipc/vantipcpaths.h"
#include "ipc/vantipcserver.h"
#include "ipc/vantipcsettings.h"
#include "ipc/vantipcwire.h"
#include "ipcpeers.h"

#include <QDataStream>
#include <QDate>
#include <QDir>
#include <QScopedPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <thread>

Q_DECLARE_METATYPE(VantHelper::FrameWait)

using namespace VantHelper;
using ipctest::frameOf;
using ipctest::lengthPrefix;
using ipctest::SocketPair;

namespace {

QByteArray hex(const char* pText)
{
    return QByteArray::fromHex(pText);
}

// Element in Qt's QVariant stream format, written by Qt itself.
QByteArray qtElement(const QVariant& value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_6);
    out << value;
    return bytes;
}

QByteArray payloadOf(qint32 iValue, quint32 uCount, const QByteArray& elements)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_6);
    out << iValue << uCount;
    return bytes + elements;
}

} // namespace

class TestIpcWire : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void goldenFrames_data();
    void goldenFrames();
    void makeServerName_data();
    void makeServerName();
    void socketFolderWhereTheNameFits_data();
    void socketFolderWhereTheNameFits();
    void serverInItsSocketFolder();
    void commandCodes();

    void decodeAcceptedTypes_data();
    void decodeAcceptedTypes();
    void decodeRefusedTypes_data();
    void decodeRefusedTypes();
    void decodeMalformed_data();
    void decodeMalformed();
    void decodeEmptiesTarget();

    void twoFramesInOneRead();
    void frameSplitAcrossWrites_data();
    void frameSplitAcrossWrites();
    void closeMidFrameEndsWait_data();
    void closeMidFrameEndsWait();
    void stalledFrameIsGivenUp();
    void replyStartIsAwaited();
    void badLengthConsumesPrefixOnly_data();
    void badLengthConsumesPrefixOnly();

    void registerTwice();
    void registerVersionSequence();
    void registerWithEmptyParts_data();
    void registerWithEmptyParts();
    void lookupNeverRegistered();

private:
    QTemporaryDir m_settingsDir;
};

void TestIpcWire::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
}

void TestIpcWire::goldenFrames_data()
{
    QTest::addColumn<qint32>("iValue");
    QTest::addColumn<QVariantList>("lstValues");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("request code 1, no parameters") << 1 << QVariantList() << hex("080000000000000100000000");
    QTest::newRow("reply 0, no values") << 0 << QVariantList() << hex("080000000000000000000000");
    QTest::newRow("request code 3, integer 7")
        << 3 << QVariantList{7} << hex("110000000000000300000001000000020000000007");
}

void TestIpcWire::goldenFrames()
{
    QFETCH(qint32, iValue);
    QFETCH(QVariantList, lstValues);
    QFETCH(QByteArray, frame);

    SocketPair pair;
    writeFrame(&pair.writer, encodePayload(iValue, lstValues));
    QCOMPARE(ipctest::readExactly(pair.reader, frame.size()), frame);
    QCOMPARE(pair.reader.bytesAvailable(), qint64(0));

    QVERIFY(pair.writeRaw(frame));
    QByteArray payload;
    QCOMPARE(readFrame(&pair.reader, payload), FrameWait::Ready);
    qint32 iDecoded = -1;
    QVariantList lstDecoded{QStringLiteral("stale")};
    QVERIFY(decodePayload(payload, iDecoded, lstDecoded));
    QCOMPARE(iDecoded, iValue);
    QCOMPARE(lstDecoded, lstValues);
    for (int i = 0; i < lstValues.size(); ++i)
        QCOMPARE(lstDecoded.at(i).userType(), lstValues.at(i).userType());
}

void TestIpcWire::makeServerName_data()
{
    QTest::addColumn<QString>("sPrg");
    QTest::addColumn<QString>("sName");
    QTest::newRow("program") << "pelirand0000abcd"
                             << "vantora-software.pelirand0000abcd.1.0";
    QTest::newRow("empty program") << ""
                                   << "vantora-software..1.0";
    QTest::newRow("program in a folder")
        << "/run/user/7/pelirand-a1B2c3/pelirand0000abcd"
        << "/run/user/7/pelirand-a1B2c3/vantora-software.pelirand0000abcd.1.0";
}

void TestIpcWire::makeServerName()
{
    QFETCH(QString, sPrg);
    QFETCH(QString, sName);
    QCOMPARE(VantHelper::makeServerName(sPrg, QStringLiteral("1.0")), sName);
}

void TestIpcWire::socketFolderWhereTheNameFits_data()
{
    // Candidate folders by length: 0 = a short one made by the test.
    QTest::addColumn<QList<int>>("lstCandidateLengths");
    QTest::addColumn<int>("iChosen"); // index of the folder chosen, -1: none fits

    QTest::newRow("short") << QList<int>{0} << 0;
    QTest::newRow("long, then short") << QList<int>{90, 0} << 1;
    QTest::newRow("only long ones") << QList<int>{90, 100} << -1;
}

void TestIpcWire::socketFolderWhereTheNameFits()
{
    QFETCH(QList<int>, lstCandidateLengths);
    QFETCH(int, iChosen);

    QTemporaryDir base;
    QVERIFY(base.isValid());
    QStringList lstCandidates;
    for (int nLength : lstCandidateLengths) {
        QString sFolder = base.path();
        if (nLength > 0) {
            sFolder += QLatin1Char('/') + QString(qMax(1, nLength - sFolder.size() - 1), QLatin1Char('d'));
            QVERIFY(QDir().mkpath(sFolder));
        }
        lstCandidates << sFolder;
    }
    const QString sEndpoint =
        VantHelper::makeServerName(QStringLiteral("pelirand0123abcd"), QStringLiteral("1.0"));
    QString sError;
    const QString sFolder = VantHelper::makeSocketFolder(sEndpoint, lstCandidates, &sError);
    if (iChosen < 0) {
        QVERIFY(sFolder.isEmpty());
        QVERIFY2(
            sError.startsWith(QLatin1String("the temporary folder path is too long for a local socket: ") +
                              lstCandidates.first()),
            qPrintable(sError));
        return;
    }
    QVERIFY2(!sFolder.isEmpty(), qPrintable(sError));
    QCOMPARE(QFileInfo(sFolder).path(), lstCandidates.at(iChosen));
    QVERIFY(VantHelper::fitsLocalSocket(sFolder + QLatin1Char('/') + sEndpoint));
    // The owner's alone.
    QCOMPARE(QFileInfo(sFolder).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther),
             QFile::Permissions());
    QVERIFY(QDir().rmdir(sFolder));
}

void TestIpcWire::serverInItsSocketFolder()
{
    // A temporary folder with no room for an endpoint's name: the server goes to a folder of its own, and
    // a client given that folder with the program name reaches it.
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString sLong = base.path() + QLatin1Char('/') + QString(90, QLatin1Char('t'));
    QVERIFY(QDir().mkpath(sLong));
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(sLong));
    const QString sPrg = ipctest::uniquePrg();
    const QString sEndpoint = VantHelper::makeServerName(sPrg, QStringLiteral("1.0"));
    QVERIFY(!VantHelper::fitsLocalSocket(sEndpoint));
    {
        VantHelper::VantIPCServer tooLong(QString(), QStringLiteral("1.0"));
        tooLong.setServerPrg(sPrg);
        QVERIFY(!tooLong.startServer());
        QVERIFY2(tooLong.lastError().contains(
                     QLatin1String("the temporary folder path is too long for a local socket: ") + sLong),
                 qPrintable(tooLong.lastError()));
    }
    QString sError;
    const QString sFolder = VantHelper::makeSocketFolder(sEndpoint, {sLong, base.path()}, &sError);
    QVERIFY2(!sFolder.isEmpty(), qPrintable(sError));
    const QString sFolderPrg = sFolder + QLatin1Char('/') + sPrg;
    {
        ipctest::ServerThread server(sFolderPrg);
        QVERIFY(server.started());
        VantHelper::VantIPCClient client(sFolderPrg, QStringLiteral("1.0"));
        QVERIFY2(client.connectServer(), qPrintable(client.lastError()));
        VantHelper::VantIPCCommand cmd;
        cmd.iCmd = 4;
        QVERIFY(client.sendCommand(cmd));
        QCOMPARE(cmd.iResult, 104);
    }
    // The endpoint went with the server.
    QVERIFY(QDir().rmdir(sFolder));
    qputenv("TMPDIR", savedTmp);
}

void TestIpcWire::commandCodes()
{
    // The two directions reuse the same numbers.
    QCOMPARE(int(cmdLoadDSM), 2);
    QCOMPARE(int(cmdCallbackMsg), 2);
    const int bridgeCodes[] = {cmdGetNumCommands,    cmdQuit,
                               cmdLoadDSM,           cmdUnloadDSM,
                               cmdTwainCmd,          cmdTwainSetCapEnum,
                               cmdTwainGetCapEnum,   cmdTwainSetCapOneVal,
                               cmdTwainGetCapOneVal, cmdShowLastGUI};
    for (int i = 0; i < 10; ++i)
        QCOMPARE(bridgeCodes[i], i);
    QCOMPARE(int(cmdHello), 1);
    QCOMPARE(int(cmdImageInFile), 3);
}

void TestIpcWire::decodeAcceptedTypes_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("bool") << QVariant(true);
    QTest::newRow("int") << QVariant(-7);
    QTest::newRow("uint") << QVariant(4000000000u);
    QTest::newRow("qlonglong") << QVariant(Q_INT64_C(-5000000000));
    QTest::newRow("qulonglong") << QVariant(Q_UINT64_C(18000000000000000000));
    QTest::newRow("long") << QVariant::fromValue<long>(-123456);
    QTest::newRow("ulong") << QVariant::fromValue<ulong>(123456);
    QTest::newRow("short") << QVariant::fromValue<short>(-300);
    QTest::newRow("ushort") << QVariant::fromValue<ushort>(60000);
    QTest::newRow("char") << QVariant::fromValue<char>('x');
    QTest::newRow("signed char") << QVariant::fromValue<signed char>(-5);
    QTest::newRow("uchar") << QVariant::fromValue<uchar>(250);
    QTest::newRow("double") << QVariant(-1.25e300);
    QTest::newRow("string") << QVariant(QStringLiteral("Grüße \U0001F600"));
    QTest::newRow("empty string") << QVariant(QStringLiteral(""));
    QTest::newRow("null string") << QVariant(QString());
    QTest::newRow("bytes") << QVariant(QByteArray("\x00\x01\xff", 3));
    QTest::newRow("empty bytes") << QVariant(QByteArray(""));
    QTest::newRow("null bytes") << QVariant(QByteArray());
    QTest::newRow("null int") << QVariant(QVariant::Int);
    // Every scalar that Qt's stream reads: a number is converted with toUInt().
    QTest::newRow("float") << QVariant::fromValue<float>(1.5f);
    QTest::newRow("char16") << QVariant(QChar(u'x'));
    QTest::newRow("invalid") << QVariant();
}

void TestIpcWire::decodeAcceptedTypes()
{
    QFETCH(QVariant, value);
    const QVariantList lstValues{value, 42};
    qint32 iValue = 0;
    QVariantList lstDecoded;
    QVERIFY(decodePayload(encodePayload(11, lstValues), iValue, lstDecoded));
    QCOMPARE(iValue, 11);
    QCOMPARE(lstDecoded.size(), 2);
    QCOMPARE(lstDecoded.at(0).userType(), value.userType());
    QCOMPARE(lstDecoded.at(0).isNull(), value.isNull());
    QCOMPARE(lstDecoded.at(0), value);
    QCOMPARE(lstDecoded.at(1), QVariant(42));
    // What was decoded encodes to the same bytes again.
    QCOMPARE(encodePayload(iValue, lstDecoded), encodePayload(11, lstValues));
}

void TestIpcWire::decodeRefusedTypes_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("nested list") << QVariant(QVariantList{1, 2});
    QTest::newRow("map") << QVariant(QVariantMap{{QStringLiteral("a"), 1}});
    QTest::newRow("string list") << QVariant(QStringList{QStringLiteral("a")});
    QTest::newRow("date") << QVariant(QDate(2024, 1, 2));
}

void TestIpcWire::decodeRefusedTypes()
{
    QFETCH(QVariant, value);
    const QByteArray payload = payloadOf(6, 2, qtElement(7) + qtElement(value));
    qint32 iValue = 0;
    QVariantList lstDecoded;
    QVERIFY(!decodePayload(payload, iValue, lstDecoded));
    QCOMPARE(iValue, 6);
    QVERIFY(lstDecoded.isEmpty());
}

void TestIpcWire::decodeMalformed_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<qint32>("iValue");
    QTest::addColumn<bool>("bListOk");
    QTest::addColumn<QVariantList>("lstValues");

    const QByteArray one = qtElement(1);
    QTest::newRow("empty") << QByteArray() << 0 << false << QVariantList();
    QTest::newRow("three bytes") << hex("000001") << 0 << false << QVariantList();
    QTest::newRow("code only") << hex("00000005") << 5 << false << QVariantList();
    QTest::newRow("count without elements")
        << payloadOf(5, 0xffffffffu, QByteArray()) << 5 << false << QVariantList();
    QTest::newRow("count beyond the bytes left")
        << payloadOf(5, 0x7fffffffu, one) << 5 << false << QVariantList();
    QTest::newRow("count one more than there is") << payloadOf(5, 2, one) << 5 << false << QVariantList();
    QTest::newRow("truncated integer") << payloadOf(5, 1, one.left(7)) << 5 << false << QVariantList();
    QTest::newRow("string of odd size")
        << payloadOf(5, 1, hex("0000000a000000000300410042")) << 5 << false << QVariantList();
    QTest::newRow("string beyond the bytes left")
        << payloadOf(5, 1, hex("0000000a007ffffffe0041")) << 5 << false << QVariantList();
    QTest::newRow("bytes beyond the bytes left")
        << payloadOf(5, 1, hex("0000000c00fffffffe0041")) << 5 << false << QVariantList();
    QTest::newRow("type id with the top bit")
        << payloadOf(5, 1, hex("800000020000000007")) << 5 << false << QVariantList();
    QTest::newRow("user type by name")
        << payloadOf(5, 1, hex("00000400000000000441424300")) << 5 << false << QVariantList();
    QTest::newRow("trailing bytes are ignored")
        << payloadOf(5, 1, one + hex("deadbeef")) << 5 << true << QVariantList{1};
    QTest::newRow("no elements") << payloadOf(-3, 0, QByteArray()) << -3 << true << QVariantList();
}

void TestIpcWire::decodeMalformed()
{
    QFETCH(QByteArray, payload);
    QFETCH(qint32, iValue);
    QFETCH(bool, bListOk);
    QFETCH(QVariantList, lstValues);
    qint32 iDecoded = 77;
    QVariantList lstDecoded;
    QCOMPARE(decodePayload(payload, iDecoded, lstDecoded), bListOk);
    QCOMPARE(iDecoded, iValue);
    QCOMPARE(lstDecoded, lstValues);
}

void TestIpcWire::decodeEmptiesTarget()
{
    VantIPCCommand cmd;
    cmd.lstResults = {1, 2, 3};
    QVERIFY(decodeReply(encodePayload(4, {QStringLiteral("a")}), cmd));
    QCOMPARE(cmd.lstResults, QVariantList{QStringLiteral("a")});
    QVERIFY(!decodeReply(payloadOf(4, 1, qtElement(QVariantList{})), cmd));
    QVERIFY(cmd.lstResults.isEmpty());
}

void TestIpcWire::twoFramesInOneRead()
{
    SocketPair pair;
    const QByteArray first = encodePayload(1, {});
    const QByteArray second = encodePayload(2, {QByteArray("xy")});
    QVERIFY(pair.writeRaw(frameOf(first) + frameOf(second)));
    QByteArray payload;
    QCOMPARE(readFrame(&pair.reader, payload), FrameWait::Ready);
    QCOMPARE(payload, first);
    QCOMPARE(readFrame(&pair.reader, payload), FrameWait::Ready);
    QCOMPARE(payload, second);
    QCOMPARE(pair.reader.bytesAvailable(), qint64(0));
}

void TestIpcWire::frameSplitAcrossWrites_data()
{
    QTest::addColumn<int>("iSplit");
    QTest::newRow("inside the length") << 2;
    QTest::newRow("after the length") << 4;
    QTest::newRow("inside the payload") << 13;
}

void TestIpcWire::frameSplitAcrossWrites()
{
    QFETCH(int, iSplit);
    SocketPair pair;
    const QByteArray payload = encodePayload(3, {7, QStringLiteral("split")});
    const QByteArray frame = frameOf(payload);
    QVERIFY(pair.writeRaw(frame.left(iSplit)));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pair.writeRaw(frame.mid(iSplit));
    });
    QByteArray received;
    const FrameWait result = readFrame(&pair.reader, received);
    writer.join();
    QCOMPARE(result, FrameWait::Ready);
    QCOMPARE(received, payload);
}

void TestIpcWire::closeMidFrameEndsWait_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("nothing sent") << QByteArray();
    QTest::newRow("inside the length") << hex("1100");
    QTest::newRow("inside the payload") << hex("1100000000000003");
}

void TestIpcWire::closeMidFrameEndsWait()
{
    QFETCH(QByteArray, bytes);
    SocketPair pair;
    QVERIFY(bytes.isEmpty() || pair.writeRaw(bytes));
    pair.shutdownWriter();
    QByteArray payload;
    // With bAwaitReply the start is waited for without bound; the close still ends the wait.
    QCOMPARE(readFrame(&pair.reader, payload, kFrameStallMs, true), FrameWait::Closed);
}

void TestIpcWire::stalledFrameIsGivenUp()
{
    SocketPair pair;
    QVERIFY(pair.writeRaw(hex("1100000000000003")));
    QByteArray payload;
    QCOMPARE(readFrame(&pair.reader, payload, 100), FrameWait::Stalled);
}

void TestIpcWire::replyStartIsAwaited()
{
    // The bound counts from the reply's first byte: a peer may take longer than that to start.
    SocketPair pair;
    const QByteArray reply = encodePayload(0, {1});
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pair.writeRaw(frameOf(reply));
    });
    QByteArray payload;
    const FrameWait result = readFrame(&pair.reader, payload, 100, true);
    writer.join();
    QCOMPARE(result, FrameWait::Ready);
    QCOMPARE(payload, reply);
}

void TestIpcWire::badLengthConsumesPrefixOnly_data()
{
    QTest::addColumn<qint32>("nLength");
    QTest::addColumn<FrameWait>("result");
    QTest::newRow("minus one") << -1 << FrameWait::BadLength;
    QTest::newRow("most negative") << std::numeric_limits<qint32>::min() << FrameWait::BadLength;
    QTest::newRow("one above the limit") << kMaxFrameLength + 1 << FrameWait::BadLength;
    QTest::newRow("largest") << std::numeric_limits<qint32>::max() << FrameWait::BadLength;
    // The limit itself is a valid length: the wait only ends because the writer goes.
    QTest::newRow("at the limit") << kMaxFrameLength << FrameWait::Closed;
}

void TestIpcWire::badLengthConsumesPrefixOnly()
{
    QFETCH(qint32, nLength);
    QFETCH(FrameWait, result);
    SocketPair pair;
    QVERIFY(pair.writeRaw(lengthPrefix(nLength) + hex("0102")));
    pair.shutdownWriter();
    qint32 nReported = -5;
    QCOMPARE(waitForFrame(&pair.reader, &nReported), result);
    QCOMPARE(nReported, -5);
    QCOMPARE(pair.reader.read(2), hex("0102"));
}

// Registry: every test uses program names of its own in the temporary settings folder.

namespace {

QString settingsValue(const QString& sPrg, const QString& sSubKey, const QString& sKey)
{
    QScopedPointer<QSettings> pSettings(openSettings(sPrg, sSubKey));
    return pSettings->value(sKey).toString();
}

} // namespace

void TestIpcWire::registerTwice()
{
    const QString sPrg = QStringLiteral("regtwice");
    registerServerVersion(sPrg, QStringLiteral("1.0"));
    {
        QScopedPointer<QSettings> pSettings(openSettings(sPrg, QStringLiteral("1.0")));
        pSettings->setValue(QStringLiteral("ExePath"), QStringLiteral("old"));
        QScopedPointer<QSettings> pProgram(openSettings(sPrg, QString()));
        pProgram->setValue(QStringLiteral("CurrentVersion"), QStringLiteral("old"));
    }
    registerServerVersion(sPrg, QStringLiteral("1.0"));
    QCOMPARE(settingsValue(sPrg, QString(), QStringLiteral("IPCServers")), QStringLiteral("1.0"));
    QCOMPARE(settingsValue(sPrg, QString(), QStringLiteral("CurrentVersion")), QStringLiteral("1.0"));
    QCOMPARE(settingsValue(sPrg, QStringLiteral("1.0"), QStringLiteral("ExePath")),
             QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
    // The path belongs to the version's sub-key, not to the program.
    QVERIFY(settingsValue(sPrg, QString(), QStringLiteral("ExePath")).isEmpty());
}

void TestIpcWire::registerVersionSequence()
{
    const QString sPrg = QStringLiteral("regsequence");
    registerServerVersion(sPrg, QStringLiteral("1.0"));
    registerServerVersion(sPrg, QStringLiteral("2.0"));
    QCOMPARE(settingsValue(sPrg, QString(), QStringLiteral("IPCServers")), QStringLiteral("1.0,2.0"));
    QCOMPARE(settingsValue(sPrg, QString(), QStringLiteral("CurrentVersion")), QStringLiteral("2.0"));
    registerServerVersion(sPrg, QStringLiteral("1.0"));
    QCOMPARE(settingsValue(sPrg, QString(), QStringLiteral("IPCServers")), QStringLiteral("1.0,2.0"));
    QCOMPARE(settingsValue(sPrg, QString(), QStringLiteral("CurrentVersion")), QStringLiteral("1.0"));
    QCOMPARE(readServerVersion(sPrg), QStringLiteral("1.0"));
}

void TestIpcWire::registerWithEmptyParts_data()
{
    QTest::addColumn<QString>("sVersion");
    QTest::addColumn<QString>("sStoredAfter");
    QTest::newRow("new version") << "3.0"
                                 << "1.0,2.0,3.0";
    QTest::newRow("known version") << "2.0"
                                   << ",1.0,,2.0,";
}

void TestIpcWire::registerWithEmptyParts()
{
    QFETCH(QString, sVersion);
    QFETCH(QString, sStoredAfter);
    const QString sPrg =
        QStringLiteral("regempty") + QString::fromLatin1(QTest::currentDataTag()).remove(' ');
    {
        QScopedPointer<QSettings> pSettings(openSettings(sPrg, QString()));
        pSettings->setValue(QStringLiteral("IPCServers"), QStringLiteral(",1.0,,2.0,"));
    }
    registerServerVersion(sPrg, sVersion);
    QCOMPARE(settingsValue(sPrg, QString(), QStringLiteral("IPCServers")), sStoredAfter);
    QCOMPARE(readServerVersion(sPrg), sVersion);
}

void TestIpcWire::lookupNeverRegistered()
{
    QCOMPARE(readServerVersion(QStringLiteral("neverregistered")), QString());
}

QTEST_GUILESS_MAIN(TestIpcWire)
#include "tst_ipcwire.moc"
