#include "client/scan/scanlisting.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstring>

#include "client/scan/scanconsole.h"
#include "twain/twain.h"

#include <pelirand/sanetwain.h>

namespace pelirand {

int openScanSource(TwainSession& session, Bridge& bridge, const ScanOptions& o)
{
    QString sSource = o.sSource;
    if (sSource.isEmpty()) {
        // None named: the first that can scan, not whatever the DSM lists first.
        SourceIdentity scanner;
        const TwainResult found = session.scannerSource(scanner);
        if (found.kind() == TwainResult::BridgeLost)
            return scanFailure(kExitBridge, bridge.endReason());
        if (!found && found.kind() == TwainResult::Refused)
            return scanFailure(kExitNoScanner,
                               QStringLiteral("no scanner found: %1; the simulated scanner is `-s '%2'`")
                                   .arg(found.reason(), TwainSession::simulatedScannerName()));
        if (found)
            sSource = scanner.productName;
    }
    const TwainResult r = session.openSource(sSource);
    if (!r) {
        if (r.kind() == TwainResult::BridgeLost)
            return scanFailure(kExitBridge, bridge.endReason());
        if (!o.sSource.isEmpty() && r.conditionCode() == TWCC_NODS) {
            QString sWhy = r.reason().isEmpty() ? QStringLiteral("no source is named \"%1\"").arg(o.sSource)
                                                : r.reason();
            // scanimage's --source names the paper's way in, which is --feeder or --flatbed here.
            const QString sLower = o.sSource.toLower();
            if (sLower.contains(QLatin1String("feeder")) || sLower.contains(QLatin1String("adf")) ||
                sLower.contains(QLatin1String("flatbed")) || sLower.contains(QLatin1String("duplex")))
                sWhy += QStringLiteral(" (--source chooses the TWAIN source; for the paper's way in give "
                                       "--feeder, --flatbed or --duplex)");
            return scanFailure(kExitNoSource, sWhy);
        }
        if (!o.sDevice.isEmpty() && r.conditionCode() == TWCC_CHECKDEVICEONLINE) {
            const QString sHost = saneNetHost(o.sDevice);
            return scanFailure(kExitNoSource,
                               sHost.isEmpty()
                                   ? QStringLiteral("no scanner found: the SANE device %1 cannot be opened "
                                                    "(see -L for the devices)")
                                         .arg(o.sDevice)
                                   : QStringLiteral("no scanner found at %1: the SANE device %2 cannot be opened")
                                         .arg(sHost, o.sDevice));
        }
        if (!o.sDevice.isEmpty() && r.conditionCode() == TWCC_OPERATIONERROR)
            return scanFailure(kExitNoSource,
                               QStringLiteral("SANE cannot be used here (is libsane1 installed?)"));
        if (o.sSource.isEmpty() && r.conditionCode() == TWCC_NODS)
            return scanFailure(kExitNoSource,
                               QStringLiteral("no TWAIN source found (the DSM has no default source)"));
        return scanFailure(kExitNoSource, QStringLiteral("the source did not open: %1").arg(r.message()));
    }
    scanVerbose(o.bVerbose, QStringLiteral("opened %1").arg(session.source().productName));
    return -1;
}

ScanListing::ScanListing(TwainSession& session, Bridge& bridge, const ScanOptions& options)
    : m_session(session), m_bridge(bridge), m_options(options)
{}

int ScanListing::listSources()
{
    QList<SourceIdentity> lstSources;
    const TwainResult listed = m_session.listSources(lstSources);
    if (!listed) {
        if (listed.kind() == TwainResult::BridgeLost)
            return scanFailure(kExitBridge, m_bridge.endReason());
        return scanFailure(kExitNoSource,
                           QStringLiteral("the sources cannot be listed: %1").arg(listed.message()));
    }
    // The one a scan without --source would take.
    SourceIdentity def;
    if (!lstSources.isEmpty())
        m_session.scannerSource(def);
    if (m_options.bJson) {
        QJsonArray sources;
        for (const SourceIdentity& source : qAsConst(lstSources)) {
            QJsonObject entry{
                {QStringLiteral("productName"), source.productName},
                {QStringLiteral("manufacturer"), source.manufacturer},
                {QStringLiteral("productFamily"), source.productFamily},
                {QStringLiteral("version"), source.versionInfo},
                {QStringLiteral("protocol"),
                 QStringLiteral("%1.%2").arg(source.protocolMajor).arg(source.protocolMinor)},
                {QStringLiteral("default"), def.isValid() && def.id == source.id},
            };
            if (source.productName == QLatin1String(sanesource::kProductName)) {
                // The devices behind the SANE source, as --device takes them; why there are none otherwise.
                QString sWhy;
                QJsonArray devices;
                for (const SaneDevice& device : saneDevices(source.productName, sWhy)) {
                    devices.append(QJsonObject{{QStringLiteral("name"), device.sName},
                                               {QStringLiteral("vendor"), device.sVendor},
                                               {QStringLiteral("model"), device.sModel},
                                               {QStringLiteral("type"), device.sType},
                                               {QStringLiteral("current"), device.bCurrent}});
                }
                entry.insert(QStringLiteral("devices"), devices);
                if (devices.isEmpty())
                    entry.insert(QStringLiteral("noDevice"), sWhy);
            }
            sources.append(entry);
        }
        std::fputs(QJsonDocument(QJsonObject{{QStringLiteral("sources"), sources}}).toJson().constData(),
                   stdout);
        std::fflush(stdout);
    }
    if (lstSources.isEmpty())
        return scanFailure(kExitNoSource, QStringLiteral("no TWAIN source found (the DSM lists none)"));
    if (m_options.bJson)
        return kExitOk;
    for (const SourceIdentity& source : qAsConst(lstSources)) {
        const bool bDefault = def.isValid() && def.id == source.id;
        std::printf("%s %s  (%s, %s, version %s)\n", bDefault ? "*" : " ", qUtf8Printable(source.productName),
                    qUtf8Printable(source.manufacturer), qUtf8Printable(source.productFamily),
                    qUtf8Printable(source.versionInfo));
        if (source.productName != QLatin1String(sanesource::kProductName))
            continue;
        // Its devices follow it, indented.
        std::fflush(stdout);
        QString sWhy;
        const QList<SaneDevice> lstDevices = saneDevices(source.productName, sWhy);
        if (lstDevices.isEmpty())
            std::printf("      (no SANE device: %s)\n", qUtf8Printable(sWhy));
        for (const SaneDevice& device : lstDevices) {
            QString sWhat = QStringLiteral("%1 %2").arg(device.sVendor, device.sModel).trimmed();
            if (!device.sType.isEmpty())
                sWhat += QStringLiteral(", %1").arg(device.sType);
            std::printf("    %s --device %s%s\n", device.bCurrent ? "*" : " ", qUtf8Printable(device.sName),
                        sWhat.isEmpty() ? "" : qUtf8Printable(QStringLiteral("  (%1)").arg(sWhat)));
        }
        std::fflush(stdout);
    }
    return kExitOk;
}

QList<ScanListing::SaneDevice> ScanListing::saneDevices(const QString& sProductName, QString& sWhy)
{
    // The SANE source is opened to ask SANE for its devices.
    QList<SaneDevice> lstDevices;
    const TwainResult opened = m_session.openSource(sProductName);
    if (!opened) {
        sWhy = opened.message();
        if (opened.conditionCode() == TWCC_OPERATIONERROR)
            sWhy = QStringLiteral("SANE cannot be used here (is libsane1 installed?)");
        else if (opened.conditionCode() == TWCC_CHECKDEVICEONLINE)
            sWhy = m_options.sDevice.isEmpty()
                       ? QStringLiteral("SANE finds no device")
                       : QStringLiteral("the device %1 cannot be opened").arg(m_options.sDevice);
        return lstDevices;
    }
    for (quint16 i = 0; i < 1000; ++i) {
        sanesource::SANE_TW_DEVICE device{};
        device.Index = i;
        QByteArray block(reinterpret_cast<const char*>(&device), int(sizeof device));
        if (!m_session.call(DG_CONTROL, sanesource::SANEDAT_DEVICE, MSG_GET, block) ||
            block.size() < int(sizeof device))
            break;
        std::memcpy(&device, block.constData(), sizeof device);
        if (device.Count == 0)
            break;
        device.Name[sizeof device.Name - 1] = device.Vendor[sizeof device.Vendor - 1] = '\0';
        device.Model[sizeof device.Model - 1] = device.Type[sizeof device.Type - 1] = '\0';
        SaneDevice entry;
        entry.sName = QString::fromUtf8(device.Name);
        entry.sVendor = QString::fromUtf8(device.Vendor);
        entry.sModel = QString::fromUtf8(device.Model);
        entry.sType = QString::fromUtf8(device.Type);
        entry.bCurrent = device.Index == device.Current;
        lstDevices.append(entry);
        if (i + 1 >= device.Count)
            break;
    }
    m_session.closeSource();
    if (lstDevices.isEmpty())
        sWhy = QStringLiteral("SANE finds no device");
    return lstDevices;
}

namespace {

QJsonValue jsonValue(const QVariant& value)
{
    if (value.type() == QVariant::List) {
        QJsonArray parts;
        for (const QVariant& part : value.toList())
            parts.append(jsonValue(part));
        return parts;
    }
    if (value.type() == QVariant::LongLong)
        return double(value.toLongLong());
    return QJsonValue::fromVariant(value);
}

// A capability's name, also for the custom ones a source of ours defines; any other custom one
// is said to be the source's own.
QString capabilityLabel(quint16 cap, const QString& sProductName)
{
    if (cap >= sanesource::kCustomCapabilityBase) {
        if (sProductName == QLatin1String(sanesource::kProductName) && cap == sanesource::SANECAP_DEVICE)
            return QStringLiteral("SANECAP_DEVICE");
        return QStringLiteral("CAP_CUSTOMBASE+0x%1").arg(cap - sanesource::kCustomCapabilityBase, 3, 16,
                                                        QLatin1Char('0'));
    }
    return capabilityIdName(cap);
}

// A list of capabilities (CAP_SUPPORTEDCAPS, CAP_EXTENDEDCAPS) by their names; other values as the library
// writes them.
QString itemsText(quint16 cap, const Capability& all, const QString& sProductName)
{
    if (cap != CAP_SUPPORTEDCAPS && cap != CAP_EXTENDEDCAPS)
        return all.allowedText();
    QStringList lstNames;
    for (const QVariant& item : all.items)
        lstNames.append(capabilityLabel(quint16(item.toLongLong()), sProductName));
    if (all.items.isEmpty() && all.current().isValid())
        lstNames.append(capabilityLabel(quint16(all.current().toLongLong()), sProductName));
    return lstNames.join(QStringLiteral(", "));
}

// The capabilities to list when the source does not list its own.
const quint16 kCommonCaps[] = {CAP_XFERCOUNT,     ICAP_XFERMECH,      ICAP_PIXELTYPE,
                               ICAP_BITDEPTH,     ICAP_XRESOLUTION,   ICAP_YRESOLUTION,
                               ICAP_UNITS,        ICAP_COMPRESSION,   ICAP_IMAGEFILEFORMAT,
                               CAP_FEEDERENABLED, ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT};

} // namespace

int ScanListing::listCapabilities()
{
    const int iOpened = openScanSource(m_session, m_bridge, m_options);
    if (iOpened >= 0)
        return iOpened;
    QList<quint16> lstCaps;
    Capability supported;
    if (m_session.getCapability(CAP_SUPPORTEDCAPS, supported) && supported.itemType == TWTY_UINT16) {
        for (const QVariant& item : qAsConst(supported.items))
            lstCaps.append(quint16(item.toLongLong()));
    }
    Capability extended;
    if (m_session.getCapability(CAP_EXTENDEDCAPS, extended) && extended.itemType == TWTY_UINT16) {
        for (const QVariant& item : qAsConst(extended.items)) {
            if (!lstCaps.contains(quint16(item.toLongLong())))
                lstCaps.append(quint16(item.toLongLong()));
        }
    }
    if (lstCaps.isEmpty()) {
        scanVerbose(m_options.bVerbose,
                    QStringLiteral("the source does not list its capabilities; trying the common ones"));
        for (quint16 cap : kCommonCaps)
            lstCaps.append(cap);
    }

    const QString sProduct = m_session.source().productName;
    QJsonArray jsonCaps;
    for (quint16 cap : qAsConst(lstCaps)) {
        Capability all;
        const TwainResult got = m_session.getCapability(cap, all, MSG_GET);
        if (got.kind() == TwainResult::BridgeLost)
            return scanFailure(kExitBridge, m_bridge.endReason());
        if (!got) {
            scanVerbose(m_options.bVerbose,
                        QStringLiteral("%1 cannot be read: %2").arg(capabilityLabel(cap, sProduct), got.message()));
            continue;
        }
        QVariant current = all.current();
        QVariant def = all.defaultValue();
        if (all.containerType == TWON_ONEVALUE || all.containerType == TWON_ARRAY) {
            Capability value;
            if (m_session.getCapability(cap, value, MSG_GETDEFAULT))
                def = value.current();
        }
        if (m_options.bJson) {
            QJsonObject entry{{QStringLiteral("name"), capabilityLabel(cap, sProduct)},
                              {QStringLiteral("id"), int(cap)},
                              {QStringLiteral("type"), itemTypeName(all.itemType)},
                              {QStringLiteral("container"), containerName(all.containerType)},
                              {QStringLiteral("current"), jsonValue(current)}};
            if (def.isValid())
                entry.insert(QStringLiteral("default"), jsonValue(def));
            if (all.containerType == TWON_RANGE) {
                entry.insert(QStringLiteral("allowed"),
                             QJsonObject{{QStringLiteral("min"), jsonValue(all.minValue)},
                                         {QStringLiteral("max"), jsonValue(all.maxValue)},
                                         {QStringLiteral("step"), jsonValue(all.stepSize)}});
            } else if (all.containerType == TWON_ENUMERATION) {
                QJsonArray allowed;
                QJsonArray names;
                for (const QVariant& item : qAsConst(all.items)) {
                    allowed.append(jsonValue(item));
                    names.append(valueText(cap, item));
                }
                entry.insert(QStringLiteral("allowed"), allowed);
                entry.insert(QStringLiteral("allowedNames"), names);
            }
            jsonCaps.append(entry);
            continue;
        }
        QString sLine =
            QStringLiteral("%1  %2").arg(capabilityLabel(cap, sProduct), -22).arg(itemTypeName(all.itemType), -12);
        sLine += QStringLiteral("  current %1")
                     .arg(all.containerType == TWON_ARRAY || cap == CAP_EXTENDEDCAPS || cap == CAP_SUPPORTEDCAPS
                              ? itemsText(cap, all, sProduct)
                              : valueText(cap, current));
        if (def.isValid() && all.containerType != TWON_ARRAY)
            sLine += QStringLiteral("  default %1").arg(valueText(cap, def));
        if (all.containerType == TWON_RANGE)
            sLine += QStringLiteral("  range %1").arg(all.allowedText());
        else if (all.containerType == TWON_ENUMERATION)
            sLine += QStringLiteral("  one of %1").arg(all.allowedText());
        std::printf("%s\n", qUtf8Printable(sLine));
    }
    // A SANE device's own options, by the names --sane-option takes.
    TwainResult unread = TwainResult::ok(QStringLiteral("the device's options"));
    const QList<DeviceOption> lstOptions = deviceOptions(&unread);
    if (unread.kind() == TwainResult::BridgeLost)
        return scanFailure(kExitBridge, m_bridge.endReason());
    if (!unread)
        scanVerbose(m_options.bVerbose,
                    QStringLiteral("the device's own options cannot be listed: %1").arg(unread.message()));
    if (m_options.bJson) {
        QJsonObject doc{{QStringLiteral("source"), m_session.source().productName},
                        {QStringLiteral("capabilities"), jsonCaps}};
        if (sProduct == QLatin1String(sanesource::kProductName)) {
            QJsonArray options;
            for (const DeviceOption& option : lstOptions) {
                QJsonObject entry{{QStringLiteral("name"), option.sName},
                                  {QStringLiteral("title"), option.sTitle},
                                  {QStringLiteral("settable"), option.bSettable}};
                if (!option.sUnit.isEmpty())
                    entry.insert(QStringLiteral("unit"), option.sUnit);
                if (!option.sValue.isEmpty())
                    entry.insert(QStringLiteral("current"), option.sValue);
                if (!option.sAllowed.isEmpty())
                    entry.insert(QStringLiteral("allowed"), option.sAllowed);
                options.append(entry);
            }
            doc.insert(QStringLiteral("deviceOptions"), options);
        }
        std::fputs(QJsonDocument(doc).toJson().constData(), stdout);
    } else if (!lstOptions.isEmpty()) {
        std::printf("\nThe device's own options (set them with --sane-option NAME=VALUE):\n");
        for (const DeviceOption& option : lstOptions) {
            const QString sValue = option.sValue.isEmpty() ? QStringLiteral("-")
                                   : option.sUnit.isEmpty() ? option.sValue
                                                            : option.sValue + QLatin1Char(' ') + option.sUnit;
            QString sLine = QStringLiteral("  %1  %2").arg(option.sName, -22).arg(sValue, -14);
            if (!option.bSettable)
                sLine += QStringLiteral("  (cannot be set now)");
            else if (option.sAllowed.contains(QLatin1String("..")) && !option.sAllowed.contains(QLatin1Char('|')))
                sLine += QStringLiteral("  range ") + option.sAllowed;
            else if (option.sAllowed.startsWith(QLatin1Char('(')))
                sLine += QStringLiteral("  ") + option.sAllowed; // a remark, not values
            else if (!option.sAllowed.isEmpty())
                sLine += QStringLiteral("  one of ") + option.sAllowed;
            if (!option.sTitle.isEmpty())
                sLine += QStringLiteral("  [%1]").arg(option.sTitle);
            std::printf("%s\n", qUtf8Printable(sLine));
        }
    }
    std::fflush(stdout);
    return kExitOk;
}

QList<ScanListing::DeviceOption> ScanListing::deviceOptions(TwainResult* pUnread)
{
    QList<DeviceOption> lstOptions;
    if (m_session.source().productName != QLatin1String(sanesource::kProductName))
        return lstOptions;
    for (quint16 i = 0; i < 0xFFFF; ++i) {
        sanesource::SANE_TW_OPTIONINFO info{};
        info.Index = i;
        QByteArray block(reinterpret_cast<const char*>(&info), int(sizeof info));
        const TwainResult r = m_session.call(DG_CONTROL, sanesource::SANEDAT_OPTIONINFO, MSG_GET, block);
        if (!r) {
            // Past the end at once: a device without options.
            if (pUnread && !(i == 0 && r.conditionCode() == TWCC_BADVALUE))
                *pUnread = r;
            break;
        }
        if (block.size() < int(sizeof info))
            break;
        std::memcpy(&info, block.constData(), sizeof info);
        info.Name[sizeof info.Name - 1] = info.Title[sizeof info.Title - 1] = '\0';
        info.Unit[sizeof info.Unit - 1] = info.Value[sizeof info.Value - 1] = '\0';
        info.Allowed[sizeof info.Allowed - 1] = '\0';
        DeviceOption option;
        option.sName = QString::fromUtf8(info.Name);
        option.sTitle = QString::fromUtf8(info.Title);
        option.sUnit = QString::fromUtf8(info.Unit);
        option.sValue = QString::fromUtf8(info.Value);
        option.sAllowed = QString::fromUtf8(info.Allowed);
        option.bSettable = info.Settable != 0;
        lstOptions.append(option);
        if (i + 1 >= info.Count)
            break;
    }
    return lstOptions;
}

} // namespace pelirand
