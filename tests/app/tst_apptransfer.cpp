// What the enabled source reports and the images it delivers, seen from the
// main application: batches with each transfer mechanism, relayed messages,
// the source's dialog and a source that crashes.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>
#include <QtTest>

#include <algorithm>

#include "protocol/commandcodes.h"
#include "ipc/vantipcclient.h"
#include "sources/sim/simscanner.h"
#include "tests/app/mainappfixture.h"
#include "twain/twain.h"

using apptest::le16;
using apptest::le32;
using apptest::MainApp;
using apptest::readLe16;
using apptest::readLe32;
using VantHelper::VantIPCCommand;

namespace {

// The frame every test scans: half an inch by an eighth at 100 dpi, 50 x 13
// pixels, so that rows of every depth need padding somewhere.
constexpr int kWidth = 50;
constexpr int kHeight = 13;
constexpr int kPages = 3;

QByteArray imageLayout()
{
    // Frame Left, Top, Right 0.5, Bottom 0.125 (TW_FIX32: Whole, Frac), then three counters.
    return le16(0) + le16(0) + le16(0) + le16(0) + le16(0) + le16(0x8000) + le16(0) + le16(0x2000) +
           QByteArray(12, '\0');
}

QByteArray setupFileXfer(const QString& sName)
{
    QByteArray block(260, '\0');
    const QByteArray name = sName.toUtf8();
    block.replace(0, name.size(), name);
    block.replace(256, 2, le16(TWFF_BMP));
    return block;
}

// A little-endian TIFF file read back on its own terms: the first IFD's
// fields and the pixels of its one uncompressed strip, checked against the
// page pattern. Empty when it matches, else what differs.
QString compareTiff(const QByteArray& file, int iPage, int iPixelType)
{
    auto u16 = [&file](int at) { return at + 2 <= file.size() ? apptest::readLe16(file, at) : 0xFFFFu; };
    auto u32 = [&file](int at) { return at + 4 <= file.size() ? readLe32(file, at) : 0xFFFFFFFFu; };
    if (!file.startsWith(QByteArray("II*\0", 4)))
        return QStringLiteral("no little-endian TIFF header");
    const int ifd = int(u32(4));
    QMap<int, quint32> fields;
    for (int i = 0, n = int(u16(ifd)); i < n; ++i) {
        const int at = ifd + 2 + 12 * i;
        fields[int(u16(at))] = u16(at + 2) == 3 && u32(at + 4) == 1 ? u16(at + 8) : u32(at + 8);
    }
    const int spp = iPixelType == TWPT_RGB ? 3 : 1;
    const int bps = iPixelType == TWPT_BW ? 1 : 8;
    const quint32 photometric = iPixelType == TWPT_RGB ? 2 : iPixelType == TWPT_PALETTE ? 3 : 1;
    if (fields.value(256) != kWidth || fields.value(257) != kHeight || fields.value(259) != 1 ||
        fields.value(262) != photometric || fields.value(277, 1) != quint32(spp) ||
        (spp == 1 && fields.value(258) != quint32(bps)))
        return QStringLiteral("unexpected fields");
    const int rowBytes = (kWidth * spp * bps + 7) / 8;
    const int strip = int(fields.value(273));
    if (fields.value(279) != quint32(rowBytes * kHeight) || strip + rowBytes * kHeight > file.size())
        return QStringLiteral("strip of %1 bytes at %2").arg(fields.value(279)).arg(strip);
    const auto* p = reinterpret_cast<const uchar*>(file.constData()) + strip;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < spp; ++c) {
                int got = 0;
                int want = 0;
                if (iPixelType == TWPT_BW) {
                    got = (p[y * rowBytes + x / 8] >> (7 - x % 8)) & 1;
                    want = simscanner::isWhite(iPage, x, y) ? 1 : 0;
                } else {
                    got = p[y * rowBytes + x * spp + c];
                    want = iPixelType == TWPT_RGB ? simscanner::rgb8(iPage, x, y, c)
                                                  : simscanner::grey8(iPage, x, y);
                }
                if (got != want)
                    return QStringLiteral("pixel (%1, %2) channel %3: %4 instead of %5")
                        .arg(x)
                        .arg(y)
                        .arg(c)
                        .arg(got)
                        .arg(want);
            }
        }
    }
    return QString();
}

