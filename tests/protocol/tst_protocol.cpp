// What both ends read from a command's description: the values on the wire, the minimum number of
// parameters, missing results, and the names of the files and endpoints.

#include <QtTest>

#include "protocol/commands.h"
#include "protocol/naming.h"

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void wireTypes();
    void roundTrip();
    void minimum_data();
    void minimum();
    void missingResults();
    void names_data();
    void names();
    void filesMatchTheirFilters();
};

void tst_Protocol::wireTypes()
{
    // Integers travel as unsigned ints (16-bit fields too), image ids as ints: what every peer reads.
    const QList<QVariant> call = protocol::encodeParams<cmdTwainCmd>({"id", 0x80000001u, 3, 0x401, {}});
    QCOMPARE(call.size(), 5);
    QCOMPARE(call.at(0).userType(), int(QMetaType::QByteArray));
    QCOMPARE(call.at(1).userType(), int(QMetaType::UInt));
    QCOMPARE(call.at(1).toUInt(), 0x80000001u);
    QCOMPARE(call.at(2).userType(), int(QMetaType::UInt));
    QCOMPARE(call.at(3).toUInt(), 0x401u);
    const QList<QVariant> image = protocol::encodeParams<cmdImageInFile>({-1, QStringLiteral("f")});
    QCOMPARE(image.at(0).userType(), int(QMetaType::Int));
    QCOMPARE(image.at(1).userType(), int(QMetaType::QString));
    // 16-bit fields take the low 16 bits of whatever integer came.
    protocol::Params<cmdTwainGetCap> cap;
    QVERIFY(protocol::decodeParams<cmdTwainGetCap>({QByteArray(), 0x12345u, QStringLiteral("3")}, cap));
    QCOMPARE(cap.cap, quint16(0x2345));
    QCOMPARE(cap.msg, quint16(3));
}

void tst_Protocol::roundTrip()
{
    const protocol::Results<cmdTwainGetCap> sent{5, 0, 4, QByteArray("\x01\x00", 2)};
    protocol::Results<cmdTwainGetCap> got;
    QCOMPARE(protocol::decodeResults<cmdTwainGetCap>(protocol::encodeResults<cmdTwainGetCap>(sent), got), 4);
    QCOMPARE(got.state, 5u);
    QCOMPARE(got.conType, 4u);
    QCOMPARE(got.container, sent.container);
    // Only the leading fields asked for travel.
    QCOMPARE(protocol::encodeResults<cmdTwainGetCap>(sent, 2).size(), 2);
}

void tst_Protocol::minimum_data()
{
    QTest::addColumn<int>("listed");
    QTest::addColumn<bool>("taken");
    QTest::newRow("one short") << 4 << false;
    QTest::newRow("all") << 5 << true;
    QTest::newRow("one more, ignored") << 6 << true;
}

void tst_Protocol::minimum()
{
    QFETCH(int, listed);
    QFETCH(bool, taken);
    QList<QVariant> list;
    for (int i = 0; i < listed; ++i)
        list.append(QVariant(uint(i + 1)));
    protocol::Params<cmdTwainCmd> params;
    params.dat = 77;
    QCOMPARE(protocol::decodeParams<cmdTwainCmd>(list, params), taken);
    // A refused list leaves the record as it was.
    QCOMPARE(params.dat, taken ? quint16(3) : quint16(77));
}

void tst_Protocol::missingResults()
{
    // A failed call answers state and condition only: the block keeps its value and is not counted.
    protocol::Results<cmdTwainCmd> results;
    results.block = "kept";
    QCOMPARE(protocol::decodeResults<cmdTwainCmd>({6u, 9u}, results), 2);
    QCOMPARE(results.conditionCode, 9u);
    QCOMPARE(results.block, QByteArray("kept"));
    QCOMPARE(protocol::decodeResults<cmdTwainCmd>({}, results), 0);
}

void tst_Protocol::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("bridge server") << protocol::bridgeServerName(0xab) << "pelirand000000ab";
    QTest::newRow("client server") << protocol::clientServerName(0x1f, 0x1000002, 0xabc)
                                   << "pelirandscan1fx000002000abc";
    QTest::newRow("endpoint") << protocol::endpointName(QStringLiteral("pelirand1"), QStringLiteral("1.0"))
                              << "vantora-software.pelirand1.1.0";
    QTest::newRow("endpoint in a folder")
        << protocol::endpointName(QStringLiteral("/run/pelirand-x/p"), QStringLiteral("1.0"))
        << "/run/pelirand-x/vantora-software.p.1.0";
    QTest::newRow("empty program") << protocol::endpointName(QString(), QStringLiteral("1.0"))
                                   << "vantora-software..1.0";
}

void tst_Protocol::names()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(name, expected);
}

void tst_Protocol::filesMatchTheirFilters()
{
    // What the bridge writes is what its peers look for, and nothing else of its folder's neighbours.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QTemporaryFile image(protocol::imageFileTemplate(dir.path()));
    QVERIFY(image.open());
    // Asking for the name gives the file one on disk.
    const QString sImageName = QFileInfo(image.fileName()).fileName();
    QFile other(dir.filePath(QStringLiteral("page-001.png")));
    QVERIFY(other.open(QIODevice::WriteOnly));
    const QStringList found = QDir(dir.path()).entryList(protocol::imageFileFilters(), QDir::Files);
    QCOMPARE(found, QStringList{sImageName});
    QVERIFY(protocol::isBridgeFolderName(protocol::bridgeServerName(1)));
    QVERIFY(!protocol::isBridgeFolderName(QStringLiteral("scans")));
    QVERIFY(protocol::inSocketFolder(QStringLiteral("/tmp/pelirand-a1B2c3/x")));
    QVERIFY(protocol::socketFolderPattern().endsWith(QLatin1String("-XXXXXX")));
}

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
