// The shipped files as an application developer meets them: `cmake --install`
// (staged with DESTDIR) and the .deb packages (pelirand, pelirand-dev and
// pelirand-sim, unpacked with dpkg-deb -x), each into a temporary root; then
// the README's example built against each root with find_package(pelirand) and
// with pkg-config, and run: it scans the simulated scanner's pages through the
// installed bridge. The installed simulated scanner is the one without the
// tests' fault controls.

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const QString kVersion = QStringLiteral(PELIRAND_VERSION_TEXT);
// The packages' version: the release and the Debian revision.
const QString kPackageVersion = QStringLiteral(PACKAGE_VERSION_TEXT);
const QString kSimName = QStringLiteral("pelirand Simulated Scanner");

struct Run
{
    int iExit = -1;
    QString sOutput; // standard output and error together
    bool ok() const { return iExit == 0; }
};

Run run(const QString& sProgram, const QStringList& lstArgs, const QProcessEnvironment& env,
        const QString& sWorkDir = QString(), int iTimeoutMs = 300000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(env);
    if (!sWorkDir.isEmpty())
        process.setWorkingDirectory(sWorkDir);
    process.start(sProgram, lstArgs);
    Run result;
    if (!process.waitForStarted()) {
        result.sOutput = sProgram + QStringLiteral(" did not start: ") + process.errorString();
        return result;
    }
    if (!process.waitForFinished(iTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.sOutput = sProgram + QStringLiteral(" did not end in time\n");
    }
    result.sOutput += QString::fromLocal8Bit(process.readAll());
    if (process.exitStatus() == QProcess::NormalExit)
        result.iExit = process.exitCode();
    return result;
}

QString describe(const QString& sWhat, const Run& r)
{
    return QStringLiteral("%1 (exit %2):\n%3").arg(sWhat).arg(r.iExit).arg(r.sOutput.right(6000));
}

// Flags that every program linking a sanitized library needs as well.
QStringList sanitizerFlags()
{
    if (!SANITIZE)
        return {};
    return {QStringLiteral("-fsanitize=address,undefined"), QStringLiteral("-fno-omit-frame-pointer")};
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installedFiles_data();
    void installedFiles();
    void packageDependencies();
    void infoOptions_data();
    void infoOptions();
    void application_data();
    void application();
    void pelirandScan_data();
    void pelirandScan();
    void addSubdirectory();

private:
    // The folder a root's prefix is unpacked in.
    QString prefixDir(const QString& sRoot) const;
    QString rootDir(const QString& sRoot) const { return m_work.filePath(sRoot); }
    QProcessEnvironment runEnvironment(const QString& sRoot) const;
    void addRoots();

    QTemporaryDir m_work;
    QString m_sRuntimeDeb;
    QString m_sDevDeb;
    QString m_sSimDeb;
};

QString TestInstall::prefixDir(const QString& sRoot) const
{
    // cmake --install uses the build's prefix, the packages /usr.
    return rootDir(sRoot) +
           (sRoot == QLatin1String("installed") ? QStringLiteral("/usr/local") : QStringLiteral("/usr"));
}

QProcessEnvironment TestInstall::runEnvironment(const QString& /*sRoot*/) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The installed files alone: no bridge named from outside, no library path.
    env.remove(QStringLiteral("PELIRAND_BRIDGE"));
    env.remove(QStringLiteral("LD_LIBRARY_PATH"));
    // pelirand's own DSM finds the sources in its prefix by itself.
    env.remove(QStringLiteral("PELIRAND_TWAIN_DIR"));
    env.insert(QStringLiteral("PELIRAND_DEFAULT_SOURCE"), kSimName);
    return env;
}

