// The SANE source with a fake libsane in the place of the real one, for
// what SANE's test backend cannot do: sane_open and sane_start failing, a
// page failing half-way, a slow start, garbage from sane_get_parameters,
// descriptors no backend should hand out, a server that stops sending.
// The fake aborts the process if the source touches a broken handle again
// or cancels twice at once.

#include "fakesane.h"
#include "sanetestsupport.h"

#include <QtTest>

#include <algorithm>

#include <cstring>

using namespace sanetest;
using namespace sanesource;

namespace {

const char* const kVariables[] = {"FAKESANE_OPEN",
                                  "FAKESANE_START",
                                  "FAKESANE_START_DELAY_MS",
                                  "FAKESANE_PARAMETERS",
                                  "FAKESANE_READ_FAIL_AT",
                                  "FAKESANE_READ_FAIL",
                                  "FAKESANE_READ_DELAY_MS",
                                  "FAKESANE_PAPER",
                                  "FAKESANE_ADF",
                                  "FAKESANE_READER_START_MS",
                                  "FAKESANE_READER_MS",
                                  "FAKESANE_START_IGNORES_CANCEL",
                                  "FAKESANE_READ_STALL_AT",
                                  "FAKESANE_OPTION",
                                  "FAKESANE_PARAMS",
                                  "FAKESANE_LOG"};

// The fake's page in Gray: 20 x 10 mm at 75 dpi.
Picture fakePage()
{
    Picture pic;
    pic.width = int(20 / 25.4 * 75);
    pic.height = int(10 / 25.4 * 75);
    for (int y = 0; y < pic.height; ++y)
        for (int x = 0; x < pic.width; ++x)
            pic.values.push_back(fakesane::sample(x, y));
    return pic;
}

} // namespace

class TestSaneFake : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void listingLeavesSaneAlone();
    void openFails_data();
    void openFails();
    void capabilities();
    void startFails_data();
    void startFails();
    void laterPageFails_data();
    void laterPageFails();
    void midPageFails_data();
    void midPageFails();
    void slowStart();
    void cancelDuringStartIgnored();
    void cancelWhileReading();
    void pageEndsAfterReader_data();
    void pageEndsAfterReader();
    void hostileOptions_data();
    void hostileOptions();
    void hostileParameters_data();
    void hostileParameters();
    void serverStops_data();
    void serverStops();
    void serverStopsBeforeEnd();

private:
    bool ready(Session& s);
    std::unique_ptr<SaneConfig> m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestSaneFake::initTestCase()
{
    qputenv(kLibraryVariable, FAKESANE_PATH);
    qunsetenv(kDeviceVariable);
    // libsane reads its configuration folder once per process: one for all.
    m_config = std::make_unique<SaneConfig>();
}

void TestSaneFake::cleanupTestCase()
{
    m_config.reset();
}

void TestSaneFake::init()
{
    for (const char* v : kVariables)
        qunsetenv(v);
    m_dir = std::make_unique<QTemporaryDir>();
}

void TestSaneFake::cleanup()
{
    for (const char* v : kVariables)
        qunsetenv(v);
    m_dir.reset();
}

bool TestSaneFake::ready(Session& s)
{
    return s.enable() == TWRC_SUCCESS && s.nextMessage() == MSG_XFERREADY;
}

void TestSaneFake::listingLeavesSaneAlone()
{
    // SANE may probe the network for seconds: listing the sources must not
    // start it, only opening the SANE source does.
    const QString log = m_dir->filePath(QStringLiteral("calls"));
    qputenv("FAKESANE_LOG", QFile::encodeName(log));
    HMODULE dsm = LoadLibraryA("TWAINDSM.dll");
    auto entry =
        reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(GetProcAddress(dsm, "DSM_Entry")));
    QVERIFY(entry);
    TW_IDENTITY app{};
    app.ProtocolMajor = 2;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.ProductName, "tst_sanefake");
    QCOMPARE(entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr), TW_UINT16(TWRC_SUCCESS));
    QStringList names;
    TW_IDENTITY id{};
    for (TW_UINT16 rc = entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id); rc == TWRC_SUCCESS;
         rc = entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id))
        names << QString::fromLatin1(id.ProductName);
    TW_IDENTITY chosen{};
    QCOMPARE(entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &chosen),
             TW_UINT16(TWRC_SUCCESS));
    entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
    FreeLibrary(dsm);
    QVERIFY2(names.contains(QLatin1String(kProductName)), qPrintable(names.join(QLatin1Char(','))));
    QVERIFY(!QFile::exists(log));

    Session s;
    QVERIFY(s.open());
    QFile calls(log);
    QVERIFY(calls.open(QIODevice::ReadOnly));
    QCOMPARE(calls.readAll(), QByteArray("sane_init\nsane_get_devices\nsane_open\n"));
}

