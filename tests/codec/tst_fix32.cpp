// TW_FIX32 conversions: round trips, rounding of half steps, the ends of the range.

#include <QtTest>

#include <cmath>
#include <limits>

#include "codec/fix32.h"

class TestFix32 : public QObject
{
    Q_OBJECT

private slots:
    void encode_data();
    void encode();
    void roundTrip_data();
    void roundTrip();
    void bytes_data();
    void bytes();
};

namespace {
constexpr double kStep = 1.0 / 65536;
}

void TestFix32::encode_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("whole");
    QTest::addColumn<int>("frac");
    QTest::newRow("zero") << 0.0 << 0 << 0;
    QTest::newRow("300 dpi") << 300.0 << 300 << 0;
    QTest::newRow("8.5") << 8.5 << 8 << 0x8000;
    QTest::newRow("-0.25: whole rounds down, fraction up") << -0.25 << -1 << 0xC000;
    QTest::newRow("-1") << -1.0 << -1 << 0;
    QTest::newRow("smallest step") << kStep << 0 << 1;
    QTest::newRow("below half a step") << 0.49 * kStep << 0 << 0;
    QTest::newRow("half a step, away from zero") << 0.5 * kStep << 0 << 1;
    QTest::newRow("minus half a step, away from zero") << -0.5 * kStep << -1 << 0xFFFF;
    QTest::newRow("one and a half steps") << 1.5 * kStep << 0 << 2;
    QTest::newRow("minus one and a half steps") << -1.5 * kStep << -1 << 0xFFFE;
    QTest::newRow("0.1, nearest step") << 0.1 << 0 << 6554;
    QTest::newRow("largest") << 32767.0 + 65535 * kStep << 32767 << 0xFFFF;
    QTest::newRow("above the largest, clamped") << 40000.0 << 32767 << 0xFFFF;
    QTest::newRow("infinity, clamped") << std::numeric_limits<double>::infinity() << 32767 << 0xFFFF;
    QTest::newRow("smallest") << -32768.0 << -32768 << 0;
    QTest::newRow("below the smallest, clamped") << -1e12 << -32768 << 0;
    QTest::newRow("minus infinity, clamped") << -std::numeric_limits<double>::infinity() << -32768 << 0;
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << 0 << 0;
}

void TestFix32::encode()
{
    QFETCH(double, value);
    QFETCH(int, whole);
    QFETCH(int, frac);
    const TW_FIX32 fix = codec::toFix32(value);
    QCOMPARE(int(fix.Whole), whole);
    QCOMPARE(int(fix.Frac), frac);
    QCOMPARE(codec::fix32Raw(value), qint32(whole * 65536 + frac));
}

void TestFix32::roundTrip_data()
{
    QTest::addColumn<double>("value");
    QTest::newRow("0") << 0.0;
    QTest::newRow("72") << 72.0;
    QTest::newRow("8.5") << 8.5;
    QTest::newRow("21.59") << 21.59;
    QTest::newRow("-12.125") << -12.125;
    QTest::newRow("one step") << kStep;
    QTest::newRow("minus one step") << -kStep;
    QTest::newRow("largest") << 32767.0 + 65535 * kStep;
    QTest::newRow("smallest") << -32768.0;
}

void TestFix32::roundTrip()
{
    QFETCH(double, value);
    const double back = codec::fromFix32(codec::toFix32(value));
    QVERIFY2(std::fabs(back - value) <= kStep / 2, qPrintable(QString::number(back, 'g', 17)));
    // A value that is already a step comes back as it was.
    QCOMPARE(codec::fromFix32(codec::toFix32(back)), back);
}

void TestFix32::bytes_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("300") << 300.0 << QByteArray::fromHex("2c010000");
    QTest::newRow("8.5") << 8.5 << QByteArray::fromHex("08000080");
    QTest::newRow("-0.25") << -0.25 << QByteArray::fromHex("ffff00c0");
    QTest::newRow("smallest") << -32768.0 << QByteArray::fromHex("00800000");
}

void TestFix32::bytes()
{
    QFETCH(double, value);
    QFETCH(QByteArray, wire);
    unsigned char out[4] = {};
    codec::fix32ToBytes(value, out);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(out), 4), wire);
    QCOMPARE(codec::fix32FromBytes(reinterpret_cast<const unsigned char*>(wire.constData())), value);
}

QTEST_APPLESS_MAIN(TestFix32)
#include "tst_fix32.moc"
