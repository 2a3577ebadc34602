#include "diag/twnames.h"

#include <QSet>
#include <QtTest>

#include <cstring>

namespace {

using NameFn = const char* (*)(unsigned short);

struct NameSet
{
    const char* pFunction;
    NameFn fnName;
    const char* pNamePrefix;
    int iNamedCount;
};

const NameSet kNameSets[] = {
    {"TwrcName", TwrcName, "TWRC_", 10}, {"TwccName", TwccName, "TWCC_", 28}, {"DgName", DgName, "DG_", 3},
    {"DatName", DatName, "DAT_", 35},    {"MsgName", MsgName, "MSG_", 40},
};

} // namespace

Q_DECLARE_METATYPE(NameFn)

class tst_TwNames : public QObject
{
    Q_OBJECT

private slots:
    void name_data();
    void name();
    void namedSets_data();
    void namedSets();
    void fallbacksRotateThroughThreeBuffers();
    void namedCodeIsStable();
};

void tst_TwNames::name_data()
{
    QTest::addColumn<NameFn>("fnName");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("TWRC first") << NameFn(TwrcName) << 0x0000 << "TWRC_SUCCESS";
    QTest::newRow("TWRC last") << NameFn(TwrcName) << 0x0009 << "TWRC_DATANOTAVAILABLE";
    QTest::newRow("TWRC_BUSY unnamed") << NameFn(TwrcName) << 0x000A << "ReturnCode 0x:000A";

    QTest::newRow("TWCC first") << NameFn(TwccName) << 0x0000 << "TWCC_SUCCESS";
    QTest::newRow("TWCC 6") << NameFn(TwccName) << 0x0006 << "TWCC_BADCAP";
    QTest::newRow("TWCC 7 unnamed") << NameFn(TwccName) << 0x0007 << "ConditionCode 0x:0007";
    QTest::newRow("TWCC 8 unnamed") << NameFn(TwccName) << 0x0008 << "ConditionCode 0x:0008";
    QTest::newRow("TWCC 9") << NameFn(TwccName) << 0x0009 << "TWCC_BADPROTOCOL";
    QTest::newRow("TWCC denied") << NameFn(TwccName) << 0x0010 << "TWCC_DENIED";
    QTest::newRow("TWCC last") << NameFn(TwccName) << 0x001D << "TWCC_NOMEDIA";
    QTest::newRow("TWCC past last") << NameFn(TwccName) << 0x001E << "ConditionCode 0x:001E";

    QTest::newRow("DG control") << NameFn(DgName) << 0x0001 << "DG_CONTROL";
    QTest::newRow("DG image") << NameFn(DgName) << 0x0002 << "DG_IMAGE";
    QTest::newRow("DG 3 unnamed") << NameFn(DgName) << 0x0003 << "DataGroup 0x:0003";
    QTest::newRow("DG audio") << NameFn(DgName) << 0x0004 << "DG_AUDIO";

    QTest::newRow("DAT first") << NameFn(DatName) << 0x0000 << "DAT_NULL";
    QTest::newRow("DAT 0x0A") << NameFn(DatName) << 0x000A << "DAT_XFERGROUP";
    QTest::newRow("DAT 0x0B unnamed") << NameFn(DatName) << 0x000B << "DataArgumentType 0x:000B";
    QTest::newRow("DAT 0x0C") << NameFn(DatName) << 0x000C << "DAT_CUSTOMDSDATA";
    QTest::newRow("DAT 0x11") << NameFn(DatName) << 0x0011 << "DAT_STATUSUTF8";
    QTest::newRow("DAT_CALLBACK2") << NameFn(DatName) << 0x0012 << "DAT_CALLBACK2";
    QTest::newRow("DAT image first") << NameFn(DatName) << 0x0101 << "DAT_IMAGEINFO";
    QTest::newRow("DAT image last") << NameFn(DatName) << 0x010B << "DAT_EXTIMAGEINFO";
    QTest::newRow("DAT_FILTER unnamed") << NameFn(DatName) << 0x010C << "DataArgumentType 0x:010C";
    QTest::newRow("DAT audio") << NameFn(DatName) << 0x0203 << "DAT_AUDIONATIVEXFER";
    QTest::newRow("DAT 0x0401") << NameFn(DatName) << 0x0401 << "DAT_ICCPROFILE";
    QTest::newRow("DAT entry point") << NameFn(DatName) << 0x0403 << "DAT_ENTRYPOINT";

    QTest::newRow("MSG 0 unnamed") << NameFn(MsgName) << 0x0000 << "Message 0x:0000";
    QTest::newRow("MSG get") << NameFn(MsgName) << 0x0001 << "MSG_GET";
    QTest::newRow("MSG 0x0B") << NameFn(MsgName) << 0x000B << "MSG_GETLABELENUM";
    QTest::newRow("MSG_SETCONSTRAINT unnamed") << NameFn(MsgName) << 0x000C << "Message 0x:000C";
    QTest::newRow("MSG xferready") << NameFn(MsgName) << 0x0101 << "MSG_XFERREADY";
    QTest::newRow("MSG deviceevent") << NameFn(MsgName) << 0x0104 << "MSG_DEVICEEVENT";
    QTest::newRow("MSG opendsm") << NameFn(MsgName) << 0x0301 << "MSG_OPENDSM";
    QTest::newRow("MSG userselect") << NameFn(MsgName) << 0x0403 << "MSG_USERSELECT";
    QTest::newRow("MSG enabledsuionly") << NameFn(MsgName) << 0x0503 << "MSG_ENABLEDSUIONLY";
    QTest::newRow("MSG processevent") << NameFn(MsgName) << 0x0601 << "MSG_PROCESSEVENT";
    QTest::newRow("MSG stopfeeder") << NameFn(MsgName) << 0x0702 << "MSG_STOPFEEDER";
    QTest::newRow("MSG 0x080B") << NameFn(MsgName) << 0x080B << "MSG_AUTOMATICCAPTUREDIRECTORY";
    QTest::newRow("MSG register callback") << NameFn(MsgName) << 0x0902 << "MSG_REGISTER_CALLBACK";
    QTest::newRow("MSG_INVOKE_CALLBACK unnamed") << NameFn(MsgName) << 0x0903 << "Message 0x:0903";
    QTest::newRow("MSG resetall") << NameFn(MsgName) << 0x0A01 << "MSG_RESETALL";
    QTest::newRow("MSG_SETTASK unnamed") << NameFn(MsgName) << 0x0B01 << "Message 0x:0B01";
    QTest::newRow("largest code") << NameFn(MsgName) << 0xFFFF << "Message 0x:FFFF";
}