struct Expected
{
    int iPage;
    bool bGrey;        // 8-bit grey with a grey table, else 24-bit RGB
    bool bBottomUp;    // row order in the file
    qint32 iHeight;    // biHeight as the header must hold it
    int iHeaderOffset; // 14 for a BMP file, 0 for a bare DIB
};

// Compares a DIB or BMP file with the page the scanner rendered; empty when equal.
QString compareImage(const QByteArray& file, const Expected& e)
{
    const int h = e.iHeaderOffset;
    if (file.size() < h + 40)
        return QStringLiteral("only %1 bytes").arg(file.size());
    if (h && !file.startsWith("BM"))
        return QStringLiteral("no BMP file header");
    const int bpp = e.bGrey ? 8 : 24;
    const int stride = ((kWidth * bpp + 31) / 32) * 4;
    const int nTable = e.bGrey ? 256 : 0;
    const int nOffBits = h + 40 + 4 * nTable;
    if (readLe32(file, h) != 40 || qint32(readLe32(file, h + 4)) != kWidth ||
        qint32(readLe32(file, h + 8)) != e.iHeight || readLe16(file, h + 14) != bpp ||
        readLe32(file, h + 16) != 0)
        return QStringLiteral("header %1").arg(QString::fromLatin1(file.mid(h, 40).toHex()));
    if (readLe32(file, h + 32) != quint32(nTable))
        return QStringLiteral("biClrUsed %1").arg(readLe32(file, h + 32));
    if (h && readLe32(file, 10) != quint32(nOffBits))
        return QStringLiteral("bfOffBits %1").arg(readLe32(file, 10));
    if (file.size() != nOffBits + stride * kHeight)
        return QStringLiteral("%1 bytes instead of %2").arg(file.size()).arg(nOffBits + stride * kHeight);
    for (int i = 0; i < nTable; ++i) {
        if (readLe32(file, h + 40 + 4 * i) != quint32(i * 0x010101))
            return QStringLiteral("colour table entry %1").arg(i);
    }
    const auto* p = reinterpret_cast<const uchar*>(file.constData()) + nOffBits;
    for (int y = 0; y < kHeight; ++y) {
        const uchar* row = p + stride * (e.bBottomUp ? kHeight - 1 - y : y);
        for (int x = 0; x < kWidth; ++x) {
            const bool bSame = e.bGrey
                                   ? row[x] == simscanner::grey8(TW_UINT32(e.iPage), x, y)
                                   : row[3 * x] == simscanner::rgb8(TW_UINT32(e.iPage), x, y, 2) &&
                                         row[3 * x + 1] == simscanner::rgb8(TW_UINT32(e.iPage), x, y, 1) &&
                                         row[3 * x + 2] == simscanner::rgb8(TW_UINT32(e.iPage), x, y, 0);
            if (!bSame)
                return QStringLiteral("pixel (%1, %2)").arg(x).arg(y);
        }
    }
    return QString();
}

QByteArray readFile(const QString& sName)
{
    QFile file(sName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QVariant> callbackMsg(unsigned uMsg, unsigned uState)
{
    return {QVariant(uMsg), QVariant(uState)};
}

} // namespace

class TestAppTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void nativeBatch_data();
    void nativeBatch();
    void fileBatches_data();
    void fileBatches();
    void messagesRelayed_data();
    void messagesRelayed();
    void sourceDialog();
    void nativeTiff_data();
    void nativeTiff();
    void widgetSourceDialog_data();
    void widgetSourceDialog();
    void crashingSource();
    void mainAppLostDuringBatch_data();
    void mainAppLostDuringBatch();

private:
    // Opens the scanner with the small frame; its identity.
    QByteArray prepare(MainApp& app);
    bool enable(MainApp& app, const QByteArray& identity, bool bShowUI);
};

void TestAppTransfer::initTestCase()
{
    apptest::useTemporaryTmpDir();
}

QByteArray TestAppTransfer::prepare(MainApp& app)
{
    if (!app.startAndConnect())
        return {};
    const QByteArray identity = apptest::openScanner(app);
    if (identity.isEmpty() ||
        app.send(cmdTwainCmd, {identity, DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, imageLayout()}).iResult !=
            TWRC_SUCCESS)
        return {};
    return identity;
}

bool TestAppTransfer::enable(MainApp& app, const QByteArray& identity, bool bShowUI)
{
    const VantIPCCommand cmd = app.send(cmdTwainCmd, {identity, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS,
                                                      apptest::userInterface(bShowUI, false)});
    return cmd.iResult == TWRC_SUCCESS && cmd.lstResults.value(0) == QVariant(5u);
}

