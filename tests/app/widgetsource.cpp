// A data source built with Qt Widgets, as many Linux sources are: enabled with
// its user interface it shows a QDialog in the host's process, which needs the
// host to run a QApplication. Once the dialog is visible it writes the Qt
// platform and the dialog's title to the file that WIDGETSOURCE_REPORT names.

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QGuiApplication>

#include <cstring>

#include "twain/twain.h"

#define WIDGETSOURCE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char kTitle[] = "pelirand Widget Source dialog";
QDialog* s_pDialog = nullptr;
TW_UINT16 s_conditionCode = TWCC_SUCCESS;

TW_UINT16 refuse(TW_UINT16 conditionCode)
{
    s_conditionCode = conditionCode;
    return TWRC_FAILURE;
}

void setName(TW_STR32& field, const char* pszText)
{
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, pszText, std::strlen(pszText));
}

TW_UINT16 identity(TW_UINT16 MSG, pTW_IDENTITY pIdentity)
{
    switch (MSG) {
    case MSG_GET: {
        const TW_UINT32 id = pIdentity->Id;
        std::memset(pIdentity, 0, sizeof(*pIdentity));
        pIdentity->Id = id;
        pIdentity->Version.MajorNum = 1;
        pIdentity->ProtocolMajor = 2;
        pIdentity->ProtocolMinor = 4;
        pIdentity->SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
        setName(pIdentity->Manufacturer, "pelirand tests");
        setName(pIdentity->ProductFamily, "Widgets");
        setName(pIdentity->ProductName, "pelirand Widget Source");
        return TWRC_SUCCESS;
    }
    case MSG_OPENDS:
        return TWRC_SUCCESS;
    case MSG_CLOSEDS:
        delete s_pDialog;
        s_pDialog = nullptr;
        return TWRC_SUCCESS;
    default:
        return refuse(TWCC_BADPROTOCOL);
    }
}

void report()
{
    QFile file(QString::fromLocal8Bit(qgetenv("WIDGETSOURCE_REPORT")));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QGuiApplication::platformName().toUtf8() + '\n');
    file.write(s_pDialog && s_pDialog->isVisible() ? s_pDialog->windowTitle().toUtf8()
                                                   : QByteArray("hidden"));
}

TW_UINT16 userInterface(TW_UINT16 MSG, pTW_USERINTERFACE pUI)
{
    switch (MSG) {
    case MSG_ENABLEDS:
        if (pUI->ShowUI) {
            // A Qt Widgets source takes the host's QApplication for granted.
            if (!s_pDialog)
                s_pDialog = new QDialog;
            s_pDialog->setWindowTitle(QString::fromLatin1(kTitle));
            s_pDialog->show();
            report();
        }
        return TWRC_SUCCESS;
    case MSG_DISABLEDS:
        if (s_pDialog)
            s_pDialog->hide();
        return TWRC_SUCCESS;
    default:
        return refuse(TWCC_BADPROTOCOL);
    }
}

} // namespace

WIDGETSOURCE_EXPORT TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT,
                                                       TW_UINT16 MSG, TW_MEMREF pData)
{
    (void)pOrigin;
    if (DG != DG_CONTROL || !pData)
        return refuse(TWCC_BADPROTOCOL);
    switch (DAT) {
    case DAT_IDENTITY:
        return identity(MSG, static_cast<pTW_IDENTITY>(pData));
    case DAT_ENTRYPOINT:
        return TWRC_SUCCESS;
    case DAT_STATUS:
        static_cast<pTW_STATUS>(pData)->ConditionCode = s_conditionCode;
        s_conditionCode = TWCC_SUCCESS;
        return TWRC_SUCCESS;
    case DAT_USERINTERFACE:
        return userInterface(MSG, static_cast<pTW_USERINTERFACE>(pData));
    case DAT_CAPABILITY:
        // Takes every setting and reports none, as a program that only sets what it needs expects.
        return MSG == MSG_SET ? TWRC_SUCCESS : refuse(TWCC_CAPUNSUPPORTED);
    case DAT_EVENT:
        return MSG == MSG_PROCESSEVENT ? TWRC_NOTDSEVENT : refuse(TWCC_BADPROTOCOL);
    default:
        return refuse(TWCC_BADPROTOCOL);
    }
}
