// What pelirand-scan tells about a source and about its own options: the
// capabilities the simulated scanner documents (for people and as JSON), the
// library's typed containers behind them, and every bad value refused with
// the form it takes.

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "pelirand/bridge.h"
#include "pelirand/capability.h"
#include "client/scan/pagewriter.h"
#include "pelirand/twainsession.h"
#include "tests/client/mainapptestsupport.h"
#include "twain/twain.h"

using mainapptest::kWaitMs;
using pelirand::Capability;

namespace {

struct Run
{
    int iExit = -1;
    QString sOut;
    QString sErr;
};

Run runScan(const QStringList& lstArgs,
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"), lstArgs);
    Run run;
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished(kWaitMs);
        return run;
    }
    run.iExit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.sOut = QString::fromUtf8(process.readAllStandardOutput());
    run.sErr = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QString describe(const Run& run)
{
    return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(run.iExit).arg(run.sOut, run.sErr);
}

QJsonObject findCap(const QJsonArray& caps, const QString& sName)
{
    for (const QJsonValue& cap : caps) {
        if (cap.toObject().value(QStringLiteral("name")).toString() == sName)
            return cap.toObject();
    }
    return QJsonObject();
}

} // namespace

class TestPelirandScanOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void typedContainers();
    void optionsForPeople();
    void optionsAsJson();
    void listAsJson_data();
    void listAsJson();
    void defaultChoice_data();
    void defaultChoice();
    void badValues_data();
    void badValues();
    void nameAsGiven();
    void printFilesOnly();
    void formats_data();
    void formats();
    void dialog_data();
    void dialog();
    void toStandardOutput_data();
    void toStandardOutput();

private:
    QTemporaryDir m_dir;
};

void TestPelirandScanOptions::initTestCase()
{
    mainapptest::useTemporaryTmpDir();
    QVERIFY(m_dir.isValid());
}

void TestPelirandScanOptions::typedContainers()
{
    pelirand::Bridge bridge;
    bridge.setHelloTimeout(kWaitMs);
    QVERIFY2(bridge.start(), qPrintable(bridge.lastError()));
    pelirand::TwainSession session(bridge);
    QVERIFY(mainapptest::openScanner(session));

    Capability range;
    pelirand::TwainResult r = session.getCapability(ICAP_XRESOLUTION, range);
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(range.containerType, quint16(TWON_RANGE));
    QCOMPARE(range.itemType, quint16(TWTY_FIX32));
    QCOMPARE(range.minValue.toDouble(), double(simscanner::kMinResolution));
    QCOMPARE(range.maxValue.toDouble(), double(simscanner::kMaxResolution));
    QCOMPARE(range.defaultValue().toDouble(), double(simscanner::kDefaultResolution));
    QVERIFY(range.allows(300));
    QVERIFY(!range.allows(49));
    QVERIFY(!range.allows(150.5));

    Capability pixelTypes;
    QVERIFY(session.getCapability(ICAP_PIXELTYPE, pixelTypes));
    QCOMPARE(pixelTypes.containerType, quint16(TWON_ENUMERATION));
    QCOMPARE(pixelTypes.current().toLongLong(), qint64(TWPT_RGB));
    for (int type : {TWPT_BW, TWPT_GRAY, TWPT_RGB, TWPT_PALETTE})
        QVERIFY2(pixelTypes.allows(type), qPrintable(pixelTypes.allowedText()));

    Capability width;
    QVERIFY(session.getCapability(ICAP_PHYSICALWIDTH, width, MSG_GETCURRENT));
    QCOMPARE(width.containerType, quint16(TWON_ONEVALUE));
    QCOMPARE(width.current().toDouble(), simscanner::kBedWidthInches);

    // A list of another item type than 16 bits: 32-bit custom values, and TW_BOOL.
    Capability feeder;
    QVERIFY(session.getCapability(simscanner::SIMCAP_FEEDERPAGES, feeder, MSG_GETCURRENT));
    QCOMPARE(feeder.itemType, quint16(TWTY_UINT32));
    QCOMPARE(feeder.current().toLongLong(), qint64(simscanner::kDefaultFeederPages));
    Capability feederEnabled;
    QVERIFY(session.getCapability(CAP_FEEDERENABLED, feederEnabled, MSG_GETCURRENT));
    QCOMPARE(feederEnabled.current(), QVariant(true));

    Capability supported;
    QVERIFY(session.getCapability(CAP_SUPPORTEDCAPS, supported));
    QVERIFY(supported.items.contains(QVariant(qint64(ICAP_XRESOLUTION))));

    QVERIFY(session.close());
    bridge.stop();
}