// The bridge's log line when it uses the DSM's memory functions.
const QString kDsmMemory = QStringLiteral("DSM entry points: memory functions of the DSM in use");

void TestAppTransfer::nativeBatch_data()
{
    QTest::addColumn<int>("iPixelType");
    QTest::addColumn<int>("iBitDepth");
    QTest::addColumn<int>("iRoute");
    QTest::addColumn<bool>("bThread");

    QTest::newRow("RGB 24, callback from the source's thread")
        << int(TWPT_RGB) << 24 << int(simscanner::SIM_ROUTE_DSM) << true;
    QTest::newRow("grey 16 reduced to 8, callback inside the call")
        << int(TWPT_GRAY) << 16 << int(simscanner::SIM_ROUTE_DSM) << false;
    QTest::newRow("RGB 24 through the native event filter")
        << int(TWPT_RGB) << 24 << int(simscanner::SIM_ROUTE_NONE) << true;
}

void TestAppTransfer::nativeBatch()
{
    QFETCH(int, iPixelType);
    QFETCH(int, iBitDepth);
    QFETCH(int, iRoute);
    QFETCH(bool, bThread);

    MainApp app;
    const QByteArray identity = prepare(app);
    QVERIFY(!identity.isEmpty());
    QCOMPARE(apptest::setCap16(app, identity, ICAP_PIXELTYPE, TWTY_UINT16, quint16(iPixelType)), 0);
    QCOMPARE(apptest::setCap16(app, identity, ICAP_BITDEPTH, TWTY_UINT16, quint16(iBitDepth)), 0);
    QCOMPARE(apptest::setCap16(app, identity, simscanner::SIMCAP_NOTIFYROUTE, TWTY_UINT16, quint16(iRoute)),
             0);
    QCOMPARE(apptest::setCap16(app, identity, simscanner::SIMCAP_NOTIFYTHREAD, TWTY_BOOL, bThread ? 1 : 0),
             0);
    // Enabled without its dialog, the source starts scanning at once.
    QVERIFY(enable(app, identity, false));

    // The greeting, one file per image during the batch, then the batch's message.
    QVERIFY(app.waitForReceived(2 + kPages));
    const QList<VantIPCCommand> received = app.received();
    QCOMPARE(received.size(), 2 + kPages);
    QCOMPARE(received.last().iCmd, int(cmdCallbackMsg));
    QCOMPARE(received.last().lstParams, callbackMsg(0, 5));
    QStringList lstFiles;
    for (int i = 1; i <= kPages; ++i) {
        const VantIPCCommand& image = received.at(i);
        QCOMPARE(image.iCmd, int(cmdImageInFile));
        QCOMPARE(image.lstParams.size(), 2);
        QCOMPARE(image.lstParams.at(0).userType(), int(QMetaType::Int));
        QCOMPARE(image.lstParams.at(0).toInt(), -1);
        const QString sFile = image.lstParams.at(1).toString();
        QVERIFY(!lstFiles.contains(sFile));
        lstFiles.append(sFile);
        // The normalised DIB: height negated, rows still bottom-up.
        const QString sWhy = compareImage(readFile(sFile), {i, iPixelType == TWPT_GRAY, true, -kHeight, 0});
        QVERIFY2(sWhy.isEmpty(), qPrintable(QStringLiteral("page %1: %2").arg(i).arg(sWhy)));
        QFile::remove(sFile);
    }
    QVERIFY(app.logLines().contains(QStringLiteral("state=5, pending=0")));
    // The source is a TWAIN 2 source: containers and images came in the DSM's memory.
    QVERIFY(app.logLines().contains(kDsmMemory));
}

void TestAppTransfer::fileBatches_data()
{
    QTest::addColumn<int>("iXferMech");

    QTest::newRow("file") << int(TWSX_FILE);
    QTest::newRow("memory") << int(TWSX_MEMORY);
    QTest::newRow("memory file") << int(TWSX_MEMFILE);
}

