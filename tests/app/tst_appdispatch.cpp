// The command dispatcher, driven through the bridge's IPC server against the
// stand-in DSM and the simulated scanner.

#include <QRegularExpression>
#include <QtTest>

#include <thread>

#include "protocol/commandcodes.h"
#include "ipc/vantipcclient.h"
#include "sources/sim/simscanner.h"
#include "tests/app/mainappfixture.h"
#include "twain/twain.h"

using apptest::le16;
using apptest::le32;
using apptest::MainApp;
using apptest::readLe32;
using VantHelper::VantIPCCommand;

Q_DECLARE_METATYPE(QList<QVariant>)

namespace {

// The log lines of the last command: from its "cmd received" line on.
QStringList lastCommandLines(const QStringList& lines)
{
    for (int i = lines.size() - 1; i >= 0; --i) {
        if (lines.at(i).startsWith(QLatin1String("cmd received:")))
            return lines.mid(i);
    }
    return {};
}

QList<QVariant> uints(std::initializer_list<unsigned> values)
{
    QList<QVariant> list;
    for (unsigned v : values)
        list.append(QVariant(v));
    return list;
}

// A TW_IDENTITY block of the 32-bit layout with the given product name bytes.
QByteArray identityNamed(const QByteArray& name, int nSize = 156)
{
    QByteArray identity(qMax(nSize, 156), '\0');
    identity.replace(122, name.size(), name);
    return identity.left(nSize);
}

bool hasLineStartingWith(const QStringList& lines, const QString& sPrefix)
{
    for (const QString& line : lines) {
        if (line.startsWith(sPrefix))
            return true;
    }
    return false;
}

} // namespace

class TestAppDispatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void getNumCommands_data();
    void getNumCommands();
    void refused_data();
    void refused();
    void parentHandlePatch();
    void failedCallInStateOne();
    void failedCallBySource();
    void callbackRegistration_data();
    void callbackRegistration();
    void getCapOneVal_data();
    void getCapOneVal();
    void capEnums();
    void identityCopy();
    void dsmTriplets_data();
    void dsmTriplets();
    void shortBlocks_data();
    void shortBlocks();
    void shortTwainBlock();
    void longOneValueItem();
    void unloadKeepsState();
    void unloadWhileEnabledIsRefused();
    void busySource_data();
    void busySource();
};

void TestAppDispatch::initTestCase()
{
    apptest::useTemporaryTmpDir();
}

void TestAppDispatch::getNumCommands_data()
{
    QTest::addColumn<QList<QVariant>>("lstParams");
    QTest::addColumn<QStringList>("lstLog");

    QTest::newRow("no test text") << QList<QVariant>()
                                  << QStringList({QStringLiteral("cmd received: cmd=0, cnt=0 ")});
    QTest::newRow("hello") << QList<QVariant>({QByteArray("hello")})
                           << QStringList({QStringLiteral("cmd received: cmd=0, cnt=1 "),
                                           QStringLiteral("GetNumCommands, teststring=hello")});
}

void TestAppDispatch::getNumCommands()
{
    QFETCH(QList<QVariant>, lstParams);
    QFETCH(QStringList, lstLog);

    MainApp app;
    QVERIFY(app.startAndConnect());
    const VantIPCCommand cmd = app.send(cmdGetNumCommands, lstParams);
    QCOMPARE(cmd.iResult, 10);
    QVERIFY(cmd.lstResults.isEmpty());
    QCOMPARE(lastCommandLines(app.logLines()), lstLog);
}

void TestAppDispatch::refused_data()
{
    QTest::addColumn<int>("iCmd");
    QTest::addColumn<int>("nParams");
    QTest::addColumn<QString>("sLabel");

    QTest::newRow("code 12") << 12 << 0 << QString();
    QTest::newRow("GetCap with 2") << int(cmdTwainGetCap) << 2 << QStringLiteral("TwainGetCap");
    QTest::newRow("EndBatch without what") << int(cmdEndBatch) << 0 << QStringLiteral("EndBatch");
    QTest::newRow("code -1") << -1 << 2 << QString();
    QTest::newRow("LoadDSM without choice") << int(cmdLoadDSM) << 0 << QStringLiteral("loading DSM");
    QTest::newRow("TwainCmd with 4") << int(cmdTwainCmd) << 4 << QStringLiteral("Twain Cmd");
    QTest::newRow("SetCapEnum with 3") << int(cmdTwainSetCapEnum) << 3 << QStringLiteral("TwainSetCapEnum");
    QTest::newRow("GetCapEnum with 1") << int(cmdTwainGetCapEnum) << 1 << QStringLiteral("TwainGetCapEnum");
    QTest::newRow("SetCapOneVal with 3")
        << int(cmdTwainSetCapOneVal) << 3 << QStringLiteral("TwainSetCapOneVal");
    QTest::newRow("GetCapOneVal with 3")
        << int(cmdTwainGetCapOneVal) << 3 << QStringLiteral("TwainGetCapOneVal");
}