void TestInstall::initTestCase()
{
    QVERIFY(m_work.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Below the prefix: /usr/local/lib/twain (where the TWAIN standard's DSM
    // looks) for cmake --install, /usr/lib/twain for the packages.
    QVERIFY(!QString::fromLatin1(INSTALL_TWAINDIR).startsWith(QLatin1Char('/')));

    // cmake --install, as `sudo cmake --install build` would, staged in a folder.
    env.insert(QStringLiteral("DESTDIR"), rootDir(QStringLiteral("installed")));
    Run r = run(QStringLiteral(CMAKE_EXE),
                {QStringLiteral("--install"), QStringLiteral(BUILD_DIR), QStringLiteral("--prefix"),
                 QStringLiteral("/usr/local")},
                env);
    QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("cmake --install"), r)));
    env.remove(QStringLiteral("DESTDIR"));

    // The .deb packages, unpacked as dpkg would install them.
    const QString sDebs = m_work.filePath(QStringLiteral("debs"));
    r = run(QStringLiteral(CPACK_EXE),
            {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
             QStringLiteral(BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), sDebs},
            env, QStringLiteral(BUILD_DIR));
    QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("cpack -G DEB"), r)));
    const QFileInfoList debs = QDir(sDebs).entryInfoList({QStringLiteral("*.deb")}, QDir::Files, QDir::Name);
    QCOMPARE(debs.size(), 3);
    for (const QFileInfo& deb : debs) {
        QVERIFY2(deb.fileName().contains(QLatin1Char('_') + kPackageVersion + QLatin1Char('_')),
                 qPrintable(deb.fileName()));
        if (deb.fileName().startsWith(QLatin1String("pelirand-dev_")))
            m_sDevDeb = deb.filePath();
        else if (deb.fileName().startsWith(QLatin1String("pelirand-sim_")))
            m_sSimDeb = deb.filePath();
        else if (deb.fileName().startsWith(QLatin1String("pelirand_")))
            m_sRuntimeDeb = deb.filePath();
    }
    QVERIFY2(!m_sRuntimeDeb.isEmpty() && !m_sDevDeb.isEmpty() && !m_sSimDeb.isEmpty(), qPrintable(r.sOutput));
    for (const QString& sDeb : {m_sRuntimeDeb, m_sDevDeb, m_sSimDeb}) {
        r = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), sDeb, rootDir(QStringLiteral("deb"))},
                env);
        QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("dpkg-deb -x ") + sDeb, r)));
    }

    // pelirand's own DSM ships: nothing is put beside the installed bridge,
    // and the machine's DSM stays out (the test environment's folder for it is empty).
    for (const QString& sRoot : {QStringLiteral("installed"), QStringLiteral("deb")})
        QVERIFY(!QFileInfo::exists(prefixDir(sRoot) + QStringLiteral("/" INSTALL_BINDIR "/TWAINDSM.dll")));
}

void TestInstall::addRoots()
{
    QTest::addColumn<QString>("sRoot");
}