void TestAppTransfer::fileBatches()
{
    QFETCH(int, iXferMech);

    MainApp app;
    const QByteArray identity = prepare(app);
    QVERIFY(!identity.isEmpty());
    QCOMPARE(apptest::setCap16(app, identity, ICAP_XFERMECH, TWTY_UINT16, quint16(iXferMech)), 0);
    const QString sFirstName = app.home() + QStringLiteral("/page.bmp");
    if (iXferMech == TWSX_FILE) {
        QCOMPARE(app.send(cmdTwainCmd,
                          {identity, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, setupFileXfer(sFirstName)})
                     .iResult,
                 int(TWRC_SUCCESS));
    }
    // Enabled without its dialog, the source starts scanning at once.
    QVERIFY(enable(app, identity, false));

    // One message for the batch and one name per page, in page order: for
    // files the source wrote after the batch's message; for files the bridge
    // made, each as soon as its page is complete, all before the message.
    QVERIFY(app.waitForReceived(2 + kPages));
    const QList<VantIPCCommand> received = app.received();
    QCOMPARE(received.size(), 2 + kPages);
    QList<VantIPCCommand> images;
    int nMessages = 0;
    for (const VantIPCCommand& cmd : received.mid(1)) {
        if (cmd.iCmd == cmdImageInFile) {
            images.append(cmd);
            continue;
        }
        QCOMPARE(cmd.iCmd, int(cmdCallbackMsg));
        QCOMPARE(cmd.lstParams, callbackMsg(0, 5));
        ++nMessages;
    }
    QCOMPARE(nMessages, 1);
    QVERIFY(app.logLines().contains(kDsmMemory));
    if (iXferMech == TWSX_FILE)
        QCOMPARE(received.at(1).iCmd, int(cmdCallbackMsg));
    else
        QCOMPARE(received.last().iCmd, int(cmdCallbackMsg));
    QStringList lstFiles;
    for (int i = 1; i <= kPages; ++i) {
        const VantIPCCommand& image = images.at(i - 1);
        QCOMPARE(image.lstParams.at(0).userType(), int(QMetaType::Int));
        // 0: the source's file; -1: a DIB the bridge wrote; -2: a file the bridge made.
        QCOMPARE(image.lstParams.at(0).toInt(),
                 iXferMech == TWSX_FILE ? 0 : (iXferMech == TWSX_MEMORY ? -1 : -2));
        const QString sFile = image.lstParams.at(1).toString();
        QVERIFY(!lstFiles.contains(sFile));
        lstFiles.append(sFile);
        if (iXferMech == TWSX_FILE && i == 1)
            QCOMPARE(sFile, sFirstName);
        // The source's own BMP files are bottom-up; memory strips arrive top-down
        // as a DIB without file header whose height's sign is inverted.
        const bool bTopDown = iXferMech == TWSX_MEMORY;
        const QString sWhy = compareImage(readFile(sFile), {i, false, !bTopDown, kHeight, bTopDown ? 0 : 14});
        QVERIFY2(sWhy.isEmpty(), qPrintable(QStringLiteral("page %1 (%2): %3").arg(i).arg(sFile, sWhy)));
        QFile::remove(sFile);
    }
}

void TestAppTransfer::messagesRelayed_data()
{
    QTest::addColumn<int>("iTrigger");
    QTest::addColumn<uint>("uMsg");

    QTest::newRow("MSG_CLOSEDSREQ") << int(simscanner::SIM_TRIGGER_CLOSEDSREQ) << uint(MSG_CLOSEDSREQ);
    QTest::newRow("MSG_CLOSEDSOK") << int(simscanner::SIM_TRIGGER_CLOSEDSOK) << uint(MSG_CLOSEDSOK);
    QTest::newRow("MSG_DEVICEEVENT") << int(simscanner::SIM_TRIGGER_DEVICEEVENT) << uint(MSG_DEVICEEVENT);
}

void TestAppTransfer::messagesRelayed()
{
    QFETCH(int, iTrigger);
    QFETCH(uint, uMsg);

    MainApp app;
    const QByteArray identity = prepare(app);
    QVERIFY(!identity.isEmpty());
    QVERIFY(enable(app, identity, true));
    QCOMPARE(apptest::setCap16(app, identity, simscanner::SIMCAP_TRIGGER, TWTY_UINT16, quint16(iTrigger)), 0);

    // Relayed with the state, which the message leaves alone.
    QVERIFY(app.waitForReceived(2));
    const VantIPCCommand msg = app.received().at(1);
    QCOMPARE(msg.iCmd, int(cmdCallbackMsg));
    QCOMPARE(msg.lstParams, callbackMsg(uMsg, 5));
    QCOMPARE(msg.lstParams.at(0).userType(), int(QMetaType::UInt));
    QCOMPARE(msg.lstParams.at(1).userType(), int(QMetaType::UInt));
    QVERIFY(app.logLines().contains(QStringLiteral("DSMCallback or ProcessTwainEvent: msg=%1").arg(uMsg)));
}