void tst_TwNames::name()
{
    QFETCH(NameFn, fnName);
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(QString::fromLatin1(fnName(static_cast<unsigned short>(code))), text);
}

void tst_TwNames::namedSets_data()
{
    QTest::addColumn<int>("set");
    for (int i = 0; i < int(sizeof kNameSets / sizeof kNameSets[0]); ++i)
        QTest::newRow(kNameSets[i].pFunction) << i;
}

// Over every 16-bit code: exactly the expected number of names, each with its
// family's prefix and used once; everything else falls back.
void tst_TwNames::namedSets()
{
    QFETCH(int, set);
    const NameSet& names = kNameSets[set];
    QSet<QByteArray> seen;
    for (int code = 0; code <= 0xFFFF; ++code) {
        const char* pName = names.fnName(static_cast<unsigned short>(code));
        QVERIFY(pName);
        if (std::strncmp(pName, names.pNamePrefix, std::strlen(names.pNamePrefix)) == 0) {
            QVERIFY2(!seen.contains(pName), pName);
            seen.insert(pName);
        } else {
            QVERIFY2(QByteArray(pName).endsWith(
                         QByteArray(" 0x:") + QByteArray::number(code, 16).toUpper().rightJustified(4, '0')),
                     pName);
        }
    }
    QCOMPARE(seen.size(), names.iNamedCount);
}

void tst_TwNames::fallbacksRotateThroughThreeBuffers()
{
    // As one call line names its triplet.
    const char* pMsg = MsgName(0x000C);
    const char* pDat = DatName(0x0013);
    const char* pDg = DgName(0x0003);
    QVERIFY(pMsg != pDat && pDat != pDg && pMsg != pDg);
    QCOMPARE(pMsg, "Message 0x:000C");
    QCOMPARE(pDat, "DataArgumentType 0x:0013");
    QCOMPARE(pDg, "DataGroup 0x:0003");

    // Named codes take no buffer.
    QCOMPARE(TwrcName(1), "TWRC_FAILURE");
    QCOMPARE(pMsg, "Message 0x:000C");

    const char* pFourth = TwrcName(0x000B);
    QCOMPARE(static_cast<const void*>(pFourth), static_cast<const void*>(pMsg));
    QCOMPARE(pMsg, "ReturnCode 0x:000B");
    QCOMPARE(pDat, "DataArgumentType 0x:0013");
    QCOMPARE(pDg, "DataGroup 0x:0003");
}

void tst_TwNames::namedCodeIsStable()
{
    const char* pFirst = DatName(0x0001);
    for (int i = 0; i < 5; ++i)
        MsgName(0x7777); // fallbacks in between change nothing
    QCOMPARE(static_cast<const void*>(DatName(0x0001)), static_cast<const void*>(pFirst));
    QCOMPARE(pFirst, "DAT_CAPABILITY");
}

QTEST_GUILESS_MAIN(tst_TwNames)
#include "tst_twnames.moc"