void TestInstall::installedFiles_data()
{
    QTest::addColumn<QString>("sRoot");
    QTest::addColumn<QString>("sPath");
    QTest::addColumn<bool>("bInPrefix");
    const QString sLib = QStringLiteral(INSTALL_LIBDIR "/");
    const QStringList lstFiles{
        QStringLiteral(INSTALL_BINDIR "/pelirand"),
        QStringLiteral(INSTALL_BINDIR "/pelirand-scan"),
        sLib + QStringLiteral("libpelirand-platform.so"),
        QStringLiteral(INSTALL_DSMDIR "/libpelirand-dsm.so"),
        sLib + QStringLiteral("libpelirand-client.so"),
        sLib + QStringLiteral("libpelirand-client.so." CLIENT_SOVERSION),
        sLib + QStringLiteral("libpelirand-client.so.") + kVersion,
        sLib + QStringLiteral("cmake/pelirand/pelirandConfig.cmake"),
        sLib + QStringLiteral("cmake/pelirand/pelirandConfigVersion.cmake"),
        sLib + QStringLiteral("cmake/pelirand/pelirandTargets.cmake"),
        sLib + QStringLiteral("pkgconfig/pelirand-client.pc"),
        QStringLiteral("include/pelirand/bridge.h"),
        QStringLiteral("include/pelirand/capability.h"),
        QStringLiteral("include/pelirand/image.h"),
        QStringLiteral("include/pelirand/global.h"),
        QStringLiteral("include/pelirand/sanetwain.h"),
        QStringLiteral("include/pelirand/twainblocks.h"),
        QStringLiteral("include/pelirand/twainconstants.h"),
        QStringLiteral("include/pelirand/twainresult.h"),
        QStringLiteral("include/pelirand/twainsession.h"),
        QStringLiteral("include/pelirand/version.h"),
        QStringLiteral("share/bash-completion/completions/pelirand-scan"),
    };
    QStringList lstPages;
    if (HAVE_MAN_PAGES)
        lstPages << QStringLiteral(INSTALL_MANDIR "/man1/pelirand.1.gz")
                 << QStringLiteral(INSTALL_MANDIR "/man1/pelirand-scan.1.gz");
    for (const QString& sRoot : {QStringLiteral("installed"), QStringLiteral("deb")}) {
        for (const QString& sFile : lstFiles + lstPages)
            QTest::newRow(qPrintable(sRoot + QLatin1Char(':') + sFile)) << sRoot << sFile << true;
        // Where pelirand's own DSM looks for sources in its prefix.
        for (const char* pszSource : {"pelirand-sim", "pelirand-sane"})
            QTest::newRow(qPrintable(sRoot + QStringLiteral(":") + QLatin1String(pszSource)))
                << sRoot << QStringLiteral(INSTALL_TWAINDIR "/%1/%1.ds").arg(QLatin1String(pszSource))
                << true;
    }
    // Each package's Debian files; a plain cmake --install has none of them.
    for (const char* pszPackage : {"pelirand", "pelirand-dev", "pelirand-sim"}) {
        for (const char* pszFile : {"copyright", "changelog.Debian.gz"}) {
            const QString sDoc = QStringLiteral("share/doc/%1/%2").arg(QLatin1String(pszPackage), QLatin1String(pszFile));
            QTest::newRow(qPrintable(QStringLiteral("deb:") + sDoc)) << QStringLiteral("deb") << sDoc << true;
        }
    }
}

void TestInstall::installedFiles()
{
    QFETCH(QString, sRoot);
    QFETCH(QString, sPath);
    QFETCH(bool, bInPrefix);
    const QString sFile = (bInPrefix ? prefixDir(sRoot) : rootDir(sRoot)) + QLatin1Char('/') + sPath;
    QVERIFY2(QFileInfo::exists(sFile), qPrintable(sFile));
    if (sPath.endsWith(QLatin1String(".h"))) {
        // Public headers include only Qt, the standard library and one another.
        QFile header(sFile);
        QVERIFY(header.open(QIODevice::ReadOnly));
        const QStringList lstLines = QString::fromUtf8(header.readAll()).split(QLatin1Char('\n'));
        for (const QString& sLine : lstLines) {
            if (sLine.simplified().startsWith(QLatin1String("#include")))
                QVERIFY2(!sLine.contains(QLatin1Char('"')), qPrintable(sFile + QStringLiteral(": ") + sLine));
        }
    }
}