void TestAppDispatch::refused()
{
    QFETCH(int, iCmd);
    QFETCH(int, nParams);
    QFETCH(QString, sLabel);

    MainApp app;
    QVERIFY(app.startAndConnect());
    // Plausible values, one short of what the command needs.
    const QList<QVariant> all({QByteArray(), DG_CONTROL, DAT_PARENT, MSG_OPENDSM, QByteArray(4, '\0')});
    const VantIPCCommand cmd = app.send(iCmd, all.mid(0, nParams));
    QCOMPARE(cmd.iResult, 1);
    QVERIFY(cmd.lstResults.isEmpty());

    QStringList expected({QStringLiteral("cmd received: cmd=%1, cnt=%2 ").arg(iCmd).arg(nParams)});
    if (!sLabel.isEmpty())
        expected.append(sLabel);
    QCOMPARE(lastCommandLines(app.logLines()), expected);
}

void TestAppDispatch::parentHandlePatch()
{
    MainApp app;
    QVERIFY(app.startAndConnect());

    const VantIPCCommand load = app.send(cmdLoadDSM, {0u});
    QCOMPARE(load.iResult, 0);
    QCOMPARE(load.lstResults, uints({2}));

    const VantIPCCommand open =
        app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_PARENT, MSG_OPENDSM, QByteArray(4, '\0')});
    QCOMPARE(open.iResult, int(TWRC_SUCCESS));
    QCOMPARE(open.lstResults.size(), 3);
    QCOMPARE(open.lstResults.at(0), QVariant(3u));
    QCOMPARE(open.lstResults.at(1), QVariant(0u));
    const QByteArray block = open.lstResults.at(2).toByteArray();
    QCOMPARE(block.size(), 4);
    QCOMPARE(readLe32(block, 0), app.hiddenWindow());

    const QStringList lines = lastCommandLines(app.logLines());
    QVERIFY(
        lines.contains(QStringLiteral("Twain Cmd: DG=1 DAT=0x0004 MSG=0x0301 datsize32=4 datsize64=4 src=")));
    QVERIFY(lines.contains(QStringLiteral("ret=0, state=3")));
    QCOMPARE(lines.last(), QStringLiteral("state changed from 2 to 3"));
}

void TestAppDispatch::failedCallInStateOne()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    // No DSM loaded: refused before the DSM, the block does not come back.
    const VantIPCCommand cmd =
        app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_PARENT, MSG_OPENDSM, QByteArray(4, '\0')});
    QCOMPARE(cmd.iResult, int(TWRC_FAILURE));
    QCOMPARE(cmd.lstResults, uints({1, TWCC_SEQERROR}));
}

void TestAppDispatch::failedCallBySource()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    const QByteArray identity = apptest::openScanner(app);
    QVERIFY(!identity.isEmpty());
    QCOMPARE(apptest::setCap32(app, identity, simscanner::SIMCAP_FAILTRIPLET, TWTY_UINT32,
                               simscanner::simTriplet(DAT_IMAGELAYOUT, MSG_GET)),
             0);
    QCOMPARE(
        apptest::setCap16(app, identity, simscanner::SIMCAP_FAILCONDITION, TWTY_UINT16, TWCC_OPERATIONERROR),
        0);

    const VantIPCCommand cmd =
        app.send(cmdTwainCmd, {identity, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, QByteArray(28, '\0')});
    QCOMPARE(cmd.iResult, int(TWRC_FAILURE));
    QCOMPARE(cmd.lstResults, uints({4, TWCC_OPERATIONERROR}));
    QVERIFY(lastCommandLines(app.logLines()).contains(QStringLiteral("ret=1, state=4")));
}