void TestAppTransfer::nativeTiff_data()
{
    QTest::addColumn<int>("iPixelType");
    QTest::addColumn<int>("iBitDepth");
    QTest::newRow("BW 1") << int(TWPT_BW) << 1;
    QTest::newRow("grey 8") << int(TWPT_GRAY) << 8;
    QTest::newRow("RGB 24") << int(TWPT_RGB) << 24;
    QTest::newRow("palette 8") << int(TWPT_PALETTE) << 8;
}

// A source that hands over TIFF streams, as Linux sources do: each page
// arrives as a TIFF file the bridge made (id -2), byte for byte.
void TestAppTransfer::nativeTiff()
{
    QFETCH(int, iPixelType);
    QFETCH(int, iBitDepth);
    MainApp app;
    const QByteArray identity = prepare(app);
    QVERIFY(!identity.isEmpty());
    QCOMPARE(apptest::setCap16(app, identity, ICAP_PIXELTYPE, TWTY_UINT16, quint16(iPixelType)), 0);
    QCOMPARE(apptest::setCap16(app, identity, ICAP_BITDEPTH, TWTY_UINT16, quint16(iBitDepth)), 0);
    QCOMPARE(apptest::setCap16(app, identity, simscanner::SIMCAP_NATIVETIFF, TWTY_BOOL, 1), 0);
    QVERIFY(enable(app, identity, false));

    QVERIFY(app.waitForReceived(2 + kPages));
    // Like the files a source writes, the names go out once the batch is over.
    QList<VantIPCCommand> images;
    for (const VantIPCCommand& cmd : app.received().mid(1)) {
        if (cmd.iCmd == cmdImageInFile)
            images.append(cmd);
        else
            QCOMPARE(cmd.lstParams, callbackMsg(0, 5));
    }
    QCOMPARE(images.size(), kPages);
    for (int i = 1; i <= kPages; ++i) {
        const VantIPCCommand& image = images.at(i - 1);
        QCOMPARE(image.lstParams.at(0).toInt(), -2);
        const QString sFile = image.lstParams.at(1).toString();
        QVERIFY(sFile.endsWith(QLatin1String(".tif")));
        const QString sWhy = compareTiff(readFile(sFile), i, iPixelType);
        QVERIFY2(sWhy.isEmpty(), qPrintable(QStringLiteral("page %1: %2").arg(i).arg(sWhy)));
        QFile::remove(sFile);
    }
    QVERIFY(app.logLines().contains(kDsmMemory));
}

void TestAppTransfer::widgetSourceDialog_data()
{
    QTest::addColumn<QString>("sPlatform");
    QTest::addColumn<QString>("sPlatformName");
    QTest::addColumn<int>("iView");
    QTest::newRow("offscreen platform given") << "offscreen"
                                              << "offscreen" << int(dialogNoDisplay);
    // No display and no platform named: the bridge picks the offscreen one.
    QTest::newRow("no display") << QString() << "offscreen" << int(dialogNoDisplay);
    // A display that VNC viewers see (on a port of the system's choice): the dialog can be seen.
    QTest::newRow("VNC display") << "vnc:port=0"
                                 << "vnc" << int(dialogOnDisplay);
}