void TestInstall::packageDependencies()
{
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const Run runtime = run(QStringLiteral("dpkg-deb"),
                            {QStringLiteral("-f"), m_sRuntimeDeb, QStringLiteral("Depends")}, env);
    QVERIFY2(runtime.ok(), qPrintable(describe(QStringLiteral("dpkg-deb -f"), runtime)));
    // From dpkg-shlibdeps: the C library and Qt the binaries link.
    for (const char* pszPackage : {"libc6", "libqt5core5a", "libqt5network5", "libqt5gui5"})
        QVERIFY2(runtime.sOutput.contains(QLatin1String(pszPackage)), qPrintable(runtime.sOutput));
    // The simulated scanner: the bridge of the same build, and libjpeg for its pages.
    const Run sim =
        run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), m_sSimDeb, QStringLiteral("Depends")}, env);
    QVERIFY2(sim.ok(), qPrintable(describe(QStringLiteral("dpkg-deb -f"), sim)));
    QVERIFY2(sim.sOutput.contains(QStringLiteral("pelirand (= %1)").arg(kPackageVersion)), qPrintable(sim.sOutput));
    QVERIFY2(sim.sOutput.contains(QLatin1String("libjpeg62-turbo")), qPrintable(sim.sOutput));
    const Run dev =
        run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), m_sDevDeb, QStringLiteral("Depends")}, env);
    QVERIFY2(dev.ok(), qPrintable(describe(QStringLiteral("dpkg-deb -f"), dev)));
    QVERIFY2(dev.sOutput.contains(QStringLiteral("pelirand (= %1)").arg(kPackageVersion)), qPrintable(dev.sOutput));
    QVERIFY2(dev.sOutput.contains(QLatin1String("qtbase5-dev")), qPrintable(dev.sOutput));
    const Run recommends = run(QStringLiteral("dpkg-deb"),
                               {QStringLiteral("-f"), m_sRuntimeDeb, QStringLiteral("Recommends")}, env);
    QVERIFY2(recommends.sOutput.contains(QLatin1String("libsane1")), qPrintable(recommends.sOutput));
    // A maintainer one can write to, and the simulated scanner not in the runtime package.
    const Run maintainer = run(QStringLiteral("dpkg-deb"),
                               {QStringLiteral("-f"), m_sRuntimeDeb, QStringLiteral("Maintainer")}, env);
    QVERIFY2(!maintainer.sOutput.contains(QLatin1String("localhost")), qPrintable(maintainer.sOutput));
    const Run contents = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), m_sRuntimeDeb}, env);
    QVERIFY2(contents.ok(), qPrintable(describe(QStringLiteral("dpkg-deb -c"), contents)));
    QVERIFY2(!contents.sOutput.contains(QLatin1String("pelirand-sim")), qPrintable(contents.sOutput));
    QVERIFY2(!contents.sOutput.contains(QLatin1String("/usr/local")), qPrintable(contents.sOutput));
}

void TestInstall::infoOptions_data()
{
    QTest::addColumn<QString>("sRoot");
    QTest::addColumn<QString>("sProgram");
    QTest::addColumn<QString>("sOption");
    QTest::addColumn<QString>("sExpected");
    for (const QString& sRoot : {QStringLiteral("installed"), QStringLiteral("deb")}) {
        for (const QString& sProgram : {QStringLiteral("pelirand"), QStringLiteral("pelirand-scan")}) {
            QTest::newRow(qPrintable(QStringLiteral("%1:%2 --version").arg(sRoot, sProgram)))
                << sRoot << sProgram << QStringLiteral("--version")
                << QStringLiteral("%1 %2\n").arg(sProgram, kVersion);
            // The environment the programs read is told in --help (and so in the man pages).
            QTest::newRow(qPrintable(QStringLiteral("%1:%2 --help").arg(sRoot, sProgram)))
                << sRoot << sProgram << QStringLiteral("--help") << QStringLiteral("PELIRAND_TWAIN_DIR");
        }
        // The bridge's help names the DSM it loads there: its own, installed beside it.
        QTest::newRow(qPrintable(sRoot + QStringLiteral(":pelirand --help names the DSM")))
            << sRoot << QStringLiteral("pelirand") << QStringLiteral("--help")
            << QStringLiteral("pelirand's DSM, ") + QFileInfo(prefixDir(sRoot) + QStringLiteral("/" INSTALL_DSMDIR
                                                                                               "/libpelirand-dsm.so"))
                                                         .canonicalFilePath();
    }
}

void TestInstall::infoOptions()
{
    QFETCH(QString, sRoot);
    QFETCH(QString, sProgram);
    QFETCH(QString, sOption);
    QFETCH(QString, sExpected);
    const Run r = run(prefixDir(sRoot) + QStringLiteral("/" INSTALL_BINDIR "/") + sProgram, {sOption},
                      runEnvironment(sRoot), m_work.path(), 60000);
    QVERIFY2(r.ok(), qPrintable(describe(sProgram, r)));
    if (sOption == QLatin1String("--version"))
        QCOMPARE(r.sOutput, sExpected);
    else
        QVERIFY2(r.sOutput.contains(sExpected), qPrintable(r.sOutput));
}

void TestInstall::application_data()
{
    QTest::addColumn<QString>("sRoot");
    QTest::addColumn<bool>("bPkgConfig");
    for (const QString& sRoot : {QStringLiteral("installed"), QStringLiteral("deb")}) {
        QTest::newRow(qPrintable(sRoot + QStringLiteral(":find_package"))) << sRoot << false;
        QTest::newRow(qPrintable(sRoot + QStringLiteral(":pkg-config"))) << sRoot << true;
    }
}