void TestPelirandScanOptions::optionsForPeople()
{
    const Run run = runScan({QStringLiteral("-A")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    const QStringList lstLines = run.sOut.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    auto line = [&lstLines](const QString& sName) {
        for (const QString& sLine : lstLines) {
            if (sLine.startsWith(sName + QLatin1Char(' ')))
                return sLine;
        }
        return QString();
    };
    const QString sRes = line(QStringLiteral("ICAP_XRESOLUTION"));
    QVERIFY2(sRes.contains(QStringLiteral("TWTY_FIX32")) && sRes.contains(QStringLiteral("current 100")) &&
                 sRes.contains(QStringLiteral("default 100")) &&
                 sRes.contains(QStringLiteral("range 50..1200")),
             qPrintable(run.sOut));
    const QString sType = line(QStringLiteral("ICAP_PIXELTYPE"));
    QVERIFY2(sType.contains(QStringLiteral("current TWPT_RGB")) &&
                 sType.contains(QStringLiteral("one of TWPT_BW, TWPT_GRAY, TWPT_RGB, TWPT_PALETTE")),
             qPrintable(run.sOut));
    QVERIFY2(line(QStringLiteral("ICAP_XFERMECH")).contains(QStringLiteral("TWSX_MEMFILE")),
             qPrintable(run.sOut));
}

void TestPelirandScanOptions::optionsAsJson()
{
    const Run run = runScan({QStringLiteral("--options"), QStringLiteral("--json")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(run.sOut.toUtf8(), &error);
    QVERIFY2(doc.isObject(), qPrintable(error.errorString() + QLatin1Char('\n') + run.sOut));
    QCOMPARE(doc.object().value(QStringLiteral("source")).toString(),
             QLatin1String(simscanner::kProductName));
    const QJsonArray caps = doc.object().value(QStringLiteral("capabilities")).toArray();

    const QJsonObject res = findCap(caps, QStringLiteral("ICAP_YRESOLUTION"));
    QCOMPARE(res.value(QStringLiteral("container")).toString(), QStringLiteral("TWON_RANGE"));
    QCOMPARE(res.value(QStringLiteral("current")).toDouble(), 100.0);
    const QJsonObject allowed = res.value(QStringLiteral("allowed")).toObject();
    QCOMPARE(allowed.value(QStringLiteral("min")).toDouble(), 50.0);
    QCOMPARE(allowed.value(QStringLiteral("max")).toDouble(), 1200.0);

    const QJsonObject type = findCap(caps, QStringLiteral("ICAP_PIXELTYPE"));
    QCOMPARE(type.value(QStringLiteral("allowed")).toArray(), QJsonArray({0, 1, 2, 3}));
    QCOMPARE(type.value(QStringLiteral("default")).toInt(), int(TWPT_RGB));
    const QJsonObject width = findCap(caps, QStringLiteral("ICAP_PHYSICALWIDTH"));
    QCOMPARE(width.value(QStringLiteral("current")).toDouble(), simscanner::kBedWidthInches);
    QCOMPARE(width.value(QStringLiteral("type")).toString(), QStringLiteral("TWTY_FIX32"));
}

void TestPelirandScanOptions::listAsJson_data()
{
    QTest::addColumn<int>("nSaneDevices");
    // The tests' own SANE configuration has no backend.
    QTest::newRow("no SANE device") << 0;
    QTest::newRow("two devices of SANE's test backend") << 2;
}

void TestPelirandScanOptions::listAsJson()
{
    QFETCH(int, nSaneDevices);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QTemporaryDir saneConfig;
    if (nSaneDevices > 0) {
        QVERIFY(saneConfig.isValid());
        QFile dll(saneConfig.filePath(QStringLiteral("dll.conf")));
        QFile test(saneConfig.filePath(QStringLiteral("test.conf")));
        QVERIFY(dll.open(QIODevice::WriteOnly) && dll.write("test\n") > 0);
        QVERIFY(test.open(QIODevice::WriteOnly) &&
                test.write(QByteArray("number_of_devices ") + QByteArray::number(nSaneDevices) + '\n') > 0);
        env.insert(QStringLiteral("SANE_CONFIG_DIR"), saneConfig.path());
    }
    const Run run = runScan({QStringLiteral("--list"), QStringLiteral("--json")}, env);
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    const QJsonArray sources =
        QJsonDocument::fromJson(run.sOut.toUtf8()).object().value(QStringLiteral("sources")).toArray();
    QJsonObject sim;
    QJsonObject sane;
    for (const QJsonValue& source : sources) {
        const QString sName = source.toObject().value(QStringLiteral("productName")).toString();
        if (sName == QLatin1String(simscanner::kProductName))
            sim = source.toObject();
        else if (sName == QLatin1String("pelirand SANE Scanner"))
            sane = source.toObject();
    }
    QVERIFY2(!sim.isEmpty() && !sane.isEmpty(), qPrintable(run.sOut));
    QCOMPARE(sim.value(QStringLiteral("manufacturer")).toString(), QLatin1String(simscanner::kManufacturer));
    QCOMPARE(sim.value(QStringLiteral("default")).toBool(), true);
    QVERIFY(!sim.contains(QStringLiteral("devices")));

    // The devices behind the SANE source, by the names --device takes, as the text list shows them.
    const QJsonArray devices = sane.value(QStringLiteral("devices")).toArray();
    QCOMPARE(devices.size(), nSaneDevices);
    QCOMPARE(sane.contains(QStringLiteral("noDevice")), nSaneDevices == 0);
    const Run text = runScan({QStringLiteral("--list")}, env);
    QVERIFY2(text.iExit == 0, qPrintable(describe(text)));
    for (int i = 0; i < nSaneDevices; ++i) {
        const QJsonObject device = devices.at(i).toObject();
        QCOMPARE(device.value(QStringLiteral("name")).toString(), QStringLiteral("test:%1").arg(i));
        QCOMPARE(device.value(QStringLiteral("current")).toBool(), i == 0);
        QCOMPARE(device.value(QStringLiteral("type")).toString(), QStringLiteral("virtual device"));
        QVERIFY2(text.sOut.contains(QStringLiteral("--device test:%1  (%2 %3, virtual device)")
                                        .arg(i)
                                        .arg(device.value(QStringLiteral("vendor")).toString(),
                                             device.value(QStringLiteral("model")).toString())),
                 qPrintable(text.sOut));
    }
}

void TestPelirandScanOptions::defaultChoice_data()
{
    QTest::addColumn<int>("nSaneDevices");
    QTest::addColumn<QString>("sDefaultSource"); // $PELIRAND_DEFAULT_SOURCE, empty: unset
    QTest::addColumn<QString>("sMarked");        // the source --list marks as default
    QTest::addColumn<int>("iScanExit");
    QTest::addColumn<QString>("sScanError");
    const QString sSim = QLatin1String(simscanner::kProductName);
    const QString sSane = QStringLiteral("pelirand SANE Scanner");
    // The simulated scanner lists first when named so; it is still not taken.
    QTest::newRow("SANE has a device") << 1 << QString() << sSane << 0 << QString();
    QTest::newRow("no device anywhere")
        << 0 << QString() << QString() << 10
        << "pelirand-scan: no scanner found: SANE finds no device; the simulated scanner is "
           "`-s 'pelirand Simulated Scanner'`\n";
    QTest::newRow("a default chosen by the user") << 1 << sSim << sSim << 0 << QString();
}

void TestPelirandScanOptions::defaultChoice()
{
    QFETCH(int, nSaneDevices);
    QFETCH(QString, sDefaultSource);
    QFETCH(QString, sMarked);
    QFETCH(int, iScanExit);
    QFETCH(QString, sScanError);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("PELIRAND_DEFAULT_SOURCE"));
    if (!sDefaultSource.isEmpty())
        env.insert(QStringLiteral("PELIRAND_DEFAULT_SOURCE"), sDefaultSource);
    QTemporaryDir saneConfig;
    QVERIFY(saneConfig.isValid());
    QFile dll(saneConfig.filePath(QStringLiteral("dll.conf")));
    QVERIFY(dll.open(QIODevice::WriteOnly));
    if (nSaneDevices > 0) {
        QFile test(saneConfig.filePath(QStringLiteral("test.conf")));
        QVERIFY(dll.write("test\n") > 0);
        QVERIFY(test.open(QIODevice::WriteOnly) &&
                test.write(QByteArray("number_of_devices ") + QByteArray::number(nSaneDevices) + '\n') > 0);
    }
    dll.close();
    env.insert(QStringLiteral("SANE_CONFIG_DIR"), saneConfig.path());

    const Run list = runScan({QStringLiteral("--list"), QStringLiteral("--json")}, env);
    QVERIFY2(list.iExit == 0, qPrintable(describe(list)));
    QStringList lstMarked;
    const QJsonArray sources =
        QJsonDocument::fromJson(list.sOut.toUtf8()).object().value(QStringLiteral("sources")).toArray();
    for (const QJsonValue& source : sources) {
        if (source.toObject().value(QStringLiteral("default")).toBool())
            lstMarked << source.toObject().value(QStringLiteral("productName")).toString();
    }
    QCOMPARE(lstMarked, sMarked.isEmpty() ? QStringList() : QStringList{sMarked});

    QTemporaryDir out;
    QVERIFY(out.isValid());
    const Run scan = runScan({QStringLiteral("--verbose"), QStringLiteral("-n"), QStringLiteral("1"),
                              QStringLiteral("-r"), QStringLiteral("50"), QStringLiteral("-o"), out.path()},
                             env);
    QVERIFY2(scan.iExit == iScanExit, qPrintable(describe(scan)));
    if (iScanExit == 0)
        QVERIFY2(scan.sErr.contains(QStringLiteral("opened ") + sMarked), qPrintable(describe(scan)));
    else
        QVERIFY2(scan.sErr.endsWith(sScanError), qPrintable(describe(scan)));
}

void TestPelirandScanOptions::badValues_data()
{
    QTest::addColumn<QStringList>("lstArgs");
    QTest::addColumn<int>("iExit");
    QTest::addColumn<QString>("sSays");

    auto row = [](const char* name, const QStringList& args, int exit, const char* says) {
        QTest::newRow(name) << args << exit << QString::fromUtf8(says);
    };
    // Refused before anything starts, with the form the option takes.
    row("mechanism", {"-m", "fax"}, 2, "use native, file, memory or memfile");
    row("pixel type", {"--pixel-type", "cmyk"}, 2, "use bw, gray, rgb or palette");
    row("bit depth zero", {"-b", "0"}, 2, "a whole number of bits");
    row("bit depth text", {"-b", "eight"}, 2, "a whole number of bits");
    row("resolution text", {"-r", "high"}, 2, "dots per inch");
    row("resolution not a number", {"-r", "nan"}, 2, "dots per inch");
    row("resolution negative", {"-r", "-300"}, 2, "dots per inch");
    row("pages zero", {"-n", "0"}, 2, "or all");
    row("pages text", {"-n", "some"}, 2, "or all");
    row("format", {"-f", "gif"}, 2, "use png");
    row("dsm", {"--dsm", "twain64"}, 2, "use twaindsm or twain32");
    row("timeout", {"--timeout", "-1"}, 2, "seconds from 0");
    row("name with slash", {"--name", "a/b"}, 2, "without /");
    row("empty output", {"-o", ""}, 2, "name a folder");
    row("output dash, several PNG pages", {"-o", "-"}, 2, "-o - writes one file: give -n 1");
    row("output dash and --print-files", {"-o", "-", "-n", "1", "--print-files"}, 2,
        "leave out --print-files");
    row("json alone", {"--json"}, 2, "--json goes with --list or --options");
    row("unknown option", {"--colour"}, 2, "see --help");
    // Refused by the source, with what it allows.
    row("resolution below range", {"-r", "49"}, 6, "it allows 50 to 1200 in steps of 1");
    row("resolution between steps", {"-r", "150.5"}, 6, "it allows 50 to 1200 in steps of 1");
    row("bit depth of another pixel type", {"-b", "8"}, 6, "with the pixel type rgb (the source's default");
    row("bit depth with gray", {"--pixel-type", "gray", "-b", "24"}, 6, "with the pixel type gray");
    // A dialog nobody answers is bounded by the time-out, with an exit status of its own.
    row("dialog without a display", {"--dialog", "--timeout", "1"}, 6,
        "the source's dialog cannot be seen here: the bridge has no display");
}

void TestPelirandScanOptions::badValues()
{
    QFETCH(QStringList, lstArgs);
    QFETCH(int, iExit);
    QFETCH(QString, sSays);

    QTemporaryDir out(m_dir.filePath(QStringLiteral("out-XXXXXX")));
    QStringList lstAll = lstArgs;
    if (!lstArgs.contains(QStringLiteral("-o")))
        lstAll << QStringLiteral("-o") << out.path();
    const Run run = runScan(lstAll);
    QVERIFY2(run.iExit == iExit, qPrintable(describe(run)));
    QVERIFY2(run.sErr.contains(sSays), qPrintable(describe(run)));
    QCOMPARE(mainapptest::scanMessages(run.sErr).size(), 1);
    QVERIFY2(run.sOut.isEmpty() || iExit != 2, qPrintable(describe(run)));
    QVERIFY(QDir(out.path()).entryList(QDir::Files).isEmpty());
    QVERIFY(!QFileInfo::exists(QStringLiteral("-")));
}

void TestPelirandScanOptions::nameAsGiven()
{
    QTemporaryDir out(m_dir.filePath(QStringLiteral("out-XXXXXX")));
    const Run run =
        runScan({QStringLiteral("-n"), QStringLiteral("1"), QStringLiteral("-r"), QStringLiteral("50"),
                 QStringLiteral("-o"), out.path(), QStringLiteral("--name"), QStringLiteral("p-")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files), QStringList{QStringLiteral("p-001.png")});
    QVERIFY2(run.sErr.contains(QStringLiteral("\n1 page, ")), qPrintable(run.sErr));
}

void TestPelirandScanOptions::printFilesOnly()
{
    QTemporaryDir out(m_dir.filePath(QStringLiteral("out-XXXXXX")));
    const Run run =
        runScan({QStringLiteral("--print-files"), QStringLiteral("-r"), QStringLiteral("50"),
                 QStringLiteral("-o"), out.path(), QStringLiteral("--name"), QStringLiteral("p")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    const QStringList lstExpected{out.filePath(QStringLiteral("p-001.png")),
                                  out.filePath(QStringLiteral("p-002.png")),
                                  out.filePath(QStringLiteral("p-003.png"))};
    QCOMPARE(run.sOut.split(QLatin1Char('\n'), Qt::SkipEmptyParts), lstExpected);
    const Run quiet =
        runScan({QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("50"), QStringLiteral("-o"),
                 out.path(), QStringLiteral("--name"), QStringLiteral("q")});
    QVERIFY2(quiet.iExit == 0 && quiet.sOut.isEmpty() && quiet.sErr.isEmpty(), qPrintable(describe(quiet)));
    QCOMPARE(QDir(out.path()).entryList({QStringLiteral("q-*")}, QDir::Files).size(), 3);
}

void TestPelirandScanOptions::formats_data()
{
    QTest::addColumn<QString>("sFormat");
    QTest::addColumn<QString>("sPixelType");
    QTest::addColumn<QStringList>("lstFiles");

    const QStringList three{QStringLiteral("p-001"), QStringLiteral("p-002"), QStringLiteral("p-003")};
    QTest::newRow("pdf, colour") << "pdf"
                                 << "rgb" << QStringList{QStringLiteral("p.pdf")};
    QTest::newRow("pdf, black and white") << "pdf"
                                          << "bw" << QStringList{QStringLiteral("p.pdf")};
    QTest::newRow("tiff, grey") << "tiff"
                                << "gray" << QStringList{QStringLiteral("p.tif")};
    QTest::newRow("tiff, black and white") << "tiff"
                                           << "bw" << QStringList{QStringLiteral("p.tif")};
    QTest::newRow("jpeg") << "jpeg"
                          << "gray" << QStringList{"p-001.jpg", "p-002.jpg", "p-003.jpg"};
    QTest::newRow("pnm") << "pnm"
                         << "rgb" << QStringList{"p-001.pnm", "p-002.pnm", "p-003.pnm"};
}

void TestPelirandScanOptions::formats()
{
    QFETCH(QString, sFormat);
    QFETCH(QString, sPixelType);
    QFETCH(QStringList, lstFiles);

    QTemporaryDir out(m_dir.filePath(QStringLiteral("out-XXXXXX")));
    const Run run = runScan({QStringLiteral("-s"), QLatin1String(simscanner::kProductName),
                             QStringLiteral("-r"), QStringLiteral("60"), QStringLiteral("--pixel-type"), sPixelType,
                             QStringLiteral("-f"), sFormat, QStringLiteral("-o"), out.path(),
                             QStringLiteral("--name"), QStringLiteral("p"), QStringLiteral("--print-files")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files, QDir::Name), lstFiles);
    QStringList lstPaths;
    for (const QString& sName : lstFiles)
        lstPaths.append(out.filePath(sName));
    QCOMPARE(run.sOut.split(QLatin1Char('\n'), Qt::SkipEmptyParts), lstPaths);

    // 8.5 x 14 inches at 60 dpi, each page with its resolution.
    QList<QImage> pages;
    if (sFormat == QLatin1String("tiff")) {
        QFile file(lstPaths.first());
        QVERIFY(file.open(QIODevice::ReadOnly));
        pages = pelirand::readTiffPages(file.readAll());
    } else if (sFormat == QLatin1String("pdf")) {
        const QString sPdfImages = QStandardPaths::findExecutable(QStringLiteral("pdfimages"));
        if (sPdfImages.isEmpty())
            QSKIP("pdfimages (poppler-utils) is not installed");
        QProcess list;
        list.start(sPdfImages, {QStringLiteral("-list"), lstPaths.first()});
        QVERIFY(list.waitForFinished(kWaitMs));
        const QStringList lstRows = QString::fromUtf8(list.readAllStandardOutput())
                                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                                        .mid(2);
        QCOMPARE(lstRows.size(), 3);
        for (const QString& sRow : lstRows) {
            const QStringList f = sRow.simplified().split(QLatin1Char(' '));
            QCOMPARE(f.value(3).toInt(), 510);
            QCOMPARE(f.value(4).toInt(), 840);
            QCOMPARE(f.value(8),
                     sPixelType == QLatin1String("bw") ? QStringLiteral("ccitt") : QStringLiteral("jpeg"));
            QCOMPARE(f.value(12).toInt(), 60);
        }
        return;
    } else {
        for (const QString& sPath : lstPaths) {
            QFile file(sPath);
            QVERIFY(file.open(QIODevice::ReadOnly));
            pages.append(sFormat == QLatin1String("pnm") ? pelirand::readPnm(file.readAll()) : QImage(sPath));
        }
    }
    QCOMPARE(pages.size(), 3);
    for (int i = 0; i < pages.size(); ++i) {
        QCOMPARE(pages[i].size(), QSize(510, 840));
        QCOMPARE(qRound(pages[i].dotsPerMeterX() * 0.0254), 60);
        // Lossless formats hold the scanner's page exactly.
        if (sFormat != QLatin1String("jpeg")) {
            const int iType = sPixelType == QLatin1String("bw")     ? TWPT_BW
                              : sPixelType == QLatin1String("gray") ? TWPT_GRAY
                                                                    : TWPT_RGB;
            const QString sWhy = mainapptest::compareWithPage(pages[i], i + 1, iType, 510, 840);
            QVERIFY2(sWhy.isEmpty(), qPrintable(QStringLiteral("page %1: %2").arg(i + 1).arg(sWhy)));
        }
    }
}

void TestPelirandScanOptions::dialog_data()
{
    QTest::addColumn<bool>("bWidgetSource");
    QTest::addColumn<QString>("sPlatform");
    QTest::addColumn<int>("iExit");
    QTest::addColumn<QString>("sSays");

    // A display VNC viewers see, on a port of the system's choice.
    const QString sDisplay = QStringLiteral("vnc:port=0");
    QTest::newRow("no display") << true << "offscreen" << 6
                                << "the source's dialog cannot be seen here: the bridge has no display";
    // The simulated scanner's dialog is a window of the bridge's own window table, drawn by nobody.
    QTest::newRow("window no display shows")
        << false << sDisplay << 6 << "the source's dialog cannot be seen here: no display shows";
    // Seen, but nobody starts a scan there: the time-out ends the wait.
    QTest::newRow("dialog nobody answers")
        << true << sDisplay << 8 << "nobody started a scan in the source's dialog within 1 seconds";
}

void TestPelirandScanOptions::dialog()
{
    QFETCH(bool, bWidgetSource);
    QFETCH(QString, sPlatform);
    QFETCH(int, iExit);
    QFETCH(QString, sSays);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), sPlatform);
    QStringList lstArgs{QStringLiteral("--dialog"), QStringLiteral("--timeout"), QStringLiteral("1")};
    if (bWidgetSource) {
        // A source whose dialog is a window of Qt's own.
        env.insert(QStringLiteral("PELIRAND_TWAIN_DIR"), QStringLiteral(WIDGET_SOURCE_DIR));
        lstArgs << QStringLiteral("--source") << QStringLiteral("pelirand Widget Source");
    }
    QTemporaryDir out(m_dir.filePath(QStringLiteral("out-XXXXXX")));
    const QString sFolder = out.filePath(QStringLiteral("new"));
    const Run run = runScan(lstArgs + QStringList{QStringLiteral("-o"), sFolder}, env);
    QVERIFY2(run.iExit == iExit, qPrintable(describe(run)));
    QVERIFY2(run.sErr.contains(sSays), qPrintable(describe(run)));
    QVERIFY2(mainapptest::scanMessages(run.sErr).size() == 1, qPrintable(describe(run)));
    // A refused dialog leaves no folder made for the run; a time-out leaves the empty folder asked for.
    QCOMPARE(QFileInfo::exists(sFolder), iExit != 6);
    QVERIFY(QDir(sFolder).isEmpty());
}

void TestPelirandScanOptions::toStandardOutput_data()
{
    QTest::addColumn<QStringList>("lstArgs");
    QTest::addColumn<int>("iPixelType");
    QTest::addColumn<int>("nPages");
    QTest::newRow("one PNG page") << QStringList{QStringLiteral("-n"), QStringLiteral("1"),
                                                 QStringLiteral("--pixel-type"), QStringLiteral("rgb")}
                                  << int(TWPT_RGB) << 1;
    QTest::newRow("TIFF of every page") << QStringList{QStringLiteral("-f"), QStringLiteral("tiff"),
                                                       QStringLiteral("--pixel-type"), QStringLiteral("gray")}
                                        << int(TWPT_GRAY) << 3;
}

// -o -: the run's one file on standard output, people's lines on standard error, nothing left behind.
void TestPelirandScanOptions::toStandardOutput()
{
    QFETCH(QStringList, lstArgs);
    QFETCH(int, iPixelType);
    QFETCH(int, nPages);

    const auto leftovers = [] {
        return QDir(QDir::tempPath()).entryList({QStringLiteral("pelirand-scan-*")}, QDir::AllEntries);
    };
    const QStringList lstBefore = leftovers();
    QProcess process;
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"),
                  lstArgs + QStringList{QStringLiteral("-s"), QLatin1String(simscanner::kProductName),
                                        QStringLiteral("-r"), QStringLiteral("60"), QStringLiteral("-o"),
                                        QStringLiteral("-")});
    QVERIFY(process.waitForFinished(kWaitMs));
    const QByteArray file = process.readAllStandardOutput();
    const QString sErr = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, qPrintable(sErr));
    QVERIFY2(sErr.contains(QStringLiteral("standard output")), qPrintable(sErr));

    QList<QImage> pages;
    if (nPages > 1)
        pages = pelirand::readTiffPages(file);
    else
        pages.append(QImage::fromData(file, "PNG"));
    QCOMPARE(pages.size(), nPages);
    for (int i = 0; i < pages.size(); ++i) {
        const QString sWhy = mainapptest::compareWithPage(pages[i], i + 1, iPixelType, 510, 840);
        QVERIFY2(sWhy.isEmpty(), qPrintable(QStringLiteral("page %1: %2").arg(i + 1).arg(sWhy)));
    }
    QCOMPARE(leftovers(), lstBefore);
}

QTEST_GUILESS_MAIN(TestPelirandScanOptions)
#include "tst_pelirandscanoptions.moc"