// A source built with Qt Widgets shows its dialog in the bridge's process.
void TestAppTransfer::widgetSourceDialog()
{
    QFETCH(QString, sPlatform);
    QFETCH(QString, sPlatformName);
    QFETCH(int, iView);
    MainApp app;
    const QString sReport = app.home() + QStringLiteral("/widgetsource.txt");
    app.setEnv(QStringLiteral("PELIRAND_TWAIN_DIR"), QStringLiteral(WIDGET_SOURCE_DIR));
    app.setEnv(QStringLiteral("WIDGETSOURCE_REPORT"), sReport);
    app.setEnv(QStringLiteral("QT_QPA_PLATFORM"), sPlatform);
    app.setEnv(QStringLiteral("DISPLAY"), QString());
    app.setEnv(QStringLiteral("WAYLAND_DISPLAY"), QString());
    QVERIFY(app.startAndConnect());
    QCOMPARE(app.send(cmdLoadDSM, {0u}).iResult, 0);
    QCOMPARE(app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_PARENT, MSG_OPENDSM, QByteArray(4, '\0')})
                 .iResult,
             int(TWRC_SUCCESS));
    QByteArray source(156, '\0');
    source.replace(122, 22, "pelirand Widget Source");
    const VantIPCCommand opened =
        app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, source});
    QCOMPARE(opened.iResult, int(TWRC_SUCCESS));

    // Source calls name the source, as the DSM gave it back.
    const QByteArray identity = opened.lstResults.value(2).toByteArray();
    QCOMPARE(identity.mid(122, 23), QByteArray("pelirand Widget Source\0", 23));
    QVERIFY(enable(app, identity, true));
    QFile report(sReport);
    QVERIFY(report.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(report.readAll()),
             sPlatformName + QStringLiteral("\npelirand Widget Source dialog"));
    // No window of the process's own table: only the toolkit's window shows the dialog.
    const VantIPCCommand show = app.send(cmdShowLastGUI, {});
    QCOMPARE(show.iResult, 0);
    QCOMPARE(show.lstResults, QList<QVariant>{iView});

    QCOMPARE(app.send(cmdTwainCmd, {identity, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS,
                                    apptest::userInterface(true, false)})
                 .iResult,
             int(TWRC_SUCCESS));
    QCOMPARE(app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, source}).iResult,
             int(TWRC_SUCCESS));
    QCOMPARE(app.send(cmdQuit, {}).iResult, 0);
    QVERIFY(app.waitForExit());
    QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.process().exitCode(), 0);
}

void TestAppTransfer::sourceDialog()
{
    MainApp app;
    const QByteArray identity = prepare(app);
    QVERIFY(!identity.isEmpty());
    QVERIFY(enable(app, identity, true));

    // The dialog is among the process's windows, visible, and chosen.
    const QStringList lines = app.logLines();
    const QRegularExpression re(QStringLiteral("^windows ([0-9a-f]+), name=%1, isvisible=1$")
                                    .arg(QRegularExpression::escape(simscanner::kDialogTitle)));
    QString sDialog;
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = re.match(line);
        if (match.hasMatch())
            sDialog = match.captured(1);
    }
    QVERIFY2(!sDialog.isEmpty(), qPrintable(lines.join('\n')));
    QVERIFY(lines.contains(QStringLiteral("child window 0")));

    VantIPCCommand show = app.send(cmdShowLastGUI, {});
    QCOMPARE(show.iResult, 1);
    // Shown, but on the offscreen platform: nobody sees it.
    QCOMPARE(show.lstResults, QList<QVariant>{int(dialogNoDisplay)});
    QCOMPARE(app.logLines().last(), QStringLiteral("ShowLastGUI: dlgwindow=%1, ret=1").arg(sDialog));

    // Disabled: the dialog is gone and forgotten.
    QCOMPARE(app.send(cmdTwainCmd, {identity, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS,
                                    apptest::userInterface(true, false)})
                 .iResult,
             int(TWRC_SUCCESS));
    show = app.send(cmdShowLastGUI, {});
    QCOMPARE(show.iResult, 0);
    QCOMPARE(app.logLines().last(), QStringLiteral("ShowLastGUI: dlgwindow=0, ret=0"));
}

void TestAppTransfer::crashingSource()
{
    MainApp app;
    app.expectCrash();
    const QByteArray identity = prepare(app);
    QVERIFY(!identity.isEmpty());
    QCOMPARE(apptest::setCap32(app, identity, simscanner::SIMCAP_CRASHTRIPLET, TWTY_UINT32,
                               simscanner::simTriplet(DAT_IMAGELAYOUT, MSG_GET)),
             0);

    VantIPCCommand cmd;
    cmd.iCmd = cmdTwainCmd;
    cmd.lstParams = {identity, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, QByteArray(28, '\0')};
    QVERIFY(!app.send(cmd));
    QVERIFY(!app.client()->lastError().isEmpty());
    QVERIFY(app.waitForExit());
    // A sanitizer build may catch the crash and exit with an error code instead.
    QVERIFY(app.process().exitStatus() == QProcess::CrashExit || app.process().exitCode() != 0);
    // Its last words: the call that never returned.
    QVERIFY(app.logLines().last().startsWith(QLatin1String("DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET")));
}