void TestInstall::application()
{
    QFETCH(QString, sRoot);
    QFETCH(bool, bPkgConfig);
    const QString sPrefix = prefixDir(sRoot);
    const QString sTag =
        QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(':'), QLatin1Char('-'));
    const QString sBuild = m_work.filePath(QStringLiteral("build-") + sTag);
    QVERIFY(QDir().mkpath(sBuild));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString sExe;
    if (!bPkgConfig) {
        QStringList lstArgs{QStringLiteral("-S"),
                            QStringLiteral(CONSUMER_DIR),
                            QStringLiteral("-B"),
                            sBuild,
                            QStringLiteral("-DCMAKE_PREFIX_PATH=") + sPrefix,
                            QStringLiteral("-DMAIN_SOURCE=" README_MAIN),
                            QStringLiteral("-DCMAKE_BUILD_TYPE=Release"),
                            QStringLiteral("-DCMAKE_CXX_COMPILER=" CXX_EXE)};
        if (SANITIZE)
            lstArgs << QStringLiteral("-DCMAKE_CXX_FLAGS=") + sanitizerFlags().join(QLatin1Char(' '));
        Run r = run(QStringLiteral(CMAKE_EXE), lstArgs, env);
        QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("configuring the application"), r)));
        // The package found is the one in this root, not one installed on the machine.
        QVERIFY2(r.sOutput.contains(QStringLiteral("pelirand %1 from %2/").arg(kVersion, sPrefix)),
                 qPrintable(r.sOutput));
        r = run(QStringLiteral(CMAKE_EXE), {QStringLiteral("--build"), sBuild}, env);
        QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("building the application"), r)));
        sExe = sBuild + QStringLiteral("/consumer");
    } else {
        env.insert(QStringLiteral("PKG_CONFIG_PATH"),
                   sPrefix + QStringLiteral("/" INSTALL_LIBDIR "/pkgconfig"));
        Run r = run(QStringLiteral("pkg-config"),
                    {QStringLiteral("--modversion"), QStringLiteral("pelirand-client")}, env);
        QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("pkg-config --modversion"), r)));
        QCOMPARE(r.sOutput.trimmed(), kVersion);
        r = run(QStringLiteral("pkg-config"),
                {QStringLiteral("--cflags"), QStringLiteral("--libs"), QStringLiteral("pelirand-client")},
                env);
        QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("pkg-config --cflags --libs"), r)));
        // The headers of this root, wherever the root lies.
        const QStringList lstFlags = r.sOutput.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QVERIFY2(!lstFlags.isEmpty() && lstFlags.first().startsWith(QLatin1String("-I")),
                 qPrintable(r.sOutput));
        QCOMPARE(QFileInfo(lstFlags.first().mid(2)).canonicalFilePath(),
                 QFileInfo(sPrefix + QStringLiteral("/include")).canonicalFilePath());
        sExe = sBuild + QStringLiteral("/consumer");
        // As the README shows it, with the library folder named for the loader.
        QStringList lstArgs{QStringLiteral("-std=c++17"), QStringLiteral("-fPIC"),
                            QStringLiteral(README_MAIN)};
        lstArgs << lstFlags << sanitizerFlags()
                << QStringLiteral("-Wl,-rpath,") + sPrefix + QStringLiteral("/" INSTALL_LIBDIR)
                << QStringLiteral("-o") << sExe;
        r = run(QStringLiteral(CXX_EXE), lstArgs, env);
        QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("compiling the application"), r)));
    }

    // It runs from a folder of its own: the bridge it starts is the installed one.
    const QString sRunDir = m_work.filePath(QStringLiteral("run-") + sTag);
    QVERIFY(QDir().mkpath(sRunDir));
    const Run r = run(sExe, {}, runEnvironment(sRoot), sRunDir);
    QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("the application"), r)));
    for (int i = 1; i <= 3; ++i) {
        const QString sPage = QStringLiteral("%1/page%2.png").arg(sRunDir).arg(i);
        const QImage page(sPage);
        QVERIFY2(!page.isNull(), qPrintable(sPage + QStringLiteral("\n") + r.sOutput));
        QCOMPARE(page.isGrayscale(), true);
    }
}