void TestAppDispatch::callbackRegistration_data()
{
    QTest::addColumn<bool>("bNoCallback2");
    QTest::addColumn<QString>("sInstalled");

    QTest::newRow("callback2") << false << QStringLiteral("callback2 installed");
    QTest::newRow("older callback only") << true << QStringLiteral("callback installed");
}

void TestAppDispatch::callbackRegistration()
{
    QFETCH(bool, bNoCallback2);
    QFETCH(QString, sInstalled);

    MainApp app;
    if (bNoCallback2)
        app.setEnv(QStringLiteral("PELIRAND_DSM_NO_CALLBACK2"), QStringLiteral("1"));
    QVERIFY(app.startAndConnect());
    const QByteArray identity = apptest::openScanner(app);
    QVERIFY(!identity.isEmpty());

    const QStringList lines = lastCommandLines(app.logLines());
    const int iInstalling = lines.indexOf(QStringLiteral("installing callback"));
    QVERIFY2(iInstalling > 0, qPrintable(lines.join('\n')));
    QCOMPARE(lines.indexOf(QStringLiteral("ret=0, state=4")), iInstalling - 1);
    QVERIFY(lines.indexOf(sInstalled) > iInstalling);
    QCOMPARE(lines.contains(QStringLiteral("callback2 installed")), !bNoCallback2);
    QCOMPARE(lines.last(), QStringLiteral("state changed from 3 to 4"));
}

void TestAppDispatch::getCapOneVal_data()
{
    QTest::addColumn<int>("iCap");
    QTest::addColumn<int>("iItemType");
    QTest::addColumn<QByteArray>("baValue");
    QTest::addColumn<QString>("sDump");

    // SIMCAP_MEMROWALIGN is a TWTY_UINT16 of 1, SIMCAP_FEEDERPAGES a TWTY_UINT32 of 3.
    QTest::newRow("uint16") << int(simscanner::SIMCAP_MEMROWALIGN) << int(TWTY_UINT16)
                            << QByteArray("\x01\x00", 2)
                            << QStringLiteral("returned: datasize=2 data =   {0100}");
    QTest::newRow("named wider than the source's")
        << int(simscanner::SIMCAP_MEMROWALIGN) << int(TWTY_UINT32) << QByteArray("\x01\x00\x00\x00", 4)
        << QStringLiteral("returned: datasize=4 data =   {01000000}");
    QTest::newRow("named narrower than the source's")
        << int(simscanner::SIMCAP_FEEDERPAGES) << int(TWTY_UINT8) << QByteArray("\x03", 1)
        << QStringLiteral("returned: datasize=1 data =   {03}");
    QTest::newRow("unknown type") << int(simscanner::SIMCAP_FEEDERPAGES) << 99 << QByteArray()
                                  << QStringLiteral("returned: datasize=0 data =   {}");
}

void TestAppDispatch::getCapOneVal()
{
    QFETCH(int, iCap);
    QFETCH(int, iItemType);
    QFETCH(QByteArray, baValue);
    QFETCH(QString, sDump);

    MainApp app;
    QVERIFY(app.startAndConnect());
    const QByteArray identity = apptest::openScanner(app);
    QVERIFY(!identity.isEmpty());

    const VantIPCCommand cmd = app.send(
        cmdTwainGetCapOneVal, {identity, unsigned(iCap), unsigned(iItemType), unsigned(MSG_GETCURRENT)});
    QCOMPARE(cmd.iResult, 0);
    QCOMPARE(cmd.lstResults, QList<QVariant>({baValue}));
    const QStringList lines = lastCommandLines(app.logLines());
    QVERIFY(lines.contains(QStringLiteral("cap=0x%1, ConType=0xffff, DataType=0x%2, typesize=%3 ")
                               .arg(iCap, 0, 16)
                               .arg(iItemType, 0, 16)
                               .arg(baValue.size())));
    QCOMPARE(lines.last(), sDump);
}

