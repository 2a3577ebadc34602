// Offsets and sizes of capability containers, per form and item type.

#include <QtTest>

#include "codec/twaincontainer.h"
#include "twain/twain.h"

class TestTwainContainer : public QObject
{
    Q_OBJECT

private slots:
    void itemSizes_data();
    void itemSizes();
    void forms_data();
    void forms();
    void bytes_data();
    void bytes();
};

void TestTwainContainer::itemSizes_data()
{
    QTest::addColumn<int>("itemType");
    QTest::addColumn<int>("size");
    QTest::newRow("INT8") << int(TWTY_INT8) << 1;
    QTest::newRow("INT16") << int(TWTY_INT16) << 2;
    QTest::newRow("INT32") << int(TWTY_INT32) << 4;
    QTest::newRow("UINT8") << int(TWTY_UINT8) << 1;
    QTest::newRow("UINT16") << int(TWTY_UINT16) << 2;
    QTest::newRow("UINT32") << int(TWTY_UINT32) << 4;
    QTest::newRow("BOOL") << int(TWTY_BOOL) << 2;
    QTest::newRow("FIX32") << int(TWTY_FIX32) << 4;
    QTest::newRow("FRAME") << int(TWTY_FRAME) << 16;
    QTest::newRow("STR32") << int(TWTY_STR32) << 34;
    QTest::newRow("STR64") << int(TWTY_STR64) << 66;
    QTest::newRow("STR128") << int(TWTY_STR128) << 130;
    QTest::newRow("STR255") << int(TWTY_STR255) << 256;
    QTest::newRow("STR1024") << int(TWTY_STR1024) << 1026;
    QTest::newRow("UNI512") << int(TWTY_UNI512) << 1024;
    QTest::newRow("HANDLE, 32-bit wire size on every host") << int(TWTY_HANDLE) << 4;
    QTest::newRow("first unknown") << int(TWTY_HANDLE + 1) << 0;
    QTest::newRow("largest") << 0xFFFF << 0;
}

void TestTwainContainer::itemSizes()
{
    QFETCH(int, itemType);
    QFETCH(int, size);
    QCOMPARE(int(codec::itemSize(quint16(itemType))), size);
}

void TestTwainContainer::forms_data()
{
    QTest::addColumn<int>("conType");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("itemsAt");
    QTest::addColumn<int>("structSize");
    QTest::addColumn<bool>("counted");
    QTest::newRow("one value") << int(TWON_ONEVALUE) << true << 2 << 6 << false;
    QTest::newRow("array") << int(TWON_ARRAY) << true << 6 << 8 << true;
    QTest::newRow("enumeration") << int(TWON_ENUMERATION) << true << 14 << 16 << true;
    QTest::newRow("range") << int(TWON_RANGE) << true << 2 << 22 << false;
    QTest::newRow("don't care") << int(TWON_DONTCARE16) << false << 0 << 0 << false;
    QTest::newRow("below the forms") << 2 << false << 0 << 0 << false;
}

void TestTwainContainer::forms()
{
    QFETCH(int, conType);
    QFETCH(bool, known);
    const codec::ContainerForm* form = codec::containerForm(quint16(conType));
    QCOMPARE(form != nullptr, known);
    if (!form)
        return;
    QFETCH(int, itemsAt);
    QFETCH(int, structSize);
    QFETCH(bool, counted);
    QCOMPARE(int(form->conType), conType);
    QCOMPARE(int(form->itemsAt), itemsAt);
    QCOMPARE(int(form->structSize), structSize);
    QCOMPARE(form->counted, counted);
}

void TestTwainContainer::bytes_data()
{
    QTest::addColumn<int>("conType");
    QTest::addColumn<int>("itemType");
    QTest::addColumn<quint64>("count");
    QTest::addColumn<quint64>("needed");
    QTest::addColumn<quint64>("allocated");
    QTest::newRow("one UINT16") << int(TWON_ONEVALUE) << int(TWTY_UINT16) << quint64(1) << quint64(4)
                                << quint64(6);
    QTest::newRow("one FIX32") << int(TWON_ONEVALUE) << int(TWTY_FIX32) << quint64(1) << quint64(6) << quint64(6);
    QTest::newRow("one FRAME, inline") << int(TWON_ONEVALUE) << int(TWTY_FRAME) << quint64(1) << quint64(18)
                                       << quint64(22);
    QTest::newRow("one STR255, inline") << int(TWON_ONEVALUE) << int(TWTY_STR255) << quint64(1) << quint64(258)
                                        << quint64(262);
    QTest::newRow("array of 3 UINT16") << int(TWON_ARRAY) << int(TWTY_UINT16) << quint64(3) << quint64(12)
                                       << quint64(14);
    QTest::newRow("empty array") << int(TWON_ARRAY) << int(TWTY_UINT32) << quint64(0) << quint64(6) << quint64(8);
    QTest::newRow("enumeration of 4 FIX32") << int(TWON_ENUMERATION) << int(TWTY_FIX32) << quint64(4)
                                            << quint64(30) << quint64(32);
    QTest::newRow("enumeration of 2 STR32") << int(TWON_ENUMERATION) << int(TWTY_STR32) << quint64(2)
                                            << quint64(82) << quint64(84);
    QTest::newRow("range of INT8, whole slots") << int(TWON_RANGE) << int(TWTY_INT8) << quint64(1) << quint64(22)
                                                << quint64(22);
    QTest::newRow("range of FIX32") << int(TWON_RANGE) << int(TWTY_FIX32) << quint64(1) << quint64(22)
                                    << quint64(22);
    QTest::newRow("enumeration, most items a block can claim")
        << int(TWON_ENUMERATION) << int(TWTY_STR1024) << quint64(0xFFFFFFFFu)
        << quint64(14 + 0xFFFFFFFFull * 1026) << quint64(16 + 0xFFFFFFFFull * 1026);
    QTest::newRow("count that overflows") << int(TWON_ARRAY) << int(TWTY_UINT32) << ~quint64(0) << ~quint64(0)
                                          << ~quint64(0);
    QTest::newRow("unknown item type: items of no bytes")
        << int(TWON_ENUMERATION) << 0x40 << quint64(5) << quint64(14) << quint64(16);
    QTest::newRow("unknown form") << 9 << int(TWTY_UINT16) << quint64(1) << quint64(0) << quint64(0);
}

void TestTwainContainer::bytes()
{
    QFETCH(int, conType);
    QFETCH(int, itemType);
    QFETCH(quint64, count);
    QFETCH(quint64, needed);
    QFETCH(quint64, allocated);
    QCOMPARE(quint64(codec::containerBytesNeeded(quint16(conType), quint16(itemType), count)), needed);
    QCOMPARE(quint64(codec::containerBytesToAllocate(quint16(conType), quint16(itemType), count)), allocated);
}

QTEST_APPLESS_MAIN(TestTwainContainer)
#include "tst_twaincontainer.moc"
