#include "pelirand/capability.h"

#include <QStringList>

#include <cmath>

#include "pelirand/twainblocks.h"

#include "codec/twaincontainer.h"
#include "twain/twain.h"

namespace pelirand {

namespace {

struct Named
{
    qint64 value;
    const char* name;
};

#define N(x)                                                                                                 \
    {                                                                                                        \
        qint64(x), #x                                                                                        \
    }

const Named kCapNames[] = {
    N(CAP_XFERCOUNT),
    N(ICAP_COMPRESSION),
    N(ICAP_PIXELTYPE),
    N(ICAP_UNITS),
    N(ICAP_XFERMECH),
    N(CAP_AUTHOR),
    N(CAP_CAPTION),
    N(CAP_FEEDERENABLED),
    N(CAP_FEEDERLOADED),
    N(CAP_TIMEDATE),
    N(CAP_SUPPORTEDCAPS),
    N(CAP_EXTENDEDCAPS),
    N(CAP_AUTOFEED),
    N(CAP_CLEARPAGE),
    N(CAP_FEEDPAGE),
    N(CAP_REWINDPAGE),
    N(CAP_INDICATORS),
    N(CAP_SUPPORTEDCAPSEXT),
    N(CAP_PAPERDETECTABLE),
    N(CAP_UICONTROLLABLE),
    N(CAP_DEVICEONLINE),
    N(CAP_AUTOSCAN),
    N(CAP_THUMBNAILSENABLED),
    N(CAP_DUPLEX),
    N(CAP_DUPLEXENABLED),
    N(CAP_ENABLEDSUIONLY),
    N(CAP_CUSTOMDSDATA),
    N(CAP_ENDORSER),
    N(CAP_JOBCONTROL),
    N(CAP_ALARMS),
    N(CAP_ALARMVOLUME),
    N(CAP_AUTOMATICCAPTURE),
    N(CAP_TIMEBEFOREFIRSTCAPTURE),
    N(CAP_TIMEBETWEENCAPTURES),
    N(CAP_CLEARBUFFERS),
    N(CAP_MAXBATCHBUFFERS),
    N(CAP_DEVICETIMEDATE),
    N(CAP_POWERSUPPLY),
    N(CAP_CAMERAPREVIEWUI),
    N(CAP_DEVICEEVENT),
    N(CAP_PAGEMULTIPLEACQUIRE),
    N(CAP_SERIALNUMBER),
    N(CAP_PRINTER),
    N(CAP_PRINTERENABLED),
    N(CAP_PRINTERINDEX),
    N(CAP_PRINTERMODE),
    N(CAP_PRINTERSTRING),
    N(CAP_PRINTERSUFFIX),
    N(CAP_LANGUAGE),
    N(CAP_FEEDERALIGNMENT),
    N(CAP_FEEDERORDER),
    N(CAP_PAPERBINDING),
    N(CAP_REACQUIREALLOWED),
    N(CAP_PASSTHRU),
    N(CAP_BATTERYMINUTES),
    N(CAP_BATTERYPERCENTAGE),
    N(CAP_CAMERASIDE),
    N(CAP_POWERDOWNTIME),
    N(CAP_SEGMENTED),
    N(CAP_CAMERAENABLED),
    N(CAP_CAMERAORDER),
    N(CAP_MICRENABLED),
    N(CAP_FEEDERPREP),
    N(CAP_FEEDERPOCKET),
    N(CAP_AUTOMATICSENSEMEDIUM),
    N(CAP_CUSTOMINTERFACEGUID),
    N(CAP_SUPPORTEDCAPSSEGMENTUNIQUE),
    N(CAP_SUPPORTEDDATS),
    N(CAP_DOUBLEFEEDDETECTION),
    N(CAP_DOUBLEFEEDDETECTIONLENGTH),
    N(CAP_DOUBLEFEEDDETECTIONSENSITIVITY),
    N(CAP_DOUBLEFEEDDETECTIONRESPONSE),
    N(CAP_PAPERHANDLING),
    N(CAP_INDICATORSMODE),
    N(CAP_PRINTERVERTICALOFFSET),
    N(CAP_POWERSAVETIME),
    N(CAP_PRINTERCHARROTATION),
    N(CAP_PRINTERFONTSTYLE),
    N(CAP_PRINTERINDEXLEADCHAR),
    N(CAP_PRINTERINDEXMAXVALUE),
    N(CAP_PRINTERINDEXNUMDIGITS),
    N(CAP_PRINTERINDEXSTEP),
    N(CAP_PRINTERINDEXTRIGGER),
    N(CAP_PRINTERSTRINGPREVIEW),
    N(CAP_SHEETCOUNT),
    N(ICAP_AUTOBRIGHT),
    N(ICAP_BRIGHTNESS),
    N(ICAP_CONTRAST),
    N(ICAP_CUSTHALFTONE),
    N(ICAP_EXPOSURETIME),
    N(ICAP_FILTER),
    N(ICAP_FLASHUSED),
    N(ICAP_GAMMA),
    N(ICAP_HALFTONES),
    N(ICAP_HIGHLIGHT),
    N(ICAP_IMAGEFILEFORMAT),
    N(ICAP_LAMPSTATE),
    N(ICAP_LIGHTSOURCE),
    N(ICAP_ORIENTATION),
    N(ICAP_PHYSICALWIDTH),
    N(ICAP_PHYSICALHEIGHT),
    N(ICAP_SHADOW),
    N(ICAP_FRAMES),
    N(ICAP_XNATIVERESOLUTION),
    N(ICAP_YNATIVERESOLUTION),
    N(ICAP_XRESOLUTION),
    N(ICAP_YRESOLUTION),
    N(ICAP_MAXFRAMES),
    N(ICAP_TILES),
    N(ICAP_BITORDER),
    N(ICAP_CCITTKFACTOR),
    N(ICAP_LIGHTPATH),
    N(ICAP_PIXELFLAVOR),
    N(ICAP_PLANARCHUNKY),
    N(ICAP_ROTATION),
    N(ICAP_SUPPORTEDSIZES),
    N(ICAP_THRESHOLD),
    N(ICAP_XSCALING),
    N(ICAP_YSCALING),
    N(ICAP_BITORDERCODES),
    N(ICAP_PIXELFLAVORCODES),
    N(ICAP_JPEGPIXELTYPE),
    N(ICAP_TIMEFILL),
    N(ICAP_BITDEPTH),
    N(ICAP_BITDEPTHREDUCTION),
    N(ICAP_UNDEFINEDIMAGESIZE),
    N(ICAP_IMAGEDATASET),
    N(ICAP_EXTIMAGEINFO),
    N(ICAP_MINIMUMHEIGHT),
    N(ICAP_MINIMUMWIDTH),
    N(ICAP_AUTODISCARDBLANKPAGES),
    N(ICAP_FLIPROTATION),
    N(ICAP_BARCODEDETECTIONENABLED),
    N(ICAP_SUPPORTEDBARCODETYPES),
    N(ICAP_BARCODEMAXSEARCHPRIORITIES),
    N(ICAP_BARCODESEARCHPRIORITIES),
    N(ICAP_BARCODESEARCHMODE),
    N(ICAP_BARCODEMAXRETRIES),
    N(ICAP_BARCODETIMEOUT),
    N(ICAP_ZOOMFACTOR),
    N(ICAP_PATCHCODEDETECTIONENABLED),
    N(ICAP_SUPPORTEDPATCHCODETYPES),
    N(ICAP_PATCHCODEMAXSEARCHPRIORITIES),
    N(ICAP_PATCHCODESEARCHPRIORITIES),
    N(ICAP_PATCHCODESEARCHMODE),
    N(ICAP_PATCHCODEMAXRETRIES),
    N(ICAP_PATCHCODETIMEOUT),
    N(ICAP_FLASHUSED2),
    N(ICAP_IMAGEFILTER),
    N(ICAP_NOISEFILTER),
    N(ICAP_OVERSCAN),
    N(ICAP_AUTOMATICBORDERDETECTION),
    N(ICAP_AUTOMATICDESKEW),
    N(ICAP_AUTOMATICROTATE),
    N(ICAP_JPEGQUALITY),
    N(ICAP_FEEDERTYPE),
    N(ICAP_ICCPROFILE),
    N(ICAP_AUTOSIZE),
    N(ICAP_AUTOMATICCROPUSESFRAME),
    N(ICAP_AUTOMATICLENGTHDETECTION),
    N(ICAP_AUTOMATICCOLORENABLED),
    N(ICAP_AUTOMATICCOLORNONCOLORPIXELTYPE),
    N(ICAP_COLORMANAGEMENTENABLED),
    N(ICAP_IMAGEMERGE),
    N(ICAP_IMAGEMERGEHEIGHTTHRESHOLD),
    N(ICAP_SUPPORTEDEXTIMAGEINFO),
    N(ICAP_FILMTYPE),
    N(ICAP_MIRROR),
    N(ICAP_JPEGSUBSAMPLING),
    N(ACAP_AUDIOFILEFORMAT),
    N(ACAP_XFERMECH),
};
const Named kPixeltypeValues[] = {
    N(TWPT_BW),       N(TWPT_GRAY),   N(TWPT_RGB),    N(TWPT_PALETTE), N(TWPT_CMY),    N(TWPT_CMYK),
    N(TWPT_YUV),      N(TWPT_YUVK),   N(TWPT_CIEXYZ), N(TWPT_LAB),     N(TWPT_SRGB),   N(TWPT_SCRGB),
    N(TWPT_INFRARED), N(TWPT_SRGB64), N(TWPT_BGR),    N(TWPT_CIELAB),  N(TWPT_CIELUV), N(TWPT_YCBCR),
};
const Named kXfermechValues[] = {
    N(TWSX_NATIVE), N(TWSX_FILE), N(TWSX_MEMORY), N(TWSX_FILE2), N(TWSX_MEMFILE),
};
const Named kUnitsValues[] = {
    N(TWUN_INCHES), N(TWUN_CENTIMETERS), N(TWUN_PICAS),       N(TWUN_POINTS),
    N(TWUN_TWIPS),  N(TWUN_PIXELS),      N(TWUN_MILLIMETERS),
};
const Named kCompressionValues[] = {
    N(TWCP_NONE),   N(TWCP_PACKBITS), N(TWCP_GROUP31D),  N(TWCP_GROUP31DEOL), N(TWCP_GROUP32D),
    N(TWCP_GROUP4), N(TWCP_JPEG),     N(TWCP_LZW),       N(TWCP_JBIG),        N(TWCP_PNG),
    N(TWCP_RLE4),   N(TWCP_RLE8),     N(TWCP_BITFIELDS), N(TWCP_ZIP),         N(TWCP_JPEG2000),
};
const Named kImagefileformatValues[] = {
    N(TWFF_TIFF),      N(TWFF_PICT), N(TWFF_BMP),    N(TWFF_XBM),  N(TWFF_JFIF),  N(TWFF_FPX),
    N(TWFF_TIFFMULTI), N(TWFF_PNG),  N(TWFF_SPIFF),  N(TWFF_EXIF), N(TWFF_PDF),   N(TWFF_JP2),
    N(TWFF_JPN),       N(TWFF_JPX),  N(TWFF_DEJAVU), N(TWFF_PDFA), N(TWFF_PDFA2), N(TWFF_PDFRASTER),
};
const Named kPixelflavorValues[] = {
    N(TWPF_CHOCOLATE),
    N(TWPF_VANILLA),
};
const Named kBitorderValues[] = {
    N(TWBO_LSBFIRST),
    N(TWBO_MSBFIRST),
};
const Named kLightsourceValues[] = {
    N(TWLS_RED), N(TWLS_GREEN), N(TWLS_BLUE), N(TWLS_NONE), N(TWLS_WHITE), N(TWLS_UV), N(TWLS_IR),
};
const Named kSupportedsizesValues[] = {
    N(TWSS_NONE),        N(TWSS_A4),           N(TWSS_JISB5),       N(TWSS_USLETTER),
    N(TWSS_USLEGAL),     N(TWSS_A5),           N(TWSS_ISOB4),       N(TWSS_ISOB6),
    N(TWSS_B),           N(TWSS_USLEDGER),     N(TWSS_USEXECUTIVE), N(TWSS_A3),
    N(TWSS_ISOB3),       N(TWSS_A6),           N(TWSS_C4),          N(TWSS_C5),
    N(TWSS_C6),          N(TWSS_4A0),          N(TWSS_2A0),         N(TWSS_A0),
    N(TWSS_A1),          N(TWSS_A2),           N(TWSS_A7),          N(TWSS_A8),
    N(TWSS_A9),          N(TWSS_A10),          N(TWSS_ISOB0),       N(TWSS_ISOB1),
    N(TWSS_ISOB2),       N(TWSS_ISOB5),        N(TWSS_ISOB7),       N(TWSS_ISOB8),
    N(TWSS_ISOB9),       N(TWSS_ISOB10),       N(TWSS_JISB0),       N(TWSS_JISB1),
    N(TWSS_JISB2),       N(TWSS_JISB3),        N(TWSS_JISB4),       N(TWSS_JISB6),
    N(TWSS_JISB7),       N(TWSS_JISB8),        N(TWSS_JISB9),       N(TWSS_JISB10),
    N(TWSS_C0),          N(TWSS_C1),           N(TWSS_C2),          N(TWSS_C3),
    N(TWSS_C7),          N(TWSS_C8),           N(TWSS_C9),          N(TWSS_C10),
    N(TWSS_USSTATEMENT), N(TWSS_BUSINESSCARD), N(TWSS_MAXSIZE),     N(TWSS_A4LETTER),
    N(TWSS_B3),          N(TWSS_B4),           N(TWSS_B6),          N(TWSS_B5LETTER),
};
const Named kDuplexValues[] = {
    N(TWDX_NONE),
    N(TWDX_1PASSDUPLEX),
    N(TWDX_2PASSDUPLEX),
};

const struct
{
    quint16 cap;
    const Named* names;
    int count;
} kValueNames[] = {
    {ICAP_PIXELTYPE, kPixeltypeValues, int(sizeof(kPixeltypeValues) / sizeof(kPixeltypeValues[0]))},
    {ICAP_XFERMECH, kXfermechValues, int(sizeof(kXfermechValues) / sizeof(kXfermechValues[0]))},
    {ICAP_UNITS, kUnitsValues, int(sizeof(kUnitsValues) / sizeof(kUnitsValues[0]))},
    {ICAP_COMPRESSION, kCompressionValues, int(sizeof(kCompressionValues) / sizeof(kCompressionValues[0]))},
    {ICAP_IMAGEFILEFORMAT, kImagefileformatValues,
     int(sizeof(kImagefileformatValues) / sizeof(kImagefileformatValues[0]))},
    {ICAP_PIXELFLAVOR, kPixelflavorValues, int(sizeof(kPixelflavorValues) / sizeof(kPixelflavorValues[0]))},
    {ICAP_BITORDER, kBitorderValues, int(sizeof(kBitorderValues) / sizeof(kBitorderValues[0]))},
    {ICAP_LIGHTSOURCE, kLightsourceValues, int(sizeof(kLightsourceValues) / sizeof(kLightsourceValues[0]))},
    {ICAP_SUPPORTEDSIZES, kSupportedsizesValues,
     int(sizeof(kSupportedsizesValues) / sizeof(kSupportedsizesValues[0]))},
    {CAP_DUPLEX, kDuplexValues, int(sizeof(kDuplexValues) / sizeof(kDuplexValues[0]))},
};

#undef N

const Named kItemTypes[] = {
    {TWTY_INT8, "TWTY_INT8"},     {TWTY_INT16, "TWTY_INT16"},     {TWTY_INT32, "TWTY_INT32"},
    {TWTY_UINT8, "TWTY_UINT8"},   {TWTY_UINT16, "TWTY_UINT16"},   {TWTY_UINT32, "TWTY_UINT32"},
    {TWTY_BOOL, "TWTY_BOOL"},     {TWTY_FIX32, "TWTY_FIX32"},     {TWTY_FRAME, "TWTY_FRAME"},
    {TWTY_STR32, "TWTY_STR32"},   {TWTY_STR64, "TWTY_STR64"},     {TWTY_STR128, "TWTY_STR128"},
    {TWTY_STR255, "TWTY_STR255"}, {TWTY_STR1024, "TWTY_STR1024"}, {TWTY_UNI512, "TWTY_UNI512"},
    {TWTY_HANDLE, "TWTY_HANDLE"},
};

const char* findName(const Named* table, int n, qint64 value)
{
    for (int i = 0; i < n; ++i) {
        if (table[i].value == value)
            return table[i].name;
    }
    return nullptr;
}

// Offsets in the containers.
constexpr int kOffItemType = int(codec::kContainerItemType);
constexpr int kOffNumItems = int(codec::kEnumNumItems);
constexpr int kOffOneValueItem = int(codec::kOneValueItem);
constexpr int kOffArrayList = int(codec::kArrayItemList);
constexpr int kOffEnumCurrent = int(codec::kEnumCurrentIndex);
constexpr int kOffEnumDefault = int(codec::kEnumDefaultIndex);
constexpr int kOffEnumList = int(codec::kEnumItemList);
constexpr int kOffRangeMin = int(codec::kRangeMinValue);

// An item of a range: the 4 bytes of a TW_UINT32 holding a value of the item type.
QVariant rangeItem(quint16 itemType, const QByteArray& bytes, int offset)
{
    const QByteArray four = bytes.mid(offset, 4);
    if (itemType == TWTY_FIX32)
        return fromFix32(four);
    const quint32 raw = readU32(four, 0);
    switch (itemType) {
    case TWTY_INT8:
        return qint64(qint8(raw & 0xFF));
    case TWTY_INT16:
        return qint64(qint16(raw & 0xFFFF));
    case TWTY_INT32:
        return qint64(qint32(raw));
    case TWTY_BOOL:
        return raw != 0;
    default:
        return qint64(raw);
    }
}

QVariant readItem(quint16 itemType, const QByteArray& bytes, int offset)
{
    switch (itemType) {
    case TWTY_INT8:
        return qint64(qint8(bytes.at(offset)));
    case TWTY_UINT8:
        return qint64(quint8(bytes.at(offset)));
    case TWTY_INT16:
        return qint64(qint16(readU16(bytes, offset)));
    case TWTY_UINT16:
        return qint64(readU16(bytes, offset));
    case TWTY_INT32:
        return qint64(qint32(readU32(bytes, offset)));
    case TWTY_UINT32:
        return qint64(readU32(bytes, offset));
    case TWTY_BOOL:
        return readU16(bytes, offset) != 0;
    case TWTY_FIX32:
        return fromFix32(bytes, offset);
    case TWTY_FRAME:
        return QVariantList{fromFix32(bytes, offset), fromFix32(bytes, offset + 4),
                            fromFix32(bytes, offset + 8), fromFix32(bytes, offset + 12)};
    case TWTY_HANDLE:
        return quint64(readU32(bytes, offset));
    case TWTY_UNI512: {
        // UTF-16 (little-endian) up to the first zero unit.
        QString text;
        for (int i = 0; i + 1 < 512; i += 2) {
            const quint16 unit = readU16(bytes, offset + i);
            if (unit == 0)
                break;
            text.append(QChar(unit));
        }
        return text;
    }
    default: {
        // Strings: up to the first zero byte.
        const int nSize = itemSize(itemType);
        const QByteArray text = bytes.mid(offset, nSize);
        const int nEnd = text.indexOf('\0');
        return QString::fromLatin1(nEnd < 0 ? text : text.left(nEnd));
    }
    }
}

double toDouble(const QVariant& value)
{
    return value.toDouble();
}

} // namespace

QVariant Capability::current() const
{
    switch (containerType) {
    case TWON_ONEVALUE:
        return items.value(0);
    case TWON_ENUMERATION:
        return items.value(currentIndex);
    case TWON_RANGE:
        return rangeCurrent;
    case TWON_ARRAY:
        return items;
    default:
        return QVariant();
    }
}

QVariant Capability::defaultValue() const
{
    switch (containerType) {
    case TWON_ENUMERATION:
        return items.value(defaultIndex);
    case TWON_RANGE:
        return rangeDefault;
    default:
        return QVariant();
    }
}

bool Capability::allows(double value) const
{
    switch (containerType) {
    case TWON_ENUMERATION:
        for (const QVariant& item : items) {
            if (std::fabs(toDouble(item) - value) < 1e-6)
                return true;
        }
        return false;
    case TWON_RANGE: {
        const double lo = toDouble(minValue);
        const double hi = toDouble(maxValue);
        if (value < lo - 1e-6 || value > hi + 1e-6)
            return false;
        const double step = toDouble(stepSize);
        if (step <= 0)
            return true;
        const double n = (value - lo) / step;
        return std::fabs(n - std::round(n)) < 1e-4;
    }
    default:
        return true;
    }
}

QString Capability::allowedText() const
{
    switch (containerType) {
    case TWON_ENUMERATION:
    case TWON_ARRAY: {
        QStringList names;
        for (const QVariant& item : items)
            names.append(valueText(cap, item));
        return names.join(QStringLiteral(", "));
    }
    case TWON_RANGE: {
        QString text = QStringLiteral("%1..%2").arg(valueText(cap, minValue), valueText(cap, maxValue));
        if (toDouble(stepSize) != 0)
            text += QStringLiteral(" step %1").arg(valueText(0, stepSize));
        return text;
    }
    case TWON_ONEVALUE:
        return valueText(cap, items.value(0));
    default:
        return QString();
    }
}

bool Capability::fromContainer(quint16 cap, quint16 conType, const QByteArray& bytes, Capability& result,
                               QString* pWhy)
{
    auto fail = [pWhy](const QString& sWhy) {
        if (pWhy)
            *pWhy = sWhy;
        return false;
    };
    Capability c;
    c.cap = cap;
    c.containerType = conType;
    if (bytes.size() < 2)
        return fail(QStringLiteral("the container is empty"));
    c.itemType = readU16(bytes, kOffItemType);
    const int nItemSize = itemSize(c.itemType);
    if (nItemSize == 0)
        return fail(QStringLiteral("unknown item type %1").arg(c.itemType));
    switch (conType) {
    case TWON_ONEVALUE:
        if (bytes.size() < kOffOneValueItem + nItemSize)
            return fail(QStringLiteral("the one-value container is cut short"));
        c.items.append(readItem(c.itemType, bytes, kOffOneValueItem));
        break;
    case TWON_RANGE:
        if (bytes.size() < int(codec::kRangeSize))
            return fail(QStringLiteral("the range container is cut short"));
        if (nItemSize > 4)
            return fail(QStringLiteral("a range of %1 items").arg(itemTypeName(c.itemType)));
        c.minValue = rangeItem(c.itemType, bytes, kOffRangeMin);
        c.maxValue = rangeItem(c.itemType, bytes, kOffRangeMin + 4);
        c.stepSize = rangeItem(c.itemType, bytes, kOffRangeMin + 8);
        c.rangeDefault = rangeItem(c.itemType, bytes, kOffRangeMin + 12);
        c.rangeCurrent = rangeItem(c.itemType, bytes, kOffRangeMin + 16);
        break;
    case TWON_ENUMERATION:
    case TWON_ARRAY: {
        if (bytes.size() < kOffArrayList)
            return fail(QStringLiteral("the container is cut short"));
        const quint32 nItems = readU32(bytes, kOffNumItems);
        const int nList = conType == TWON_ENUMERATION ? kOffEnumList : kOffArrayList;
        if (bytes.size() < nList || quint64(nItems) * quint64(nItemSize) > quint64(bytes.size() - nList))
            return fail(QStringLiteral("the container holds fewer items than it says (%1)").arg(nItems));
        for (quint32 i = 0; i < nItems; ++i)
            c.items.append(readItem(c.itemType, bytes, nList + int(i) * nItemSize));
        if (conType == TWON_ENUMERATION) {
            const quint32 cur = readU32(bytes, kOffEnumCurrent);
            const quint32 def = readU32(bytes, kOffEnumDefault);
            c.currentIndex = cur < nItems ? int(cur) : -1;
            c.defaultIndex = def < nItems ? int(def) : -1;
        }
        break;
    }
    default:
        return fail(QStringLiteral("unknown container type %1").arg(conType));
    }
    result = c;
    return true;
}

QString capabilityIdName(quint16 cap)
{
    if (const char* name = findName(kCapNames, int(sizeof(kCapNames) / sizeof(kCapNames[0])), cap))
        return QLatin1String(name);
    return QStringLiteral("capability 0x%1").arg(cap, 4, 16, QLatin1Char('0'));
}

QString itemTypeName(quint16 itemType)
{
    if (const char* name = findName(kItemTypes, int(sizeof(kItemTypes) / sizeof(kItemTypes[0])), itemType))
        return QLatin1String(name);
    return QStringLiteral("item type %1").arg(itemType);
}

QString containerName(quint16 conType)
{
    switch (conType) {
    case TWON_ONEVALUE:
        return QStringLiteral("TWON_ONEVALUE");
    case TWON_ENUMERATION:
        return QStringLiteral("TWON_ENUMERATION");
    case TWON_ARRAY:
        return QStringLiteral("TWON_ARRAY");
    case TWON_RANGE:
        return QStringLiteral("TWON_RANGE");
    default:
        return QStringLiteral("container %1").arg(conType);
    }
}

QString capabilityValueName(quint16 cap, qint64 value)
{
    for (const auto& entry : kValueNames) {
        if (entry.cap == cap) {
            if (const char* name = findName(entry.names, entry.count, value))
                return QLatin1String(name);
        }
    }
    return QString();
}

QString valueText(quint16 cap, const QVariant& value)
{
    switch (int(value.type())) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
    case QMetaType::Double:
        return QString::number(value.toDouble(), 'g', 10);
    case QMetaType::LongLong: {
        if (cap == CAP_SUPPORTEDCAPS || cap == CAP_EXTENDEDCAPS)
            return capabilityIdName(quint16(value.toLongLong()));
        const QString sName = capabilityValueName(cap, value.toLongLong());
        return sName.isEmpty() ? QString::number(value.toLongLong()) : sName;
    }
    case QMetaType::QVariantList: {
        QStringList parts;
        for (const QVariant& part : value.toList())
            parts.append(valueText(cap, part));
        return parts.join(QStringLiteral(", "));
    }
    case QMetaType::QString:
        return QStringLiteral("\"%1\"").arg(value.toString());
    default:
        return value.toString();
    }
}

} // namespace pelirand