void TestAppDispatch::capEnums()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    const QByteArray identity = apptest::openScanner(app);
    QVERIFY(!identity.isEmpty());

    // Only grey and black-and-white left: the first item becomes current and default.
    const VantIPCCommand set =
        app.send(cmdTwainSetCapEnum, {identity, unsigned(ICAP_PIXELTYPE), unsigned(TWTY_UINT16),
                                      le16(TWPT_GRAY) + le16(TWPT_BW)});
    QCOMPARE(set.iResult, 0);
    QVERIFY(set.lstResults.isEmpty());

    const VantIPCCommand current =
        app.send(cmdTwainGetCapOneVal,
                 {identity, unsigned(ICAP_PIXELTYPE), unsigned(TWTY_UINT16), unsigned(MSG_GETCURRENT)});
    QCOMPARE(current.iResult, 0);
    QCOMPARE(current.lstResults, QList<QVariant>({le16(TWPT_GRAY)}));

    const VantIPCCommand get = app.send(cmdTwainGetCapEnum, {identity, unsigned(ICAP_PIXELTYPE)});
    QCOMPARE(get.iResult, 0);
    QCOMPARE(get.lstResults.size(), 1);
    const QByteArray items = get.lstResults.at(0).toByteArray();
    QVERIFY(items.size() >= 2 && items.size() % 2 == 0);
    QVERIFY2(items.contains(le16(TWPT_GRAY)), items.toHex().constData());

    // Resolutions are TW_FIX32: not a list of 16-bit values.
    const VantIPCCommand wide = app.send(cmdTwainGetCapEnum, {identity, unsigned(ICAP_XRESOLUTION)});
    QCOMPARE(wide.iResult, 1);
    QVERIFY(wide.lstResults.isEmpty());
}

void TestAppDispatch::identityCopy()
{
    MainApp app;
    QVERIFY(app.startAndConnect());

    auto srcAfter = [&app](const QByteArray& identity) {
        app.send(cmdTwainCmd, {identity, DG_CONTROL, DAT_NULL, MSG_GET, QByteArray()});
        static const QRegularExpression re(QStringLiteral("^Twain Cmd: DG=.* src=(.*)$"));
        for (const QString& line : lastCommandLines(app.logLines())) {
            const QRegularExpressionMatch match = re.match(line);
            if (match.hasMatch())
                return match.captured(1);
        }
        return QStringLiteral("<no line>");
    };

    // Longer than 156 bytes: the rest is not taken.
    QCOMPARE(srcAfter(identityNamed("ABCDEFGHIJKLMNOP", 156) + QByteArray(44, 'Z')),
             QStringLiteral("ABCDEFGHIJKLMNOP"));
    // Shorter: only its own bytes change.
    QCOMPARE(srcAfter(identityNamed("wxyz", 126)), QStringLiteral("wxyzEFGHIJKLMNOP"));
    // An empty identity changes nothing.
    QCOMPARE(srcAfter(QByteArray()), QStringLiteral("wxyzEFGHIJKLMNOP"));
    // A name that fills all 34 bytes is logged as those 34 bytes.
    QCOMPARE(srcAfter(identityNamed(QByteArray(34, 'N'))), QString(34, QLatin1Char('N')));
}

void TestAppDispatch::dsmTriplets_data()
{
    QTest::addColumn<QByteArray>("param0");
    QTest::newRow("no identity") << QByteArray();
    QTest::newRow("the source's identity") << identityNamed(simscanner::kProductName);
    QTest::newRow("another identity") << identityNamed("Nobody");
}