void TestAppTransfer::mainAppLostDuringBatch_data()
{
    QTest::addColumn<int>("iXferMech");

    QTest::newRow("native") << int(TWSX_NATIVE);
    QTest::newRow("file") << int(TWSX_FILE);
    QTest::newRow("memory") << int(TWSX_MEMORY);
    QTest::newRow("memory file") << int(TWSX_MEMFILE);
}

void TestAppTransfer::mainAppLostDuringBatch()
{
    QFETCH(int, iXferMech);
    constexpr quint32 kSheets = 200;

    MainApp app;
    const QByteArray identity = prepare(app);
    QVERIFY(!identity.isEmpty());
    QCOMPARE(apptest::setCap16(app, identity, ICAP_XFERMECH, TWTY_UINT16, quint16(iXferMech)), 0);
    // A long batch: many sheets, each taking a while.
    QCOMPARE(apptest::setCap32(app, identity, simscanner::SIMCAP_FEEDERPAGES, TWTY_UINT32, kSheets), 0);
    QCOMPARE(apptest::setCap32(app, identity, simscanner::SIMCAP_DELAYTRIPLET, TWTY_UINT32,
                               simscanner::simTriplet(DAT_IMAGEINFO, MSG_GET)),
             0);
    QCOMPARE(apptest::setCap32(app, identity, simscanner::SIMCAP_DELAYMS, TWTY_UINT32, 50), 0);
    QCOMPARE(apptest::setCap16(app, identity, simscanner::SIMCAP_DELAYPUMP, TWTY_BOOL, 0), 0);
    if (iXferMech == TWSX_FILE) {
        QCOMPARE(app.send(cmdTwainCmd, {identity, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET,
                                        setupFileXfer(app.home() + QStringLiteral("/page.bmp"))})
                     .iResult,
                 int(TWRC_SUCCESS));
    }
    QVERIFY(enable(app, identity, false));
    const auto pagesEnded = [&app] { return app.logLines().count(QStringLiteral("DoEndTransfer")); };
    QVERIFY(app.waitForLog([&](const QStringList&) { return pagesEnded() >= 2; }));

    // The main application goes away in the middle of the batch.
    QElapsedTimer timer;
    timer.start();
    app.closeServer();
    const QList<VantIPCCommand> told = app.received();
    QVERIFY(app.waitForExit());
    qInfo("the bridge ended %lld ms after the connection was lost, %d of %u sheets transferred",
          static_cast<long long>(timer.elapsed()), pagesEnded(), kSheets);
    QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.process().exitCode(), 0);

    // The rest of the batch was not scanned for nobody; the source and the DSM were closed.
    const QStringList lines = app.logLines();
    QVERIFY2(pagesEnded() < int(kSheets) / 2, qPrintable(QString::number(pagesEnded())));
    QVERIFY(lines.contains(QStringLiteral("ending the batch on request (state 6)")) ||
            lines.contains(QStringLiteral("ending the batch on request (state 7)")));
    QVERIFY(std::any_of(lines.begin(), lines.end(), [](const QString& sLine) {
        return sLine.startsWith(QLatin1String("DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS,"));
    }));
    QVERIFY(std::any_of(lines.begin(), lines.end(), [](const QString& sLine) {
        return sLine.startsWith(QLatin1String("DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM,"));
    }));

    // Of the bridge's files only those it told the main application about are left, for it to take.
    const QString sFolder = apptest::temporaryTmpDir() + QLatin1Char('/') + app.bridgePrg();
    QStringList lstTold;
    for (const VantIPCCommand& cmd : told) {
        if (cmd.iCmd == cmdImageInFile && cmd.lstParams.value(1).toString().startsWith(sFolder))
            lstTold << QFileInfo(cmd.lstParams.value(1).toString()).fileName();
    }
    QStringList lstLeft = QDir(sFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& sName : lstLeft)
        QVERIFY2(lstTold.contains(sName), qPrintable(sName + QStringLiteral(" was never reported")));
    for (const QString& sName : lstTold)
        QFile::remove(sFolder + QLatin1Char('/') + sName);
    QDir().rmdir(sFolder);
    if (iXferMech != TWSX_FILE)
        QVERIFY(lstTold.size() >= 1);
}

QTEST_GUILESS_MAIN(TestAppTransfer)
#include "tst_apptransfer.moc"
