// The SANE source against SANE's own test backend, driven through the
// stand-in DSM as an application drives it: every page compared pixel by
// pixel with what scanimage makes of the same scan.

#include "sanetestsupport.h"

#include <QtTest>

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace sanetest;
using namespace sanesource;

namespace {

// A small page keeps the suite quick: 25 x 20 mm.
constexpr double kWidthMm = 25;
constexpr double kHeightMm = 20;

struct Format
{
    const char* name;
    TW_UINT16 pixelType;
    TW_UINT16 bitDepth;
    const char* mode;
    int depth;
};

const Format kFormats[] = {
    {"bw", TWPT_BW, 1, "Gray", 1},         {"gray8", TWPT_GRAY, 8, "Gray", 8},
    {"gray16", TWPT_GRAY, 16, "Gray", 16}, {"rgb24", TWPT_RGB, 24, "Color", 8},
    {"rgb48", TWPT_RGB, 48, "Color", 16},
};

struct Mechanism
{
    const char* name;
    TW_UINT16 mech;
    TW_UINT16 fileFormat;
};

const Mechanism kMechanisms[] = {
    {"native", TWSX_NATIVE, TWFF_BMP},       {"memory", TWSX_MEMORY, TWFF_BMP},
    {"file-bmp", TWSX_FILE, TWFF_BMP},       {"file-tiff", TWSX_FILE, TWFF_TIFF},
    {"memfile-bmp", TWSX_MEMFILE, TWFF_BMP}, {"memfile-tiff", TWSX_MEMFILE, TWFF_TIFF},
};

QStringList scanimageOptions(const char* mode, int depth, int dpi, const QString& picture,
                             double w = kWidthMm, double h = kHeightMm)
{
    return {QStringLiteral("--mode"),
            QLatin1String(mode),
            QStringLiteral("--depth"),
            QString::number(depth),
            QStringLiteral("--resolution"),
            QString::number(dpi),
            QStringLiteral("--test-picture"),
            picture,
            QStringLiteral("-l"),
            QStringLiteral("0"),
            QStringLiteral("-t"),
            QStringLiteral("0"),
            QStringLiteral("-x"),
            QString::number(w),
            QStringLiteral("-y"),
            QString::number(h)};
}

} // namespace

class TestSaneSource : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void withoutLibsane();
    void devices();
    void capabilities();
    void deviceOptions_data();
    void deviceOptions();
    void clampedValues();
    void pixelExact_data();
    void pixelExact();
    void feederBatch_data();
    void feederBatch();
    void stopFeeder();
    void endXferSkipsPage();
    void readStatus_data();
    void readStatus();
    void handScanner_data();
    void handScanner();
    void rowReassembly_data();
    void rowReassembly();
    void cancelMidPage_data();
    void cancelMidPage();
    void threePass_data();
    void threePass();

private:
    // Opens the source with the configuration, settings for one scan.
    bool prepare(const Format& f, int dpi, const QString& picture, TW_UINT16 mech, TW_UINT16 fileFormat);
    bool scanReady();

    std::unique_ptr<SaneConfig> m_config;
    std::unique_ptr<Session> m_session;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestSaneSource::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("scanimage")).isEmpty())
        QSKIP("scanimage (sane-utils) is not installed");
    qunsetenv(kDeviceVariable);
    qunsetenv(kLibraryVariable);
    qunsetenv("PELIRAND_TWAIN_DIR");
    // libsane reads its configuration folder once per process: one for all.
    m_config = std::make_unique<SaneConfig>();
    QVERIFY(m_config->isValid());
}

void TestSaneSource::cleanupTestCase()
{
    m_config.reset();
}

void TestSaneSource::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_session = std::make_unique<Session>();
    m_session->tempDir = m_dir->path();
}

void TestSaneSource::cleanup()
{
    m_session.reset();
    m_dir.reset();
    qunsetenv(kDeviceVariable);
    qunsetenv(kLibraryVariable);
}