// Whatever parameter 0 holds, the triplets meant for the DSM reach the DSM
// (no destination), and the source it opens is the one later calls reach.
void TestAppDispatch::dsmTriplets()
{
    QFETCH(QByteArray, param0);
    MainApp app;
    QVERIFY(app.startAndConnect());
    QCOMPARE(app.send(cmdLoadDSM, {0u}).iResult, 0);

    const QByteArray scanner = identityNamed(simscanner::kProductName);
    QByteArray entryPoint(24, '\0');
    entryPoint[0] = 24; // the 32-bit Size; the bridge hands the DSM its own
    const struct
    {
        TW_UINT16 dat;
        TW_UINT16 msg;
        QByteArray block;
    } calls[] = {
        {DAT_PARENT, MSG_OPENDSM, QByteArray(4, '\0')},
        {DAT_IDENTITY, MSG_GETFIRST, QByteArray(156, '\0')},
        {DAT_IDENTITY, MSG_GETDEFAULT, QByteArray(156, '\0')},
        {DAT_IDENTITY, MSG_USERSELECT, QByteArray(156, '\0')},
        {DAT_IDENTITY, MSG_SET, scanner},
        {DAT_ENTRYPOINT, MSG_GET, entryPoint},
        {DAT_IDENTITY, MSG_OPENDS, scanner},
    };
    for (const auto& c : calls) {
        const VantIPCCommand reply = app.send(cmdTwainCmd, {param0, DG_CONTROL, c.dat, c.msg, c.block});
        QVERIFY2(reply.iResult == TWRC_SUCCESS,
                 qPrintable(QStringLiteral("DAT 0x%1 MSG 0x%2: %3")
                                .arg(c.dat, 0, 16)
                                .arg(c.msg, 0, 16)
                                .arg(lastCommandLines(app.logLines()).join('\n'))));
        QVERIFY(hasLineStartingWith(lastCommandLines(app.logLines()), QStringLiteral("DG_CONTROL, ")));
        for (const QString& line : lastCommandLines(app.logLines())) {
            if (line.startsWith(QLatin1String("DG_CONTROL, DAT_")) && !line.contains("DAT_CALLBACK"))
                QVERIFY2(line.endsWith(QLatin1String("pSrc=0x00000000")), qPrintable(line));
        }
    }
    QVERIFY(lastCommandLines(app.logLines()).contains(QStringLiteral("callback2 installed")));

    // Later calls without an identity reach the source that the DSM opened.
    const VantIPCCommand cap =
        app.send(cmdTwainGetCapOneVal, {QByteArray(), ICAP_XFERMECH, TWTY_UINT16, MSG_GETCURRENT});
    QCOMPARE(cap.iResult, 0);
    QCOMPARE(app.send(cmdTwainCmd, {param0, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, scanner}).iResult,
             int(TWRC_SUCCESS));
    QCOMPARE(
        app.send(cmdTwainCmd, {param0, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, QByteArray(4, '\0')}).iResult,
        int(TWRC_SUCCESS));
}

void TestAppDispatch::shortBlocks_data()
{
    QTest::addColumn<int>("iCmd");
    QTest::addColumn<int>("iItemType");
    QTest::addColumn<QByteArray>("baItems");
    QTest::addColumn<QString>("sReason");

    QTest::newRow("one value shorter than its item")
        << int(cmdTwainSetCapOneVal) << int(TWTY_UINT32) << QByteArray(2, '\x01')
        << QStringLiteral("TwainSetCapOneVal: value of 2 bytes is shorter than its item of 4 bytes, refused");
    QTest::newRow("items not whole") << int(cmdTwainSetCapEnum) << int(TWTY_UINT16) << QByteArray(3, '\x01')
                                     << QStringLiteral("TwainSetCapEnum: 3 bytes of items are not whole "
                                                       "items of 2 bytes, refused");
    QTest::newRow("unknown item type with items")
        << int(cmdTwainSetCapEnum) << 99 << QByteArray(4, '\x01')
        << QStringLiteral("TwainSetCapEnum: unknown item type 0x63 with 4 bytes of items, refused");
}

void TestAppDispatch::shortBlocks()
{
    QFETCH(int, iCmd);
    QFETCH(int, iItemType);
    QFETCH(QByteArray, baItems);
    QFETCH(QString, sReason);

    MainApp app;
    QVERIFY(app.startAndConnect());
    const QByteArray identity = apptest::openScanner(app);
    QVERIFY(!identity.isEmpty());

    const VantIPCCommand cmd =
        app.send(iCmd, {identity, unsigned(simscanner::SIMCAP_FEEDERPAGES), unsigned(iItemType), baItems});
    QCOMPARE(cmd.iResult, 1);
    QVERIFY(cmd.lstResults.isEmpty());
    const QStringList lines = lastCommandLines(app.logLines());
    QCOMPARE(lines.last(), sReason);
    // No TWAIN call was made.
    QVERIFY(!hasLineStartingWith(lines, QStringLiteral("DG_CONTROL, DAT_CAPABILITY")));
}

