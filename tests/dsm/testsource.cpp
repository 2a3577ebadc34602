// A minimal data source for the DSM tests, built once per name.

#include "tests/dsm/testsource.h"

#include <cstring>
#include <mutex>
#include <thread>

#ifndef TESTSOURCE_NAME
#error "TESTSOURCE_NAME must name the source"
#endif
#ifndef TESTSOURCE_DS2
#error "TESTSOURCE_DS2 must be 0 or 1"
#endif

#define TESTSOURCE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct State
{
    std::mutex mutex;
    TestSourceInfo info{};
    TestSourceConfig config{0, TWRC_NOTDSEVENT, MSG_NULL, 0};
    TW_IDENTITY app{};
    TW_UINT16 conditionCode = TWCC_SUCCESS;
};

State& state()
{
    static State s;
    return s;
}

void describe(TW_IDENTITY& id)
{
    const TW_UINT32 keep = id.Id;
    std::memset(&id, 0, sizeof id);
    id.Id = keep;
    id.Version.MajorNum = 1;
    id.Version.Language = TWLG_ENGLISH;
    id.Version.Country = TWCY_USA;
    std::strncpy(id.Version.Info, "test", sizeof id.Version.Info - 1);
    id.ProtocolMajor = TESTSOURCE_DS2 ? 2 : 1;
    id.ProtocolMinor = TESTSOURCE_DS2 ? 4 : 9;
    id.SupportedGroups = DG_CONTROL | DG_IMAGE | (TESTSOURCE_DS2 ? DF_DS2 : 0);
    std::strncpy(id.Manufacturer, "pelirand tests", sizeof id.Manufacturer - 1);
    std::strncpy(id.ProductFamily, "Test", sizeof id.ProductFamily - 1);
    std::strncpy(id.ProductName, TESTSOURCE_NAME, sizeof id.ProductName - 1);
}

TW_UINT16 notify(TW_UINT16 msg)
{
    DSMENTRYPROC dsm = nullptr;
    TW_IDENTITY self{};
    TW_IDENTITY app{};
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        dsm = state().info.entryPoint.DSM_Entry;
        self = state().info.self;
        app = state().app;
    }
    if (!dsm)
        return TWRC_FAILURE;
    return dsm(&self, &app, DG_CONTROL, DAT_NULL, msg, nullptr);
}

TW_UINT16 refuse(TW_UINT16 conditionCode)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().conditionCode = conditionCode;
    return TWRC_FAILURE;
}

TW_UINT16 identity(pTW_IDENTITY origin, TW_UINT16 msg, pTW_IDENTITY data)
{
    State& s = state();
    switch (msg) {
    case MSG_GET:
        describe(*data);
        return TWRC_SUCCESS;
    case MSG_OPENDS: {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.config.failOpenWith) {
            s.conditionCode = s.config.failOpenWith;
            return TWRC_FAILURE;
        }
        if (s.info.open) {
            s.conditionCode = TWCC_SEQERROR;
            return TWRC_FAILURE;
        }
        s.info.self = *data;
        s.app = *origin;
        s.info.appId = origin->Id;
        s.info.open = 1;
        return TWRC_SUCCESS;
    }
    case MSG_CLOSEDS: {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.info.open) {
            s.conditionCode = TWCC_SEQERROR;
            return TWRC_FAILURE;
        }
        s.info.open = 0;
        return TWRC_SUCCESS;
    }
    default:
        return refuse(TWCC_BADPROTOCOL);
    }
}

TW_UINT16 control(pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    State& s = state();
    switch (dat) {
    case DAT_IDENTITY:
        return identity(origin, msg, static_cast<pTW_IDENTITY>(data));
    case DAT_ENTRYPOINT: {
        std::lock_guard<std::mutex> lock(s.mutex);
        std::memcpy(&s.info.entryPoint, data, sizeof s.info.entryPoint);
        ++s.info.entryPointCalls;
        s.info.entryPointBeforeOpen = !s.info.open;
        return TWRC_SUCCESS;
    }
    case DAT_STATUS: {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto* status = static_cast<pTW_STATUS>(data);
        status->ConditionCode = s.conditionCode;
        status->Data = 0;
        s.conditionCode = TWCC_SUCCESS;
        return TWRC_SUCCESS;
    }
    case DAT_EVENT: {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.config.eventRc == TWRC_DSEVENT)
            static_cast<pTW_EVENT>(data)->TWMessage = s.config.eventMsg;
        return s.config.eventRc;
    }
    case DAT_USERINTERFACE: {
        TW_UINT16 inside = 0;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            inside = s.config.notifyInside;
        }
        // A source that reports from inside its own call, as some drivers do.
        if (msg == MSG_ENABLEDS && inside) {
            const TW_UINT16 rc = notify(inside);
            std::lock_guard<std::mutex> lock(s.mutex);
            s.info.insideRc = rc;
        }
        return TWRC_SUCCESS;
    }
    default:
        return refuse(TWCC_BADPROTOCOL);
    }
}

} // namespace

TESTSOURCE_EXPORT TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT,
                                                     TW_UINT16 MSG, TW_MEMREF pData)
{
    if (pOrigin) {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().info.lastOriginId = pOrigin->Id;
        state().info.lastDG = DG;
        state().info.lastDAT = DAT;
        state().info.lastMSG = MSG;
    }
    if (!pData && DAT != DAT_NULL)
        return refuse(TWCC_BADVALUE);
    if (DG == DG_CONTROL)
        return control(pOrigin, DAT, MSG, pData);
    return refuse(TWCC_BADPROTOCOL);
}

TESTSOURCE_EXPORT void TestSource_Info(TestSourceInfo* info)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    *info = state().info;
}

TESTSOURCE_EXPORT void TestSource_Configure(const TestSourceConfig* config)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().config = *config;
}

TESTSOURCE_EXPORT TW_UINT16 TestSource_Notify(TW_UINT16 msg, int fromThread)
{
    if (!fromThread)
        return notify(msg);
    TW_UINT16 rc = TWRC_FAILURE;
    std::thread worker([&rc, msg] { rc = notify(msg); });
    worker.join();
    return rc;
}