void TestSaneFake::openFails_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<int>("cc");
    QTest::newRow("busy") << QByteArray("DEVICE_BUSY") << int(TWCC_MAXCONNECTIONS);
    QTest::newRow("denied") << QByteArray("ACCESS_DENIED") << int(TWCC_DENIED);
    QTest::newRow("io") << QByteArray("IO_ERROR") << int(TWCC_CHECKDEVICEONLINE);
}

void TestSaneFake::openFails()
{
    QFETCH(QByteArray, status);
    QFETCH(int, cc);
    qputenv("FAKESANE_OPEN", status);
    Session s;
    QVERIFY(!s.open());
    QCOMPARE(int(s.dsmCondition()), cc);
    s.close();
    qunsetenv("FAKESANE_OPEN");
    Session again; // nothing was left half-open
    QVERIFY(again.open());
}

void TestSaneFake::capabilities()
{
    Session s;
    QVERIFY(s.open());
    TW_UINT16 conType = 0;
    std::vector<double> items;
    double current = 0, min = 0, max = 0;
    QCOMPARE(s.getCap(ICAP_XRESOLUTION, MSG_GET, conType, items, current), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(conType, TW_UINT16(TWON_ENUMERATION)); // the device's word list
    QCOMPARE(items, (std::vector<double>{75, 150, 300}));
    QCOMPARE(s.setCap(ICAP_XRESOLUTION, TWTY_FIX32, 200), TW_UINT16(TWRC_CHECKSTATUS));
    QCOMPARE(s.current(ICAP_XRESOLUTION), 150.0);
    QCOMPARE(s.getCap(ICAP_PIXELTYPE, MSG_GET, conType, items, current), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(items, (std::vector<double>{TWPT_BW, TWPT_GRAY, TWPT_RGB}));
    QCOMPARE(s.setCap(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("mode"), QStringLiteral("Lineart"));

    // Brightness and contrast: -1000..1000 onto the device's ranges.
    QCOMPARE(s.getCap(ICAP_BRIGHTNESS, MSG_GET, conType, items, current, &min, &max),
             TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(conType, TW_UINT16(TWON_RANGE));
    QCOMPARE(min, -1000.0);
    QCOMPARE(max, 1000.0);
    QCOMPARE(current, 0.0);
    QCOMPARE(s.setCap(ICAP_BRIGHTNESS, TWTY_FIX32, 500), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("brightness"), QStringLiteral("50"));
    QCOMPARE(s.setCap(ICAP_BRIGHTNESS, TWTY_FIX32, 333), TW_UINT16(TWRC_CHECKSTATUS)); // 33.3 is no step
    QCOMPARE(s.current(ICAP_BRIGHTNESS), 330.0);
    QCOMPARE(s.setCap(ICAP_CONTRAST, TWTY_FIX32, -500), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("contrast"), QStringLiteral("0.5"));

    // The sensor, the feeder and duplex from the source option.
    QCOMPARE(s.current(CAP_FEEDERLOADED), 1.0);
    qputenv("FAKESANE_PAPER", "0");
    QCOMPARE(s.setCap(CAP_FEEDERENABLED, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.current(CAP_FEEDERLOADED), 0.0);
    QCOMPARE(s.option("source"), QStringLiteral("ADF Front"));
    QCOMPARE(s.setCap(CAP_DUPLEXENABLED, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("source"), QStringLiteral("ADF Duplex"));
    QCOMPARE(s.current(CAP_FEEDERENABLED), 1.0);
    QCOMPARE(s.setCap(CAP_DUPLEXENABLED, TWTY_BOOL, 0), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("source"), QStringLiteral("ADF Front"));
    QCOMPARE(s.setCap(CAP_FEEDERENABLED, TWTY_BOOL, 0), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("source"), QStringLiteral("Flatbed"));
}

void TestSaneFake::startFails_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<int>("cc");
    QTest::addColumn<bool>("online");
    QTest::newRow("no-docs") << QByteArray("NO_DOCS") << int(TWCC_NOMEDIA) << true;
    QTest::newRow("jammed") << QByteArray("JAMMED") << int(TWCC_PAPERJAM) << true;
    QTest::newRow("cover") << QByteArray("COVER_OPEN") << int(TWCC_INTERLOCK) << true;
    QTest::newRow("busy") << QByteArray("DEVICE_BUSY") << int(TWCC_MAXCONNECTIONS) << true;
    QTest::newRow("io") << QByteArray("IO_ERROR") << int(TWCC_OPERATIONERROR) << false;
    QTest::newRow("unknown") << QByteArray("42") << int(TWCC_BUMMER) << false;
}

void TestSaneFake::startFails()
{
    QFETCH(QByteArray, status);
    QFETCH(int, cc);
    QFETCH(bool, online);
    qputenv("FAKESANE_ADF", "1");
    qputenv("FAKESANE_START", status);
    Session s;
    QVERIFY(s.open());
    QCOMPARE(s.enable(), TW_UINT16(TWRC_SUCCESS));
    // Nothing to transfer: the application is asked to close the source.
    QCOMPARE(s.nextMessage(), TW_UINT16(MSG_CLOSEDSREQ));
    QCOMPARE(int(s.condition()), cc);
    QCOMPARE(s.current(CAP_DEVICEONLINE), online ? 1.0 : 0.0);
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    s.close(); // a broken handle is not closed: the fake would abort
}

void TestSaneFake::laterPageFails_data()
{
    QTest::addColumn<QByteArray>("starts");
    QTest::addColumn<int>("pages");
    QTest::addColumn<int>("cc"); // of the page after them; 0: the batch just ends
    QTest::newRow("feeder-empties") << QByteArray("GOOD,GOOD,NO_DOCS") << 2 << 0;
    QTest::newRow("jam") << QByteArray("GOOD,JAMMED") << 1 << int(TWCC_PAPERJAM);
    QTest::newRow("io") << QByteArray("GOOD,GOOD,IO_ERROR") << 2 << int(TWCC_OPERATIONERROR);
}

void TestSaneFake::laterPageFails()
{
    QFETCH(QByteArray, starts);
    QFETCH(int, pages);
    QFETCH(int, cc);
    qputenv("FAKESANE_ADF", "1");
    qputenv("FAKESANE_START", starts);
    Session s;
    QVERIFY(s.open());
    QCOMPARE(s.setCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(ready(s));
    const Picture want = fakePage();
    for (int page = 1; page <= pages; ++page) {
        Picture got;
        QCOMPARE(s.transfer(TWSX_MEMORY, got), TW_UINT16(TWRC_XFERDONE));
        QVERIFY2(got == want, difference(got, want).constData());
        TW_UINT16 count = 9;
        QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(int(count), page == pages && cc == 0 ? 0 : 0xFFFF);
    }
    if (cc) {
        Picture got;
        QCOMPARE(s.transfer(TWSX_MEMORY, got), TW_UINT16(TWRC_FAILURE));
        QCOMPARE(int(s.condition()), cc);
        TW_UINT16 count = 9;
        QCOMPARE(s.pending(MSG_RESET, count), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(int(count), 0);
    }
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
}

void TestSaneFake::midPageFails_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<int>("mechanism");
    QTest::addColumn<int>("cc");
    QTest::addColumn<bool>("online");
    QTest::addColumn<QByteArray>("failAt");
    const QByteArray mid("500");
    const QByteArray atOnce("0"); // the page's first read fails
    QTest::newRow("io-memory") << QByteArray("IO_ERROR") << int(TWSX_MEMORY) << int(TWCC_OPERATIONERROR)
                               << false << mid;
    QTest::newRow("io-native") << QByteArray("IO_ERROR") << int(TWSX_NATIVE) << int(TWCC_OPERATIONERROR)
                               << false << mid;
    QTest::newRow("io-file") << QByteArray("IO_ERROR") << int(TWSX_FILE) << int(TWCC_OPERATIONERROR) << false
                             << mid;
    QTest::newRow("jam-memfile") << QByteArray("JAMMED") << int(TWSX_MEMFILE) << int(TWCC_PAPERJAM) << true
                                 << mid;
    QTest::newRow("unknown-memory") << QByteArray("77") << int(TWSX_MEMORY) << int(TWCC_BUMMER) << false << mid;
    QTest::newRow("eof-native") << QByteArray("EOF") << int(TWSX_NATIVE) << int(TWCC_OPERATIONERROR) << true
                                << mid;
    QTest::newRow("eof-at-once-memory") << QByteArray("EOF") << int(TWSX_MEMORY) << int(TWCC_OPERATIONERROR)
                                        << true << atOnce;
    QTest::newRow("jam-at-once-native") << QByteArray("JAMMED") << int(TWSX_NATIVE) << int(TWCC_PAPERJAM)
                                        << true << atOnce;
}

void TestSaneFake::midPageFails()
{
    QFETCH(QByteArray, status);
    QFETCH(int, mechanism);
    QFETCH(int, cc);
    QFETCH(bool, online);
    QFETCH(QByteArray, failAt);
    // The page is cancelled only once the backend's reader thread has started.
    qputenv("FAKESANE_READER_START_MS", "60");
    Session s;
    s.tempDir = m_dir->path();
    QVERIFY(s.open());
    QCOMPARE(s.setCap(ICAP_XFERMECH, TWTY_UINT16, mechanism), TW_UINT16(TWRC_SUCCESS));
    qputenv("FAKESANE_READ_FAIL_AT", failAt);
    qputenv("FAKESANE_READ_FAIL", status);
    QVERIFY(ready(s));
    Picture got;
    // A page that broke off is never delivered, nor its file left behind.
    QCOMPARE(s.transfer(TW_UINT16(mechanism), got, TWFF_BMP, 2048), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(int(s.condition()), cc);
    QCOMPARE(got.width, 0);
    QCOMPARE(s.current(CAP_DEVICEONLINE), online ? 1.0 : 0.0);
    TW_UINT16 count = 9;
    QCOMPARE(s.pending(MSG_RESET, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    qunsetenv("FAKESANE_READ_FAIL_AT");
    if (online) {
        QVERIFY(ready(s));
        QCOMPARE(s.transfer(TW_UINT16(mechanism), got), TW_UINT16(TWRC_XFERDONE));
        const Picture want = fakePage();
        QVERIFY2(got == want, difference(got, want).constData());
    } else {
        QCOMPARE(s.enable(), TW_UINT16(TWRC_FAILURE));
        QCOMPARE(s.condition(), TW_UINT16(TWCC_OPERATIONERROR));
    }
    s.close();
}

void TestSaneFake::slowStart()
{
    // A scanner that warms up: MSG_ENABLEDS returns at once, the page follows.
    qputenv("FAKESANE_START_DELAY_MS", "300");
    Session s;
    QVERIFY(s.open());
    QCOMPARE(s.enable(), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.nextMessage(), TW_UINT16(MSG_XFERREADY));
    TW_UINT16 count = 9;
    QCOMPARE(s.pending(MSG_RESET, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));

    // Disabled while it still warms up: the start is cancelled, no message follows.
    qputenv("FAKESANE_START_DELAY_MS", "20000");
    QCOMPARE(s.enable(), TW_UINT16(TWRC_SUCCESS));
    QTest::qWait(50);
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.nextMessage(300), TW_UINT16(MSG_NULL));
    qunsetenv("FAKESANE_START_DELAY_MS");
    QVERIFY(ready(s));
}

void TestSaneFake::cancelDuringStartIgnored()
{
    // A backend that ignores a cancel arriving while it starts, and scans
    // anyway: the scan is cancelled once the start has returned (the fake
    // aborts in sane_exit on a scan left running).
    qputenv("FAKESANE_START_DELAY_MS", "300");
    qputenv("FAKESANE_START_IGNORES_CANCEL", "1");
    Session s;
    QVERIFY(s.open());
    QCOMPARE(s.enable(), TW_UINT16(TWRC_SUCCESS));
    QTest::qWait(50);
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    s.close();
}

void TestSaneFake::pageEndsAfterReader_data()
{
    QTest::addColumn<int>("mechanism");
    QTest::newRow("memory") << int(TWSX_MEMORY);
    QTest::newRow("native") << int(TWSX_NATIVE);
    QTest::newRow("file") << int(TWSX_FILE);
}

void TestSaneFake::pageEndsAfterReader()
{
    // The backend's reader thread outlives the page's data by 40 ms: the
    // read that ends the page waits for it, page after page.
    QFETCH(int, mechanism);
    qputenv("FAKESANE_READER_MS", "40");
    qputenv("FAKESANE_ADF", "1");
    Session s;
    s.tempDir = m_dir->path();
    QVERIFY(s.open());
    QCOMPARE(s.setCap(ICAP_XFERMECH, TWTY_UINT16, mechanism), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.setCap(CAP_XFERCOUNT, TWTY_INT16, 3), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(ready(s));
    const Picture want = fakePage();
    for (int page = 1; page <= 3; ++page) {
        Picture got;
        QCOMPARE(s.transfer(TW_UINT16(mechanism), got), TW_UINT16(TWRC_XFERDONE));
        QVERIFY2(got == want, difference(got, want).constData());
        TW_UINT16 count = 9;
        QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(int(count), 3 - page);
    }
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
}

void TestSaneFake::cancelWhileReading()
{
    // The worker and the application both want the page stopped: one
    // sane_cancel at a time (the fake aborts on two).
    qputenv("FAKESANE_READ_DELAY_MS", "5");
    Session s;
    QVERIFY(s.open());
    QCOMPARE(s.setCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TW_UINT16(TWRC_SUCCESS));
    for (int round = 0; round < 5; ++round) {
        QVERIFY(ready(s));
        TW_UINT16 count = 9;
        QCOMPARE(s.pending(MSG_RESET, count), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(int(count), 0);
        QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    }
}

void TestSaneFake::hostileOptions_data()
{
    QTest::addColumn<QByteArray>("descriptors");
    QTest::addColumn<QByteArray>("option");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("string-negative-size") << QByteArray("mode:size=-1") << QByteArray("mode") << QByteArray("Color");
    QTest::newRow("number-negative-size") << QByteArray("brightness:size=-4") << QByteArray("brightness")
                                          << QByteArray("10");
    QTest::newRow("string-huge-size") << QByteArray("mode:size=2147483647") << QByteArray("mode")
                                      << QByteArray("Color");
    QTest::newRow("number-huge-size") << QByteArray("resolution:size=2147483600") << QByteArray("resolution")
                                      << QByteArray("150");
    QTest::newRow("number-short-size") << QByteArray("brightness:size=2") << QByteArray("brightness")
                                       << QByteArray("10");
    QTest::newRow("type-sane-lacks") << QByteArray("mode:type=77") << QByteArray("mode") << QByteArray("Color");
}

void TestSaneFake::hostileOptions()
{
    // An option whose descriptor cannot be right is neither read nor set;
    // the source goes on with the others.
    QFETCH(QByteArray, descriptors);
    QFETCH(QByteArray, option);
    QFETCH(QByteArray, value);
    qputenv("FAKESANE_OPTION", descriptors);
    Session s;
    QVERIFY(s.open());
    QCOMPARE(s.option(option.constData(), value.constData()), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.option(option.constData()), QStringLiteral("<failed>"));
    // Listed by name for a person to see, with no value read from it.
    const std::vector<sanesource::SANE_TW_OPTIONINFO> listed = s.optionInfos();
    const auto it = std::find_if(listed.begin(), listed.end(), [&](const sanesource::SANE_TW_OPTIONINFO& info) {
        return option == info.Name;
    });
    QVERIFY(it != listed.end());
    QCOMPARE(it->Value[0], '\0');
    QCOMPARE(s.setCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(ready(s));
    Picture got;
    QCOMPARE(s.transfer(TWSX_MEMORY, got), TW_UINT16(TWRC_XFERDONE));
    const Picture want = fakePage();
    QVERIFY2(got == want, difference(got, want).constData());
    TW_UINT16 count = 9;
    QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
}

void TestSaneFake::hostileParameters_data()
{
    QTest::addColumn<QByteArray>("parameters");
    QTest::newRow("huge-line") << QByteArray("bytes_per_line=2147483647");
    QTest::newRow("line-shorter-than-pixels") << QByteArray("bytes_per_line=3");
    QTest::newRow("no-frame-format") << QByteArray("format=9");
}

void TestSaneFake::hostileParameters()
{
    // A page the parameters cannot describe is not scanned at all.
    QFETCH(QByteArray, parameters);
    Session s;
    QVERIFY(s.open());
    qputenv("FAKESANE_PARAMS", parameters);
    QCOMPARE(s.enable(), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.nextMessage(), TW_UINT16(MSG_CLOSEDSREQ));
    QCOMPARE(s.condition(), TW_UINT16(TWCC_BADVALUE));
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    qunsetenv("FAKESANE_PARAMS");
    QVERIFY(ready(s));
}

void TestSaneFake::serverStops_data()
{
    QTest::addColumn<int>("mechanism");
    QTest::newRow("memory") << int(TWSX_MEMORY);
    QTest::newRow("native") << int(TWSX_NATIVE);
    QTest::newRow("file") << int(TWSX_FILE);
    QTest::newRow("memfile") << int(TWSX_MEMFILE);
}

void TestSaneFake::serverStops()
{
    // The server stops in the middle of a page and answers nothing any more,
    // not even a cancel: the transfer fails, saying the device is gone, and
    // the batch ends without another call to it.
    QFETCH(int, mechanism);
    Session s;
    s.tempDir = m_dir->path();
    QVERIFY(s.open());
    QCOMPARE(s.setCap(ICAP_XFERMECH, TWTY_UINT16, mechanism), TW_UINT16(TWRC_SUCCESS));
    qputenv("FAKESANE_READ_STALL_AT", "500");
    QVERIFY(ready(s));
    Picture got;
    QCOMPARE(s.transfer(TW_UINT16(mechanism), got), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.condition(), TW_UINT16(TWCC_CHECKDEVICEONLINE));
    QCOMPARE(got.width, 0);
    QCOMPARE(s.current(CAP_DEVICEONLINE), 0.0);
    TW_UINT16 count = 9;
    QCOMPARE(s.pending(MSG_RESET, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(int(count), 0);
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.enable(), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.condition(), TW_UINT16(TWCC_OPERATIONERROR));
    s.close(); // the given-up handle is neither closed nor cancelled: the fake would hang
}

void TestSaneFake::serverStopsBeforeEnd()
{
    // The server stops at the page's first byte and the application ends the
    // one transfer it wanted without taking it: MSG_ENDXFER returns, with no
    // cancel from the application's thread (the stopped server would keep
    // it for good), and the source closes.
    Session s;
    s.tempDir = m_dir->path();
    QVERIFY(s.open());
    QCOMPARE(s.setCap(CAP_XFERCOUNT, TWTY_INT16, 1), TW_UINT16(TWRC_SUCCESS));
    const QString log = m_dir->filePath(QStringLiteral("calls"));
    qputenv("FAKESANE_LOG", QFile::encodeName(log));
    qputenv("FAKESANE_READ_STALL_AT", "0");
    QVERIFY(ready(s));
    // The server has stopped before the application ends the transfer.
    auto stalled = [&log] {
        QFile calls(log);
        return calls.open(QIODevice::ReadOnly) && calls.readAll().contains("stalled\n");
    };
    QTRY_VERIFY_WITH_TIMEOUT(stalled(), 30000);
    TW_UINT16 count = 9;
    QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(int(count), 0);
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    s.close();
}

QTEST_GUILESS_MAIN(TestSaneFake)
#include "tst_sanefake.moc"