void TestAppDispatch::shortTwainBlock()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    const QByteArray identity = apptest::openScanner(app);
    QVERIFY(!identity.isEmpty());

    // The source writes a whole TW_IMAGELAYOUT; the reply keeps the 6 bytes sent.
    const VantIPCCommand cmd =
        app.send(cmdTwainCmd, {identity, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, QByteArray(6, '\x55')});
    QCOMPARE(cmd.iResult, int(TWRC_SUCCESS));
    QCOMPARE(cmd.lstResults.size(), 3);
    QCOMPARE(cmd.lstResults.at(2).toByteArray(), QByteArray(6, '\0')); // Frame.Left 0, Frame.Top.Whole 0
    QVERIFY(lastCommandLines(app.logLines())
                .contains(QStringLiteral("Twain Cmd: DG=2 DAT=0x0102 MSG=0x0001 datsize32=28 "
                                         "datsize64=6 src=%1")
                              .arg(QLatin1String(simscanner::kProductName))));
}

void TestAppDispatch::longOneValueItem()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    const QByteArray identity = apptest::openScanner(app);
    QVERIFY(!identity.isEmpty());

    // A whole TWTY_STR1024 item travels in its container; the source refuses
    // the type for this capability, and the bridge goes on.
    const VantIPCCommand cmd =
        app.send(cmdTwainSetCapOneVal, {identity, unsigned(simscanner::SIMCAP_FEEDERPAGES),
                                        unsigned(TWTY_STR1024), QByteArray(1026, 'x')});
    QVERIFY(cmd.iResult != 0 && cmd.iResult != -12345);
    QVERIFY(hasLineStartingWith(lastCommandLines(app.logLines()),
                                QStringLiteral("DG_CONTROL, DAT_CAPABILITY, MSG_SET")));
    QCOMPARE(app.send(cmdGetNumCommands, {}).iResult, 10);
}

void TestAppDispatch::unloadKeepsState()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    QCOMPARE(app.send(cmdLoadDSM, {1u}).iResult, 0);
    QCOMPARE(app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_PARENT, MSG_OPENDSM, QByteArray(4, '\0')})
                 .iResult,
             int(TWRC_SUCCESS));

    const VantIPCCommand unload = app.send(cmdUnloadDSM, {});
    QCOMPARE(unload.iResult, 0);
    QVERIFY(unload.lstResults.isEmpty());
    QCOMPARE(lastCommandLines(app.logLines()),
             QStringList({QStringLiteral("cmd received: cmd=3, cnt=0 "), QStringLiteral("unloading DSM")}));

    // The state stays 3; the next call loads "TWAINDSM.dll" on demand.
    const VantIPCCommand status =
        app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_STATUS, MSG_GET, QByteArray(4, '\0')});
    QVERIFY(status.lstResults.size() >= 2);
    QCOMPARE(status.lstResults.at(0), QVariant(3u));
}

// An enabled source's pages and calls need the DSM: unloading it then is
// refused as during a call, and the session goes on.
void TestAppDispatch::unloadWhileEnabledIsRefused()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    const QByteArray identity = apptest::openScanner(app);
    QVERIFY(!identity.isEmpty());
    QByteArray ui(8, '\0');
    ui[0] = 1; // ShowUI: the dialog waits, no scan starts
    QCOMPARE(app.send(cmdTwainCmd, {identity, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, ui}).iResult,
             int(TWRC_SUCCESS));

    QCOMPARE(app.send(cmdUnloadDSM, {}).iResult, 1);
    QVERIFY(lastCommandLines(app.logLines()).contains(QStringLiteral("a source is enabled: the DSM stays loaded")));

    const VantIPCCommand disabled =
        app.send(cmdTwainCmd, {identity, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, ui});
    QCOMPARE(disabled.iResult, int(TWRC_SUCCESS));
    QCOMPARE(disabled.lstResults.at(0), QVariant(4u));
}

void TestAppDispatch::busySource_data()
{
    QTest::addColumn<int>("iCmd");
    QTest::addColumn<int>("iResult");
    QTest::addColumn<QList<QVariant>>("lstResults");
    QTest::addColumn<QString>("sLine");

    QTest::newRow("TWAIN call refused")
        << int(cmdTwainCmd) << int(TWRC_FAILURE) << uints({4, TWCC_DENIED})
        << QStringLiteral("*** Attempt to make re-entrant TWAIN call rejected");
    QTest::newRow("no TWAIN call") << int(cmdGetNumCommands) << 10 << QList<QVariant>()
                                   << QStringLiteral("cmd received: cmd=0, cnt=0 ");
    QTest::newRow("unload refused") << int(cmdUnloadDSM) << 1 << QList<QVariant>()
                                    << QStringLiteral("a TWAIN call is in progress: the DSM stays loaded");
    QTest::newRow("quit without unloading")
        << int(cmdQuit) << 0 << QList<QVariant>()
        << QStringLiteral("a TWAIN call is in progress: the DSM stays loaded");
}