void TestInstall::pelirandScan_data()
{
    addRoots();
    QTest::addColumn<QString>("sEnv");
    for (const QString& sRoot : {QStringLiteral("installed"), QStringLiteral("deb")}) {
        QTest::newRow(qPrintable(sRoot)) << sRoot << QString();
        // The build tree's test switches are not in the installed DSM: were
        // this one there, the source's notices would be lost and no page came.
        QTest::newRow(qPrintable(sRoot + QStringLiteral(":no test switch")))
            << sRoot << QStringLiteral("PELIRAND_DSM_NO_CALLBACK=1");
        // Nor are the simulated scanner's fault controls: this one would make
        // the scanner crash the bridge during the scan.
        QTest::newRow(qPrintable(sRoot + QStringLiteral(":no fault control")))
            << sRoot << QStringLiteral("PELIRAND_SIM_CONTROLS=0x8038=0x01010001");
    }
}

void TestInstall::pelirandScan()
{
    QFETCH(QString, sRoot);
    QFETCH(QString, sEnv);
    QProcessEnvironment env = runEnvironment(sRoot);
    if (!sEnv.isEmpty())
        env.insert(sEnv.section(QLatin1Char('='), 0, 0), sEnv.section(QLatin1Char('='), 1));
    const QString sOut = m_work.filePath(QStringLiteral("scans-") + QString::fromLatin1(QTest::currentDataTag())
                                                                        .replace(QLatin1Char(':'), QLatin1Char('-'))
                                                                        .replace(QLatin1Char(' '), QLatin1Char('-')));
    const Run r = run(prefixDir(sRoot) + QStringLiteral("/" INSTALL_BINDIR "/pelirand-scan"),
                      {QStringLiteral("--pages"), QStringLiteral("1"), QStringLiteral("--format"),
                       QStringLiteral("bmp"), QStringLiteral("--name"), QStringLiteral("page"),
                       QStringLiteral("--output"), sOut},
                      env, m_work.path());
    QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("pelirand-scan"), r)));
    const QStringList lstFiles = QDir(sOut).entryList(QDir::Files);
    QCOMPARE(lstFiles.size(), 1);
    QVERIFY(!QImage(QDir(sOut).filePath(lstFiles.first())).isNull());
}

void TestInstall::addSubdirectory()
{
    // A project that takes pelirand in as a folder of its own configures.
    const QString sProject = m_work.filePath(QStringLiteral("outer"));
    QVERIFY(QDir().mkpath(sProject));
    QFile lists(sProject + QStringLiteral("/CMakeLists.txt"));
    QVERIFY(lists.open(QIODevice::WriteOnly));
    lists.write("cmake_minimum_required(VERSION 3.16)\n"
                "project(outer LANGUAGES C CXX)\n"
                "add_subdirectory(\"" SOURCE_DIR "\" pelirand)\n"
                "if(NOT TARGET pelirand::client OR NOT TARGET pelirand)\n"
                "    message(FATAL_ERROR \"no pelirand::client\")\n"
                "endif()\n"
                "add_executable(outer \"" README_MAIN "\")\n"
                "target_link_libraries(outer PRIVATE pelirand::client)\n");
    lists.close();
    const Run r = run(QStringLiteral(CMAKE_EXE),
                      {QStringLiteral("-S"), sProject, QStringLiteral("-B"),
                       sProject + QStringLiteral("/build"), QStringLiteral("-DCMAKE_CXX_COMPILER=" CXX_EXE)},
                      QProcessEnvironment::systemEnvironment());
    QVERIFY2(r.ok(), qPrintable(describe(QStringLiteral("configuring a project around pelirand"), r)));
    // Its tests stay out of the outer project.
    QVERIFY(!QFileInfo::exists(sProject + QStringLiteral("/build/pelirand/tests")));
}

QTEST_GUILESS_MAIN(TestInstall)

#include "tst_install.moc"