bool TestSaneSource::prepare(const Format& f, int dpi, const QString& picture, TW_UINT16 mech,
                             TW_UINT16 fileFormat)
{
    QString error;
    if (!m_session->open(&error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    Session& s = *m_session;
    const QByteArray pic = picture.toUtf8();
    return s.option("test-picture", pic.constData()) == TWRC_SUCCESS &&
           s.setCap(ICAP_PIXELTYPE, TWTY_UINT16, f.pixelType) == TWRC_SUCCESS &&
           s.setCap(ICAP_BITDEPTH, TWTY_UINT16, f.bitDepth) == TWRC_SUCCESS &&
           s.setCap(ICAP_XRESOLUTION, TWTY_FIX32, dpi) == TWRC_SUCCESS &&
           s.setFrameMm(0, 0, kWidthMm, kHeightMm) == TWRC_SUCCESS &&
           s.setCap(ICAP_XFERMECH, TWTY_UINT16, mech) == TWRC_SUCCESS &&
           s.setCap(ICAP_IMAGEFILEFORMAT, TWTY_UINT16, fileFormat) == TWRC_SUCCESS;
}

bool TestSaneSource::scanReady()
{
    return m_session->enable() == TWRC_SUCCESS && m_session->nextMessage() == MSG_XFERREADY;
}

void TestSaneSource::withoutLibsane()
{
    // Where libsane is missing the source is still listed, and fails to open
    // with a clear condition.
    qputenv(kLibraryVariable, "/nonexistent/libsane.so.1");
    QString error;
    QVERIFY(!m_session->open(&error));
    QCOMPARE(m_session->openResult(), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(m_session->dsmCondition(), TW_UINT16(TWCC_OPERATIONERROR));
}

void TestSaneSource::devices()
{
    Session& s = *m_session;
    QVERIFY(s.open());
    TW_UINT16 conType = 0;
    std::vector<double> items;
    double current = -1;
    QCOMPARE(s.getCap(SANECAP_DEVICE, MSG_GET, conType, items, current), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(conType, TW_UINT16(TWON_ENUMERATION));
    QCOMPARE(items, (std::vector<double>{0, 1, 2, 3, 4}));
    QCOMPARE(current, 0.0);
    SANE_TW_DEVICE d{};
    d.Index = 2;
    QCOMPARE(s.call(DG_CONTROL, SANEDAT_DEVICE, MSG_GET, &d), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(QByteArray(d.Name), QByteArray("test:2"));
    QCOMPARE(QByteArray(d.Vendor), QByteArray("Noname"));
    QCOMPARE(int(d.Count), 5);
    QCOMPARE(int(d.Current), 0);
    d.Index = 5;
    QCOMPARE(s.call(DG_CONTROL, SANEDAT_DEVICE, MSG_GET, &d), TW_UINT16(TWRC_FAILURE));

    // Switching devices in state 4.
    QCOMPARE(s.setCap(SANECAP_DEVICE, TWTY_UINT16, 2), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.current(SANECAP_DEVICE), 2.0);
    QCOMPARE(s.setCap(SANECAP_DEVICE, TWTY_UINT16, 7), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.condition(), TW_UINT16(TWCC_BADVALUE));
    std::memset(&d, 0, sizeof d);
    std::strcpy(d.Name, "test:nothing");
    QCOMPARE(s.call(DG_CONTROL, SANEDAT_DEVICE, MSG_SET, &d), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.current(SANECAP_DEVICE), 2.0); // still the device it had
    QCOMPARE(s.current(CAP_DEVICEONLINE), 1.0);
    s.close();

    // The device named in the environment; a wrong name fails the open.
    qputenv(kDeviceVariable, "test:1");
    Session named;
    QVERIFY(named.open());
    QCOMPARE(named.current(SANECAP_DEVICE), 1.0);
    named.close();
    qputenv(kDeviceVariable, "test:42");
    Session wrong;
    QVERIFY(!wrong.open());
    QCOMPARE(wrong.dsmCondition(), TW_UINT16(TWCC_CHECKDEVICEONLINE));
}

void TestSaneSource::deviceOptions_data()
{
    QTest::addColumn<QString>("sName");
    QTest::addColumn<QString>("sValue");
    QTest::addColumn<QString>("sUnit");
    QTest::addColumn<QString>("sAllowed");
    QTest::addColumn<bool>("bSettable");

    // The test device's own options, as a person sets them by name.
    QTest::newRow("string list") << "test-picture" << "Solid black" << ""
                                 << "Solid black|Solid white|Color pattern|Grid" << true;
    QTest::newRow("number list") << "depth" << "8" << "" << "1|8|16" << true;
    QTest::newRow("range in mm") << "tl-x" << "0" << "mm" << "0..300 step 1" << true;
    QTest::newRow("boolean") << "read-delay" << "no" << "" << "yes|no" << true;
    QTest::newRow("inactive: no value") << "read-delay-duration" << "" << "us" << "1000..200000 step 1000" << false;
    QTest::newRow("button") << "print-options" << "" << "" << "(a button: any value presses it)" << true;
}

void TestSaneSource::deviceOptions()
{
    QFETCH(QString, sName);
    QFETCH(QString, sValue);
    QFETCH(QString, sUnit);
    QFETCH(QString, sAllowed);
    QFETCH(bool, bSettable);

    Session& s = *m_session;
    QVERIFY(s.open());
    const std::vector<SANE_TW_OPTIONINFO> all = s.optionInfos();
    QVERIFY(all.size() > 10);
    QCOMPARE(int(all.back().Count), int(all.size()));
    const auto it = std::find_if(all.begin(), all.end(), [&](const SANE_TW_OPTIONINFO& info) {
        return QString::fromUtf8(info.Name) == sName;
    });
    QVERIFY2(it != all.end(), qPrintable(sName));
    QCOMPARE(QString::fromUtf8(it->Value), sValue);
    QCOMPARE(QString::fromUtf8(it->Unit), sUnit);
    QCOMPARE(QString::fromUtf8(it->Allowed), sAllowed);
    QCOMPARE(it->Settable != 0, bSettable);
    QVERIFY(it->Title[0] != '\0');
    // Groups are not options.
    QVERIFY(std::none_of(all.begin(), all.end(), [](const SANE_TW_OPTIONINFO& info) { return info.Name[0] == '\0'; }));

    // Past the end: refused, and the count still told.
    SANE_TW_OPTIONINFO past{};
    past.Index = all.back().Count;
    QCOMPARE(s.call(DG_CONTROL, SANEDAT_OPTIONINFO, MSG_GET, &past), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.condition(), TW_UINT16(TWCC_BADVALUE));
    QCOMPARE(past.Count, all.back().Count);

    // A walk from Index 0 reads them afresh.
    if (bSettable && !sValue.isEmpty()) {
        const QString sOther = sAllowed.contains(QLatin1Char('|')) ? sAllowed.section(QLatin1Char('|'), 1, 1)
                                                                  : QStringLiteral("10");
        QCOMPARE(s.option(qPrintable(sName), qPrintable(sOther)), TW_UINT16(TWRC_SUCCESS));
        const std::vector<SANE_TW_OPTIONINFO> again = s.optionInfos();
        const auto changed = std::find_if(again.begin(), again.end(), [&](const SANE_TW_OPTIONINFO& info) {
            return QString::fromUtf8(info.Name) == sName;
        });
        QVERIFY(changed != again.end());
        QCOMPARE(QString::fromUtf8(changed->Value), sOther);
    }
}

void TestSaneSource::capabilities()
{
    Session& s = *m_session;
    QVERIFY(s.open());
    TW_UINT16 conType = 0;
    std::vector<double> items;
    double current = 0, min = 0, max = 0;
    QCOMPARE(s.getCap(ICAP_PIXELTYPE, MSG_GET, conType, items, current), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(items, (std::vector<double>{TWPT_BW, TWPT_GRAY, TWPT_RGB}));
    QCOMPARE(current, double(TWPT_GRAY)); // the test device starts in Gray, 8 bits
    QCOMPARE(s.getCap(ICAP_BITDEPTH, MSG_GET, conType, items, current), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(items, (std::vector<double>{8, 16}));
    QCOMPARE(current, 8.0);
    QCOMPARE(s.setCap(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.getCap(ICAP_BITDEPTH, MSG_GET, conType, items, current), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(items, (std::vector<double>{24, 48}));
    QCOMPARE(s.option("mode"), QStringLiteral("Color"));
    QCOMPARE(s.setCap(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("mode"), QStringLiteral("Gray"));
    QCOMPARE(s.option("depth"), QStringLiteral("1"));
    QCOMPARE(s.current(ICAP_BITDEPTH), 1.0);
    QCOMPARE(s.setCap(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_PALETTE), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.condition(), TW_UINT16(TWCC_BADVALUE));

    // Resolution: the device's range, in the units asked for.
    QCOMPARE(s.getCap(ICAP_XRESOLUTION, MSG_GET, conType, items, current, &min, &max),
             TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(conType, TW_UINT16(TWON_RANGE));
    QCOMPARE(min, 1.0);
    QCOMPARE(max, 1200.0);
    QCOMPARE(s.setCap(ICAP_YRESOLUTION, TWTY_FIX32, 150), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.current(ICAP_XRESOLUTION), 150.0); // one resolution for both directions
    QCOMPARE(s.setCap(ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(qAbs(s.current(ICAP_XRESOLUTION) - 150 / 2.54) < 0.001);
    QVERIFY(qAbs(s.current(ICAP_PHYSICALWIDTH) - 30.0) < 0.001); // geometry_max 300 mm
    QCOMPARE(s.setCap(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(qAbs(s.current(ICAP_PHYSICALHEIGHT) - 300 / 25.4) < 0.001);

    // Feeder: the device's source option.
    QCOMPARE(s.current(CAP_FEEDERENABLED), 0.0);
    QCOMPARE(s.setCap(CAP_FEEDERENABLED, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("source"), QStringLiteral("Automatic Document Feeder"));
    QCOMPARE(s.current(CAP_FEEDERENABLED), 1.0);

    // What the test device lacks is not offered.
    for (TW_UINT16 cap : {CAP_DUPLEXENABLED, CAP_FEEDERLOADED, ICAP_BRIGHTNESS, ICAP_CONTRAST})
        QCOMPARE(s.getCap(cap, MSG_GET, conType, items, current), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.current(CAP_DEVICEONLINE), 1.0);
    QCOMPARE(s.current(ICAP_COMPRESSION), double(TWCP_NONE));
    QCOMPARE(s.setCap(ICAP_COMPRESSION, TWTY_UINT16, TWCP_JPEG), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.getCap(CAP_SUPPORTEDCAPS, MSG_GET, conType, items, current), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(std::find(items.begin(), items.end(), double(ICAP_FRAMES)) != items.end());
    QVERIFY(std::find(items.begin(), items.end(), double(CAP_DUPLEXENABLED)) == items.end());

    // Negotiation ends with MSG_ENABLEDS.
    QVERIFY(scanReady());
    QCOMPARE(s.setCap(ICAP_XRESOLUTION, TWTY_FIX32, 100), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.condition(), TW_UINT16(TWCC_SEQERROR));
    QCOMPARE(s.current(ICAP_XRESOLUTION), 150.0); // reads still answer, from what the device had
}

void TestSaneSource::clampedValues()
{
    Session& s = *m_session;
    QVERIFY(s.open());
    // SANE clamps; the application is told and reads back the value in force.
    QCOMPARE(s.setCap(ICAP_XRESOLUTION, TWTY_FIX32, 5000), TW_UINT16(TWRC_CHECKSTATUS));
    QCOMPARE(s.current(ICAP_XRESOLUTION), 1200.0);
    QCOMPARE(s.setFrameMm(10, 20, 400, 100), TW_UINT16(TWRC_CHECKSTATUS));
    TW_IMAGELAYOUT layout{};
    QCOMPARE(s.setCap(ICAP_UNITS, TWTY_UINT16, TWUN_MILLIMETERS), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(int(layout.Frame.Left.Whole), 10);
    QCOMPARE(int(layout.Frame.Top.Whole), 20);
    QCOMPARE(int(layout.Frame.Right.Whole), 300);
    QCOMPARE(int(layout.Frame.Bottom.Whole), 100);
    // A frame moved past the old one is set in an order SANE does not clamp.
    QCOMPARE(s.setFrameMm(150, 120, 200, 160), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.setFrameMm(0, 0, 10, 10), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.setFrameMm(10, 10, 5, 20), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(s.option("tl-x"), QStringLiteral("0"));
    QCOMPARE(s.option("br-y"), QStringLiteral("10"));
}

void TestSaneSource::pixelExact_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("mechanism");
    QTest::addColumn<int>("dpi");
    QTest::addColumn<QString>("picture");
    const int dpis[] = {50, 75, 100};
    int n = 0;
    for (int f = 0; f < int(std::size(kFormats)); ++f) {
        for (int m = 0; m < int(std::size(kMechanisms)); ++m, ++n) {
            // Grids show geometry and bit order; the colour pattern's ramps
            // show sample order and byte order.
            const bool ramps = kFormats[f].bitDepth != 1 && n % 2 == 1;
            const QString picture = ramps ? QStringLiteral("Color pattern") : QStringLiteral("Grid");
            QTest::addRow("%s-%s-%d", kFormats[f].name, kMechanisms[m].name, dpis[n % 3])
                << f << m << dpis[n % 3] << picture;
        }
    }
}

void TestSaneSource::pixelExact()
{
    QFETCH(int, format);
    QFETCH(int, mechanism);
    QFETCH(int, dpi);
    QFETCH(QString, picture);
    const Format& f = kFormats[format];
    const Mechanism& m = kMechanisms[mechanism];
    QString error;
    const Picture want =
        scanimage(QStringLiteral("test:0"), scanimageOptions(f.mode, f.depth, dpi, picture), &error);
    QVERIFY2(want.width > 0, qPrintable(error));

    QVERIFY(prepare(f, dpi, picture, m.mech, m.fileFormat));
    QVERIFY(scanReady());
    Picture got;
    QCOMPARE(m_session->transfer(m.mech, got, m.fileFormat), TW_UINT16(TWRC_XFERDONE));
    const TW_IMAGEINFO info = m_session->lastInfo;
    QCOMPARE(int(info.PixelType), int(f.pixelType));
    QCOMPARE(int(info.BitsPerPixel), int(f.bitDepth));
    QCOMPARE(int(info.ImageWidth), want.width);
    QCOMPARE(int(info.ImageLength), want.height);
    QCOMPARE(int(info.XResolution.Whole), dpi);
    QVERIFY2(got == want, difference(got, want).constData());
    TW_UINT16 count = 99;
    QCOMPARE(m_session->pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(int(count), 0); // the flatbed holds one page
    QCOMPARE(m_session->disable(), TW_UINT16(TWRC_SUCCESS));
}

void TestSaneSource::feederBatch_data()
{
    QTest::addColumn<int>("xferCount");
    QTest::addColumn<int>("mechanism");
    QTest::addColumn<int>("pages");
    QTest::newRow("all-memory") << -1 << int(TWSX_MEMORY) << 10;
    QTest::newRow("all-native") << -1 << int(TWSX_NATIVE) << 10;
    QTest::newRow("three-memfile") << 3 << int(TWSX_MEMFILE) << 3;
}

void TestSaneSource::feederBatch()
{
    QFETCH(int, xferCount);
    QFETCH(int, mechanism);
    QFETCH(int, pages);
    QVERIFY(prepare(kFormats[1], 50, QStringLiteral("Grid"), TW_UINT16(mechanism), TWFF_BMP));
    Session& s = *m_session;
    QCOMPARE(s.setCap(CAP_FEEDERENABLED, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.setCap(CAP_XFERCOUNT, TWTY_INT16, xferCount), TW_UINT16(TWRC_SUCCESS));
    QString error;
    const Picture want =
        scanimage(QStringLiteral("test:0"), scanimageOptions("Gray", 8, 50, QStringLiteral("Grid")), &error);
    QVERIFY2(want.width > 0, qPrintable(error));
    QVERIFY(scanReady());
    for (int page = 1; page <= pages; ++page) {
        Picture got;
        QCOMPARE(s.transfer(TW_UINT16(mechanism), got), TW_UINT16(TWRC_XFERDONE));
        QVERIFY2(got == want, difference(got, want).constData());
        TW_UINT16 count = 99;
        QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
        // The feeder's sheets are not counted: -1 while the next sheet
        // started, 0 when it had none (the test device has ten).
        QCOMPARE(int(count), page == pages ? 0 : xferCount > 0 ? xferCount - page : 0xFFFF);
    }
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
}

void TestSaneSource::stopFeeder()
{
    QVERIFY(prepare(kFormats[1], 50, QStringLiteral("Solid white"), TWSX_MEMORY, TWFF_BMP));
    Session& s = *m_session;
    QCOMPARE(s.setCap(CAP_FEEDERENABLED, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    Picture got;
    QCOMPARE(s.transfer(TWSX_MEMORY, got), TW_UINT16(TWRC_XFERDONE));
    TW_UINT16 count = 0;
    QCOMPARE(s.pending(MSG_STOPFEEDER, count), TW_UINT16(TWRC_SUCCESS));
    // The page at hand, and a sheet already started, still come; no more.
    int delivered = 1;
    for (;;) {
        QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
        if (count == 0)
            break;
        QCOMPARE(s.transfer(TWSX_MEMORY, got), TW_UINT16(TWRC_XFERDONE));
        ++delivered;
        QVERIFY(delivered <= 2);
    }
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
}

void TestSaneSource::endXferSkipsPage()
{
    // MSG_ENDXFER in the middle of a page drops that page only.
    QVERIFY(prepare(kFormats[1], 75, QStringLiteral("Grid"), TWSX_MEMORY, TWFF_BMP));
    Session& s = *m_session;
    QCOMPARE(s.setCap(CAP_FEEDERENABLED, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.setCap(CAP_XFERCOUNT, TWTY_INT16, 2), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    TW_IMAGEINFO info{};
    QCOMPARE(s.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TW_UINT16(TWRC_SUCCESS));
    std::vector<std::uint8_t> block(std::size_t(info.ImageWidth) * 2);
    TW_IMAGEMEMXFER x{};
    x.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
    x.Memory.Length = TW_UINT32(block.size());
    x.Memory.TheMem = block.data();
    QCOMPARE(s.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TW_UINT16(TWRC_SUCCESS));
    TW_UINT16 count = 0;
    QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(int(count), 1);
    QString error;
    const Picture want =
        scanimage(QStringLiteral("test:0"), scanimageOptions("Gray", 8, 75, QStringLiteral("Grid")), &error);
    Picture got;
    QCOMPARE(s.transfer(TWSX_MEMORY, got), TW_UINT16(TWRC_XFERDONE));
    QVERIFY2(got == want, difference(got, want).constData());
    QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(int(count), 0);
}

void TestSaneSource::readStatus_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("rc");
    QTest::addColumn<int>("cc");
    QTest::addColumn<bool>("online");
    QTest::newRow("eof-early") << "SANE_STATUS_EOF" << int(TWRC_FAILURE) << int(TWCC_OPERATIONERROR) << true;
    QTest::newRow("cancelled") << "SANE_STATUS_CANCELLED" << int(TWRC_CANCEL) << int(TWCC_SUCCESS) << true;
    QTest::newRow("jammed") << "SANE_STATUS_JAMMED" << int(TWRC_FAILURE) << int(TWCC_PAPERJAM) << true;
    QTest::newRow("no-docs") << "SANE_STATUS_NO_DOCS" << int(TWRC_FAILURE) << int(TWCC_NOMEDIA) << true;
    QTest::newRow("cover-open") << "SANE_STATUS_COVER_OPEN" << int(TWRC_FAILURE) << int(TWCC_INTERLOCK)
                                << true;
    QTest::newRow("busy") << "SANE_STATUS_DEVICE_BUSY" << int(TWRC_FAILURE) << int(TWCC_MAXCONNECTIONS)
                          << true;
    QTest::newRow("inval") << "SANE_STATUS_INVAL" << int(TWRC_FAILURE) << int(TWCC_BADVALUE) << true;
    QTest::newRow("unsupported") << "SANE_STATUS_UNSUPPORTED" << int(TWRC_FAILURE) << int(TWCC_CAPUNSUPPORTED)
                                 << true;
    QTest::newRow("no-mem") << "SANE_STATUS_NO_MEM" << int(TWRC_FAILURE) << int(TWCC_LOWMEMORY) << true;
    QTest::newRow("denied") << "SANE_STATUS_ACCESS_DENIED" << int(TWRC_FAILURE) << int(TWCC_DENIED) << true;
    QTest::newRow("io-error") << "SANE_STATUS_IO_ERROR" << int(TWRC_FAILURE) << int(TWCC_OPERATIONERROR)
                              << false;
}

void TestSaneSource::readStatus()
{
    QFETCH(QString, status);
    QFETCH(int, rc);
    QFETCH(int, cc);
    QFETCH(bool, online);
    const TW_UINT16 mechs[] = {TWSX_MEMORY, TWSX_NATIVE, TWSX_FILE};
    for (int i = 0; i < 3; ++i) {
        const TW_UINT16 mech = mechs[i];
        // A device left broken stays open in SANE: each round takes another,
        // and the other tests keep test:0.
        qputenv(kDeviceVariable, QByteArray("test:") + QByteArray::number(i + 2));
        Session s;
        s.tempDir = m_dir->path();
        QVERIFY(s.open());
        QCOMPARE(s.option("read-return-value", status.toUtf8().constData()), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(s.setCap(ICAP_XFERMECH, TWTY_UINT16, mech), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(s.setFrameMm(0, 0, kWidthMm, kHeightMm), TW_UINT16(TWRC_SUCCESS));
        QVERIFY(s.enable() == TWRC_SUCCESS && s.nextMessage() == MSG_XFERREADY);
        Picture got;
        QCOMPARE(int(s.transfer(mech, got)), rc);
        QCOMPARE(int(s.condition()), cc);
        QCOMPARE(got.width, 0); // no page is delivered
        QCOMPARE(s.current(CAP_DEVICEONLINE), online ? 1.0 : 0.0);
        TW_UINT16 count = 9;
        if (rc == TWRC_CANCEL)
            QCOMPARE(s.pending(MSG_ENDXFER, count), TW_UINT16(TWRC_SUCCESS));
        else
            QCOMPARE(s.pending(MSG_RESET, count), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(int(count), 0);
        QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
        if (!online) {
            // The handle is not touched again: no more scans from it.
            QCOMPARE(s.enable(), TW_UINT16(TWRC_FAILURE));
            QCOMPARE(s.condition(), TW_UINT16(TWCC_OPERATIONERROR));
        }
        s.close();
    }
}

void TestSaneSource::handScanner_data()
{
    QTest::addColumn<bool>("undefined");
    QTest::addColumn<int>("mechanism");
    QTest::newRow("memory-undefined") << true << int(TWSX_MEMORY);
    QTest::newRow("memory-told") << false << int(TWSX_MEMORY);
    QTest::newRow("native") << true << int(TWSX_NATIVE);
    QTest::newRow("file") << true << int(TWSX_FILE);
    QTest::newRow("memfile") << false << int(TWSX_MEMFILE);
}

void TestSaneSource::handScanner()
{
    QFETCH(bool, undefined);
    QFETCH(int, mechanism);
    QString error;
    QStringList options = scanimageOptions("Gray", 8, 50, QStringLiteral("Grid"));
    options << QStringLiteral("--hand-scanner=yes");
    const Picture want = scanimage(QStringLiteral("test:0"), options, &error);
    QVERIFY2(want.width > 0, qPrintable(error));
    QVERIFY(prepare(kFormats[1], 50, QStringLiteral("Grid"), TW_UINT16(mechanism), TWFF_BMP));
    Session& s = *m_session;
    QCOMPARE(s.option("hand-scanner", "yes"), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.setCap(ICAP_UNDEFINEDIMAGESIZE, TWTY_BOOL, undefined), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    Picture got;
    QCOMPARE(s.transfer(TW_UINT16(mechanism), got), TW_UINT16(TWRC_XFERDONE));
    // Unknown until the page is over, unless the application cannot take that.
    QCOMPARE(int(s.lastInfo.ImageLength), undefined ? -1 : want.height);
    QCOMPARE(int(s.infoAfter.ImageLength), want.height);
    QVERIFY2(got == want, difference(got, want).constData());
}

void TestSaneSource::rowReassembly_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("ppl-loss") << QStringList{QStringLiteral("ppl-loss=7")};
    QTest::newRow("read-limit") << QStringList{QStringLiteral("read-limit=yes"),
                                               QStringLiteral("read-limit-size=37")};
    QTest::newRow("both") << QStringList{QStringLiteral("ppl-loss=3"), QStringLiteral("read-limit=yes"),
                                         QStringLiteral("read-limit-size=1")};
}

void TestSaneSource::rowReassembly()
{
    QFETCH(QStringList, options);
    // The same pixels as without the odd lines and chunks.
    QString error;
    const Picture want = scanimage(QStringLiteral("test:0"),
                                   scanimageOptions("Color", 8, 50, QStringLiteral("Color pattern")), &error);
    QVERIFY2(want.width > 0, qPrintable(error));
    for (TW_UINT16 mech : {TW_UINT16(TWSX_MEMORY), TW_UINT16(TWSX_NATIVE)}) {
        Session s;
        QVERIFY(s.open());
        QCOMPARE(s.option("test-picture", "Color pattern"), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(s.setCap(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(s.setCap(ICAP_XRESOLUTION, TWTY_FIX32, 50), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(s.setFrameMm(0, 0, kWidthMm, kHeightMm), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(s.setCap(ICAP_XFERMECH, TWTY_UINT16, mech), TW_UINT16(TWRC_SUCCESS));
        for (const QString& o : options) {
            const QByteArray name = o.section(QLatin1Char('='), 0, 0).toUtf8();
            const QByteArray value = o.section(QLatin1Char('='), 1).toUtf8();
            QCOMPARE(s.option(name.constData(), value.constData()), TW_UINT16(TWRC_SUCCESS));
        }
        QVERIFY(s.enable() == TWRC_SUCCESS && s.nextMessage() == MSG_XFERREADY);
        Picture got;
        QCOMPARE(s.transfer(mech, got, TWFF_BMP, 1000), TW_UINT16(TWRC_XFERDONE));
        // Pixels lost at the line ends make a narrower picture, the same otherwise.
        Picture cropped = want;
        if (got.width > 0 && got.width < want.width) {
            cropped.width = got.width;
            cropped.values.clear();
            for (int y = 0; y < want.height; ++y)
                for (int x = 0; x < got.width; ++x)
                    cropped.values.push_back(want.values[std::size_t(y) * want.width + x]);
        }
        QVERIFY2(got == cropped, difference(got, cropped).constData());
        s.close();
    }
}

void TestSaneSource::cancelMidPage_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("reset") << int(MSG_RESET);
    QTest::newRow("endxfer") << int(MSG_ENDXFER);
}

void TestSaneSource::cancelMidPage()
{
    QFETCH(int, how);
    Session& s = *m_session;
    // A slow scanner: each buffer takes 50 ms; the page needs many.
    QVERIFY(prepare(kFormats[3], 100, QStringLiteral("Grid"), TWSX_MEMORY, TWFF_BMP));
    QCOMPARE(s.setFrameMm(0, 0, 100, 100), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("read-delay", "yes"), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("read-delay-duration", "50000"), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    TW_IMAGEINFO info{};
    QCOMPARE(s.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TW_UINT16(TWRC_SUCCESS));
    std::vector<std::uint8_t> block(std::size_t(info.ImageWidth) * 3 * 4);
    for (int i = 0; i < 3; ++i) {
        TW_IMAGEMEMXFER x{};
        x.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
        x.Memory.Length = TW_UINT32(block.size());
        x.Memory.TheMem = block.data();
        QCOMPARE(s.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TW_UINT16(TWRC_SUCCESS));
    }
    TW_UINT16 count = 9;
    QCOMPARE(s.pending(TW_UINT16(how), count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(int(count), 0);
    QCOMPARE(s.disable(), TW_UINT16(TWRC_SUCCESS));
    // The device is fine afterwards: the next scan is whole.
    QCOMPARE(s.option("read-delay", "no"), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.setFrameMm(0, 0, kWidthMm, kHeightMm), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    Picture got;
    QCOMPARE(s.transfer(TWSX_MEMORY, got), TW_UINT16(TWRC_XFERDONE));
    QString error;
    const Picture want = scanimage(QStringLiteral("test:0"),
                                   scanimageOptions("Color", 8, 100, QStringLiteral("Grid")), &error);
    QVERIFY2(got == want, difference(got, want).constData());
}

void TestSaneSource::threePass_data()
{
    QTest::addColumn<QString>("order");
    QTest::addColumn<int>("mechanism");
    QTest::newRow("rgb-memory") << "RGB" << int(TWSX_MEMORY);
    QTest::newRow("bgr-native") << "BGR" << int(TWSX_NATIVE);
}

void TestSaneSource::threePass()
{
    QFETCH(QString, order);
    QFETCH(int, mechanism);
    QString error;
    const Picture want = scanimage(QStringLiteral("test:0"),
                                   scanimageOptions("Color", 8, 50, QStringLiteral("Color pattern")), &error);
    QVERIFY2(want.width > 0, qPrintable(error));
    QVERIFY(prepare(kFormats[3], 50, QStringLiteral("Color pattern"), TW_UINT16(mechanism), TWFF_BMP));
    Session& s = *m_session;
    QCOMPARE(s.option("three-pass", "yes"), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(s.option("three-pass-order", order.toUtf8().constData()), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    Picture got;
    QCOMPARE(s.transfer(TW_UINT16(mechanism), got), TW_UINT16(TWRC_XFERDONE));
    QVERIFY2(got == want, difference(got, want).constData());
}

QTEST_GUILESS_MAIN(TestSaneSource)
#include "tst_sanesource.moc"