// True when the line of the command iCmd came between the slow call's line
// and its result, that is while the slow call ran.
bool takenDuringSlowCall(const QStringList& lines, const QString& sSlowCall, int iCmd)
{
    int iSlow = -1;
    for (int i = 0; i < lines.size() && iSlow < 0; ++i) {
        if (lines.at(i).startsWith(sSlowCall))
            iSlow = i;
    }
    const QString sNested = QStringLiteral("cmd received: cmd=%1,").arg(iCmd);
    for (int i = iSlow + 1; iSlow >= 0 && i < lines.size(); ++i) {
        if (lines.at(i).startsWith(QStringLiteral("Result = ")))
            return false;
        if (lines.at(i).startsWith(sNested))
            return true;
    }
    return false;
}

void TestAppDispatch::busySource()
{
    QFETCH(int, iCmd);
    QFETCH(int, iResult);
    QFETCH(QList<QVariant>, lstResults);
    QFETCH(QString, sLine);

    // The source's call must outlast the nested command's trip. A short wait
    // keeps the test fast; only if the command came too late for it (a loaded
    // machine) is the case run again with a long one.
    const int aiDelayMs[] = {1000, 8000};
    for (const int iDelayMs : aiDelayMs) {
        const bool bLastTry = iDelayMs == aiDelayMs[1];
        MainApp app;
        QVERIFY(app.startAndConnect());
        const QByteArray identity = apptest::openScanner(app);
        QVERIFY(!identity.isEmpty());
        // The source waits inside DAT_IMAGELAYOUT / MSG_GET and pumps messages meanwhile,
        // which lets the bridge's event loop take further commands.
        QCOMPARE(apptest::setCap32(app, identity, simscanner::SIMCAP_DELAYTRIPLET, TWTY_UINT32,
                                   simscanner::simTriplet(DAT_IMAGELAYOUT, MSG_GET)),
                 0);
        QCOMPARE(
            apptest::setCap32(app, identity, simscanner::SIMCAP_DELAYMS, TWTY_UINT32, TW_UINT32(iDelayMs)),
            0);

        VantIPCCommand slow;
        slow.iCmd = cmdTwainCmd;
        slow.lstParams = {identity, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, QByteArray(28, '\0')};
        bool bSlowSent = false;
        const QString sBridge = app.bridgePrg();
        std::thread worker([&slow, &bSlowSent, sBridge] {
            VantHelper::VantIPCClient client(sBridge, QStringLiteral("1.0"));
            bSlowSent = client.connectServer() && client.sendCommand(slow);
        });

        const QString sSlowCall = QStringLiteral("DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET");
        const bool bInside = app.waitForLog([&sSlowCall](const QStringList& lines) {
            return !lines.isEmpty() && hasLineStartingWith(lines.mid(lines.size() - 1), sSlowCall);
        });
        const QList<QVariant> lstParams =
            iCmd == cmdTwainCmd
                ? QList<QVariant>({identity, DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, QByteArray(6, '\0')})
                : QList<QVariant>();
        const VantIPCCommand nested = app.send(iCmd, lstParams);
        worker.join();

        QVERIFY(bInside);
        if (!bLastTry && !takenDuringSlowCall(app.logLines(), sSlowCall, iCmd)) {
            if (iCmd != cmdQuit)
                app.send(cmdQuit, {});
            app.waitForExit();
            continue;
        }
        QCOMPARE(nested.iResult, iResult);
        QCOMPARE(nested.lstResults, lstResults);
        QVERIFY(app.logLines().contains(sLine));
        // The call that was in progress ends normally, its library still loaded.
        QVERIFY(bSlowSent);
        QCOMPARE(slow.iResult, int(TWRC_SUCCESS));
        if (iCmd == cmdQuit) {
            QVERIFY(app.waitForExit());
            QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(app.process().exitCode(), 0);
        } else {
            QCOMPARE(app.send(cmdGetNumCommands, {}).iResult, 10);
        }
        break;
    }
}

QTEST_GUILESS_MAIN(TestAppDispatch)
#include "tst_appdispatch.moc"
