// The simulated scanner, driven through the stand-in DSM's DSM_Entry as an
// application drives it: capabilities, states, pages, transfers and every
// fault-injection control.

#include "platform/win32.h"
#include "sources/sim/simscanner.h"
#include "twain/twain.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <malloc.h>
#include <sys/resource.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>

using namespace simscanner;

namespace {

constexpr int kWaitMs = 10000; // generous: only a broken source ever waits this long

// ---------------------------------------------------------------------------
// The application's callback and what it saw

struct Received
{
    TW_UINT16 msg;
    std::thread::id thread;
};

struct CallbackLog
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Received> messages;

    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.clear();
    }
    // The next message, or MSG_NULL if none came.
    Received next(int ms = kWaitMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !messages.empty(); }))
            return {MSG_NULL, {}};
        Received r = messages.front();
        messages.pop_front();
        return r;
    }
    bool empty()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.empty();
    }
};

CallbackLog g_log;

TW_UINT16 TW_CALLINGSTYLE appCallback(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16 msg,
                                      TW_MEMREF)
{
    {
        std::lock_guard<std::mutex> lock(g_log.mutex);
        g_log.messages.push_back({msg, std::this_thread::get_id()});
    }
    g_log.arrived.notify_all();
    return TWRC_SUCCESS;
}

template <typename Proc>
Proc resolve(HMODULE module, const char* name)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// ---------------------------------------------------------------------------
// Capability containers as an application reads and builds them

struct Container
{
    TW_UINT16 conType = 0;
    TW_UINT16 itemType = 0;
    std::vector<double> items;
    double current = 0, deflt = 0, min = 0, max = 0, step = 0;
    TW_UINT32 currentIndex = 0, defaultIndex = 0;
};

double readItem(const TW_UINT8* p, TW_UINT16 type)
{
    switch (type) {
    case TWTY_INT16: {
        TW_INT16 v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case TWTY_UINT16:
    case TWTY_BOOL: {
        TW_UINT16 v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case TWTY_INT32: {
        TW_INT32 v;
        std::memcpy(&v, p, 4);
        return v;
    }
    case TWTY_UINT32: {
        TW_UINT32 v;
        std::memcpy(&v, p, 4);
        return v;
    }
    case TWTY_FIX32: {
        TW_FIX32 v;
        std::memcpy(&v, p, 4);
        return v.Whole + v.Frac / 65536.0;
    }
    default:
        return -12345;
    }
}

int itemBytes(TW_UINT16 type)
{
    return type == TWTY_INT32 || type == TWTY_UINT32 || type == TWTY_FIX32 ? 4 : 2;
}

void writeItem(TW_UINT8* p, TW_UINT16 type, double v)
{
    if (type == TWTY_FIX32) {
        const TW_INT32 raw = TW_INT32(v * 65536.0 + (v < 0 ? -0.5 : 0.5));
        TW_FIX32 f{TW_INT16(raw >> 16), TW_UINT16(raw & 0xFFFF)};
        std::memcpy(p, &f, 4);
    } else if (itemBytes(type) == 4) {
        const TW_UINT32 u = TW_UINT32(TW_INT32(v));
        std::memcpy(p, &u, 4);
    } else {
        const TW_UINT16 u = TW_UINT16(TW_INT16(v));
        std::memcpy(p, &u, 2);
    }
}

// ---------------------------------------------------------------------------
// Pictures: every pixel as a value comparable with the page pattern

struct Picture
{
    TW_INT32 width = 0;
    TW_INT32 height = 0;
    std::vector<quint32> values; // row by row, top first
};

// TWAIN structures are packed: their fields are read by value, never bound
// to a reference (as QCOMPARE would) at an address unfit for their type.
template <typename T>
T copyOf(T value)
{
    return value;
}

quint32 packRgb(quint32 r, quint32 g, quint32 b)
{
    return (r << 16) | (g << 8) | b;
}

// What a pixel shows (BW: 1 white, GRAY: level, RGB/PALETTE: packed colour),
// or for 16-bit grey the sample itself.
quint32 expectedValue(TW_UINT16 pixelType, TW_UINT16 bitDepth, TW_UINT32 page, TW_UINT32 x, TW_UINT32 y)
{
    switch (pixelType) {
    case TWPT_BW:
        return isWhite(page, x, y) ? 1 : 0;
    case TWPT_GRAY:
        return bitDepth == 16 ? grey16(page, x, y) : grey8(page, x, y);
    case TWPT_RGB:
        return packRgb(rgb8(page, x, y, 0), rgb8(page, x, y, 1), rgb8(page, x, y, 2));
    default: {
        const TW_UINT8 i = paletteIndex(page, x, y);
        return packRgb(paletteColour(i, 0), paletteColour(i, 1), paletteColour(i, 2));
    }
    }
}

quint32 le16(const TW_UINT8* p)
{
    return p[0] | (p[1] << 8);
}
quint32 le32(const TW_UINT8* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (quint32(p[3]) << 24);
}

struct DibHeader
{
    TW_UINT32 size, clrUsed, sizeImage;
    TW_INT32 width, height;
    TW_UINT16 bitCount;
};

DibHeader dibHeader(const TW_UINT8* p)
{
    return {le32(p),
            le32(p + 32),
            le32(p + 20),
            TW_INT32(le32(p + 4)),
            TW_INT32(le32(p + 8)),
            TW_UINT16(le16(p + 14))};
}

// A packed DIB as a picture; 16-bit samples come back as stored. Empty when
// the bytes do not hold what the header promises.
Picture decodeDib(const TW_UINT8* p, std::size_t size, TW_UINT16 pixelType, std::size_t pixelsAt = 0)
{
    Picture pic;
    if (size < 40)
        return pic;
    const DibHeader h = dibHeader(p);
    const TW_UINT32 entries = h.clrUsed ? h.clrUsed : (h.bitCount <= 8 ? 1u << h.bitCount : 0);
    const std::size_t at = pixelsAt ? pixelsAt : h.size + 4 * entries;
    const std::size_t stride = (std::size_t(h.width) * h.bitCount + 31) / 32 * 4;
    const TW_INT32 rows = h.height < 0 ? -h.height : h.height;
    if (at + stride * rows > size)
        return pic;
    auto colour = [&](quint32 index) {
        const TW_UINT8* q = p + h.size + 4 * index;
        return packRgb(q[2], q[1], q[0]);
    };
    pic.width = h.width;
    pic.height = rows;
    for (TW_INT32 y = 0; y < rows; ++y) {
        const TW_UINT8* row = p + at + stride * std::size_t(h.height > 0 ? rows - 1 - y : y);
        for (TW_INT32 x = 0; x < h.width; ++x) {
            quint32 v = 0;
            switch (h.bitCount) {
            case 1:
                v = colour((row[x / 8] >> (7 - x % 8)) & 1) == 0xFFFFFF ? 1 : 0;
                break;
            case 8:
                v = pixelType == TWPT_GRAY ? colour(row[x]) & 0xFF : colour(row[x]);
                break;
            case 16:
                v = le16(row + 2 * x);
                break;
            default:
                v = packRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
                break;
            }
            pic.values.push_back(v);
        }
    }
    return pic;
}

// A 16-bit grey TIFF file as a picture, samples as stored. Empty when it is
// not one.
Picture decodeTiff16(const QString& sPath)
{
    Picture pic;
    TIFF* tiff = TIFFOpen(QFile::encodeName(sPath).constData(), "r");
    if (!tiff)
        return pic;
    uint32_t w = 0, h = 0;
    uint16_t bps = 0, spp = 1;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &spp);
    if (bps == 16 && spp == 1) {
        std::vector<quint16> row(w);
        pic.width = TW_INT32(w);
        pic.height = TW_INT32(h);
        for (uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(tiff, row.data(), y, 0) != 1) {
                pic = Picture{};
                break;
            }
            pic.values.insert(pic.values.end(), row.begin(), row.end());
        }
    }
    TIFFClose(tiff);
    return pic;
}

// Rows as memory strips hold them (TWAIN order, chocolate unless told).
quint32 stripValue(const TW_UINT8* row, TW_INT32 x, TW_UINT16 pixelType, TW_UINT16 bitDepth, bool vanilla,
                   const TW_PALETTE8& palette)
{
    switch (pixelType) {
    case TWPT_BW:
        return ((row[x / 8] >> (7 - x % 8)) & 1) ^ (vanilla ? 1 : 0);
    case TWPT_GRAY:
        if (bitDepth == 16)
            return vanilla ? 0xFFFF - le16(row + 2 * x) : le16(row + 2 * x);
        return vanilla ? 255 - row[x] : row[x];
    case TWPT_RGB:
        return packRgb(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
    default: {
        const TW_ELEMENT8& e = palette.Colors[row[x]];
        return packRgb(e.Channel1, e.Channel2, e.Channel3);
    }
    }
}

bool decodeJpeg(const std::vector<TW_UINT8>& data, Picture& pic, int& components,
                std::vector<TW_UINT8>& samples)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data.data()), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_start_decompress(&cinfo);
    pic.width = TW_INT32(cinfo.output_width);
    pic.height = TW_INT32(cinfo.output_height);
    components = cinfo.output_components;
    const std::size_t stride = std::size_t(pic.width) * components;
    samples.resize(stride * pic.height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = samples.data() + cinfo.output_scanline * stride;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// The first pixel that differs from the pattern, as text; empty when all match.
QByteArray mismatch(const Picture& pic, TW_UINT16 pixelType, TW_UINT16 bitDepth, TW_UINT32 page,
                    const std::function<quint32(quint32)>& adjust = {})
{
    for (TW_INT32 y = 0; y < pic.height; ++y) {
        for (TW_INT32 x = 0; x < pic.width; ++x) {
            quint32 want = expectedValue(pixelType, bitDepth, page, TW_UINT32(x), TW_UINT32(y));
            if (adjust)
                want = adjust(want);
            const quint32 got = pic.values[std::size_t(y) * pic.width + x];
            if (got != want)
                return QByteArray("pixel ") + QByteArray::number(x) + "," + QByteArray::number(y) + ": got " +
                       QByteArray::number(got, 16) + ", want " + QByteArray::number(want, 16);
        }
    }
    return {};
}

bool findDialog(HWND& found)
{
    struct Search
    {
        HWND window = nullptr;
        int count = 0;
    } search;
    EnumWindows(
        [](HWND w, LPARAM lp) -> BOOL {
            char title[128] = "";
            GetWindowTextA(w, title, sizeof title);
            auto* s = reinterpret_cast<Search*>(lp);
            if (IsWindowVisible(w) && std::strcmp(title, kDialogTitle) == 0) {
                s->window = w;
                ++s->count;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    found = search.window;
    return search.count == 1;
}

// A crash is checked in a child process: this program run again with this
// variable set opens the source and runs the crashing triplet.
constexpr const char* kCrashChildVariable = "SIMSCANNER_CRASH_CHILD";

} // namespace

class TestScanner : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void identity();
    void containers_data();
    void containers();
    void negotiation_data();
    void negotiation();
    void imageLayout_data();
    void imageLayout();
    void stateErrors_data();
    void stateErrors();
    void oneApplicationAtATime();
    void transfers_data();
    void transfers();
    void grey16NeverBmp();
    void memoryStrips_data();
    void memoryStrips();
    void pages_data();
    void pages();
    void resetAndStopFeeder();
    void dialog_data();
    void dialog();
    void notifications_data();
    void notifications();
    void triggers_data();
    void triggers();
    void failTriplet_data();
    void failTriplet();
    void cancelPage_data();
    void cancelPage();
    void successNotDone_data();
    void successNotDone();
    void undefinedSize_data();
    void undefinedSize();
    void dibQuirks_data();
    void dibQuirks();
    void memoryForTwain2Applications();
    void extImageInfo();
    void delay_data();
    void delay();
    void crash();

public:
    static int crashChild();

private:
    TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
    {
        return m_entry(&m_app, &m_source, dg, dat, msg, data);
    }
    TW_UINT16 condition()
    {
        TW_STATUS status{};
        status.ConditionCode = 0xBEEF;
        if (call(DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS)
            return 0xDEAD;
        return status.ConditionCode;
    }
    bool openSession(bool twain2App = true);
    // The application's memory: the DSM's functions for a TWAIN 2 application,
    // Win32 global memory for an older one.
    TW_HANDLE memAlloc(std::size_t size)
    {
        if (!m_mem.DSM_MemAllocate)
            return GlobalAlloc(GHND, size);
        TW_HANDLE h = m_mem.DSM_MemAllocate(TW_UINT32(size));
        std::memset(m_mem.DSM_MemLock(h), 0, size);
        m_mem.DSM_MemUnlock(h);
        return h;
    }
    void* memLock(TW_HANDLE h) { return m_mem.DSM_MemLock ? m_mem.DSM_MemLock(h) : GlobalLock(h); }
    void memUnlock(TW_HANDLE h)
    {
        if (m_mem.DSM_MemUnlock)
            m_mem.DSM_MemUnlock(h);
        else
            GlobalUnlock(h);
    }
    void memFree(TW_HANDLE h)
    {
        if (m_mem.DSM_MemFree)
            m_mem.DSM_MemFree(h);
        else
            GlobalFree(h);
    }
    // The stand-in DSM's blocks come from the C heap, the handle being the block.
    std::size_t memSize(TW_HANDLE h) { return m_mem.DSM_MemLock ? malloc_usable_size(h) : GlobalSize(h); }
    TW_UINT16 registerCallback(TW_UINT16 dat);
    TW_UINT16 setCap(TW_UINT16 cap, TW_UINT16 type, double value);
    TW_UINT16 setEnum(TW_UINT16 cap, TW_UINT16 type, const std::vector<double>& items, TW_UINT32 current);
    TW_UINT16 getCap(TW_UINT16 cap, TW_UINT16 msg, Container& out);
    double current(TW_UINT16 cap)
    {
        Container c;
        return getCap(cap, MSG_GETCURRENT, c) == TWRC_SUCCESS ? c.current : -99999;
    }
    bool setFrame(double left, double top, double right, double bottom);
    TW_UINT16 enable(bool showUI, HWND parent = nullptr, bool modal = false, TW_UINT16 msg = MSG_ENABLEDS);
    TW_UINT16 disable()
    {
        TW_USERINTERFACE ui{};
        return call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    TW_UINT16 endXfer(TW_UINT16& count, TW_UINT16 msg = MSG_ENDXFER)
    {
        TW_PENDINGXFERS pending{};
        const TW_UINT16 rc = call(DG_CONTROL, DAT_PENDINGXFERS, msg, &pending);
        count = pending.Count;
        return rc;
    }
    bool scanReady(); // enable without UI and wait for MSG_XFERREADY
    TW_UINT16 transfer(TW_UINT16 mech, TW_UINT16 pixelType, TW_UINT16 bitDepth, bool vanilla, Picture& pic,
                       TW_UINT32 bufferSize = 0);
    TW_UINT16 fetchBlocks(TW_UINT16 dat, TW_UINT32 bufferSize, std::vector<TW_UINT8>& bytes,
                          std::vector<TW_IMAGEMEMXFER>* blocks = nullptr,
                          std::vector<TW_UINT16>* codes = nullptr);
    TW_UINT16 nativeHandle(TW_HANDLE& handle)
    {
        handle = nullptr;
        return call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
    }

    HMODULE m_dsm = nullptr;
    DSMENTRYPROC m_entry = nullptr;
    TW_IDENTITY m_app{};
    TW_IDENTITY m_source{};
    TW_ENTRYPOINT m_mem{};
    std::unique_ptr<QTemporaryDir> m_dir;
};

// ---------------------------------------------------------------------------
// Fixture

bool TestScanner::openSession(bool twain2App)
{
    m_dsm = LoadLibraryA("TWAINDSM.dll");
    if (!m_dsm)
        return false;
    m_entry = resolve<DSMENTRYPROC>(m_dsm, "DSM_Entry");
    if (!m_entry)
        return false;
    m_app = TW_IDENTITY{};
    m_app.ProtocolMajor = 2;
    m_app.ProtocolMinor = 4;
    m_app.SupportedGroups = DG_CONTROL | DG_IMAGE | (twain2App ? DF_APP2 : 0);
    std::strcpy(m_app.ProductName, "tst_scanner");
    if (m_entry(&m_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr) != TWRC_SUCCESS)
        return false;
    m_mem = TW_ENTRYPOINT{};
    m_mem.Size = sizeof(TW_ENTRYPOINT);
    if (twain2App && m_entry(&m_app, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &m_mem) != TWRC_SUCCESS)
        return false;
    m_source = TW_IDENTITY{};
    std::strcpy(m_source.ProductName, kProductName);
    return m_entry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_source) == TWRC_SUCCESS;
}

void TestScanner::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    qunsetenv("PELIRAND_TWAIN_DIR"); // the sources folder beside the DSM, as built
    qunsetenv("PELIRAND_DSM_NO_CALLBACK2");
    // Some rows send notifications through the DSM's queue, as on Windows.
    qputenv("PELIRAND_DSM_MESSAGE_ROUTE", "1");
    g_log.clear();
    QVERIFY(openSession());
    QCOMPARE(registerCallback(DAT_CALLBACK2), TW_UINT16(TWRC_SUCCESS));
    // Small pages keep the suite quick: 37 x 23 pixels at 100 dpi, rows of
    // odd lengths.
    QVERIFY(setFrame(0, 0, 0.37, 0.23));
}

void TestScanner::cleanup()
{
    if (m_entry) {
        TW_PENDINGXFERS pending{};
        call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
        disable();
        m_entry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m_source);
        m_entry(&m_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
    }
    if (m_dsm)
        FreeLibrary(m_dsm);
    m_dsm = nullptr;
    m_entry = nullptr;
    m_mem = TW_ENTRYPOINT{};
    PelirandSetMessagePump(nullptr, nullptr);
    MSG drained;
    while (PeekMessageW(&drained, nullptr, 0, 0, PM_REMOVE)) {
    }
    m_dir.reset();
}

TW_UINT16 TestScanner::registerCallback(TW_UINT16 dat)
{
    if (dat == DAT_CALLBACK) {
        TW_CALLBACK cb{};
        cb.CallBackProc = reinterpret_cast<TW_MEMREF>(&appCallback);
        return call(DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &cb);
    }
    TW_CALLBACK2 cb{};
    // No procedure: the DSM keeps notifications for MSG_PROCESSEVENT.
    cb.CallBackProc = dat == DAT_CALLBACK2 ? reinterpret_cast<TW_MEMREF>(&appCallback) : nullptr;
    return call(DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &cb);
}

TW_UINT16 TestScanner::setCap(TW_UINT16 cap, TW_UINT16 type, double value)
{
    TW_CAPABILITY c{cap, TWON_ONEVALUE, memAlloc(6)};
    auto* p = static_cast<TW_UINT8*>(memLock(c.hContainer));
    std::memcpy(p, &type, 2);
    writeItem(p + 2, type, value);
    memUnlock(c.hContainer);
    const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c);
    memFree(c.hContainer);
    return rc;
}

TW_UINT16 TestScanner::setEnum(TW_UINT16 cap, TW_UINT16 type, const std::vector<double>& items,
                               TW_UINT32 current)
{
    const std::size_t isz = std::size_t(itemBytes(type));
    TW_CAPABILITY c{cap, TWON_ENUMERATION, memAlloc(14 + items.size() * isz)};
    auto* p = static_cast<TW_UINT8*>(memLock(c.hContainer));
    const TW_UINT32 n = TW_UINT32(items.size());
    std::memcpy(p, &type, 2);
    std::memcpy(p + 2, &n, 4);
    std::memcpy(p + 6, &current, 4);
    for (std::size_t i = 0; i < items.size(); ++i)
        writeItem(p + 14 + i * isz, type, items[i]);
    memUnlock(c.hContainer);
    const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c);
    memFree(c.hContainer);
    return rc;
}

TW_UINT16 TestScanner::getCap(TW_UINT16 cap, TW_UINT16 msg, Container& out)
{
    TW_CAPABILITY c{cap, TWON_DONTCARE16, nullptr};
    const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, msg, &c);
    if (rc != TWRC_SUCCESS)
        return rc;
    out = Container{};
    out.conType = c.ConType;
    const std::size_t size = memSize(c.hContainer);
    const auto* p = static_cast<const TW_UINT8*>(memLock(c.hContainer));
    if (!p)
        return 0xDEAD;
    std::memcpy(&out.itemType, p, 2);
    const std::size_t isz = std::size_t(itemBytes(out.itemType));
    TW_UINT32 n = 0;
    switch (c.ConType) {
    case TWON_ONEVALUE:
        out.current = out.deflt = readItem(p + 2, out.itemType);
        break;
    case TWON_RANGE:
        out.min = readItem(p + 2, out.itemType);
        out.max = readItem(p + 6, out.itemType);
        out.step = readItem(p + 10, out.itemType);
        out.deflt = readItem(p + 14, out.itemType);
        out.current = readItem(p + 18, out.itemType);
        break;
    case TWON_ENUMERATION:
        std::memcpy(&n, p + 2, 4);
        std::memcpy(&out.currentIndex, p + 6, 4);
        std::memcpy(&out.defaultIndex, p + 10, 4);
        if (size < 14 + n * isz || out.currentIndex >= n || out.defaultIndex >= n)
            return 0xDEAD;
        for (TW_UINT32 i = 0; i < n; ++i)
            out.items.push_back(readItem(p + 14 + i * isz, out.itemType));
        out.current = out.items[out.currentIndex];
        out.deflt = out.items[out.defaultIndex];
        break;
    case TWON_ARRAY:
        std::memcpy(&n, p + 2, 4);
        if (size < 6 + n * isz)
            return 0xDEAD;
        for (TW_UINT32 i = 0; i < n; ++i)
            out.items.push_back(readItem(p + 6 + i * isz, out.itemType));
        break;
    default:
        return 0xDEAD;
    }
    memUnlock(c.hContainer);
    memFree(c.hContainer);
    return rc;
}

bool TestScanner::setFrame(double left, double top, double right, double bottom)
{
    TW_IMAGELAYOUT layout{};
    auto fix = [](double v) {
        const TW_INT32 raw = TW_INT32(v * 65536.0 + 0.5);
        return TW_FIX32{TW_INT16(raw >> 16), TW_UINT16(raw & 0xFFFF)};
    };
    layout.Frame = {fix(left), fix(top), fix(right), fix(bottom)};
    return call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout) == TWRC_SUCCESS;
}

TW_UINT16 TestScanner::enable(bool showUI, HWND parent, bool modal, TW_UINT16 msg)
{
    TW_USERINTERFACE ui{};
    ui.ShowUI = showUI;
    ui.ModalUI = modal;
    ui.hParent = parent;
    return call(DG_CONTROL, DAT_USERINTERFACE, msg, &ui);
}

bool TestScanner::scanReady()
{
    return enable(false) == TWRC_SUCCESS && g_log.next().msg == MSG_XFERREADY;
}

TW_UINT16 TestScanner::fetchBlocks(TW_UINT16 dat, TW_UINT32 bufferSize, std::vector<TW_UINT8>& bytes,
                                   std::vector<TW_IMAGEMEMXFER>* blocks, std::vector<TW_UINT16>* codes)
{
    TW_SETUPMEMXFER setup{};
    if (call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup) != TWRC_SUCCESS)
        return 0xDEAD;
    std::vector<TW_UINT8> buffer(bufferSize ? bufferSize : setup.Preferred);
    TW_UINT16 rc = TWRC_SUCCESS;
    for (int guard = 0; guard < 100000; ++guard) {
        TW_IMAGEMEMXFER xfer{};
        xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
        xfer.Memory.Length = TW_UINT32(buffer.size());
        xfer.Memory.TheMem = buffer.data();
        rc = call(DG_IMAGE, dat, MSG_GET, &xfer);
        if (codes)
            codes->push_back(rc);
        if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE)
            return rc;
        if (blocks)
            blocks->push_back(xfer);
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + xfer.BytesWritten);
        if (rc == TWRC_XFERDONE)
            return rc;
    }
    return 0xDEAD;
}

// One page with the current mechanism, decoded; the source is left in state 7.
TW_UINT16 TestScanner::transfer(TW_UINT16 mech, TW_UINT16 pixelType, TW_UINT16 bitDepth, bool vanilla,
                                Picture& pic, TW_UINT32 bufferSize)
{
    pic = Picture{};
    TW_UINT16 rc = TWRC_FAILURE;
    if (mech == TWSX_NATIVE) {
        TW_HANDLE h = nullptr;
        rc = nativeHandle(h);
        if (h) {
            const auto* p = static_cast<const TW_UINT8*>(memLock(h));
            pic = decodeDib(p, memSize(h), pixelType);
            memUnlock(h);
            memFree(h);
        }
    } else if (mech == TWSX_FILE) {
        // 16-bit grey goes into TIFF files only.
        const bool tiff = pixelType == TWPT_GRAY && bitDepth == 16;
        TW_SETUPFILEXFER setup{};
        const QByteArray name = QFile::encodeName(m_dir->filePath(tiff ? "page.tif" : "page.bmp"));
        QFile::remove(QFile::decodeName(name));
        std::strcpy(setup.FileName, name.constData());
        setup.Format = tiff ? TWFF_TIFF : TWFF_BMP;
        if (call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) != TWRC_SUCCESS)
            return 0xDEAD;
        rc = call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
        QFile file(QString::fromLocal8Bit(name));
        if (tiff) {
            pic = decodeTiff16(QFile::decodeName(name));
        } else if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bmp = file.readAll();
            if (bmp.size() > 54 && bmp.startsWith("BM")) {
                const auto* p = reinterpret_cast<const TW_UINT8*>(bmp.constData());
                pic = decodeDib(p + 14, std::size_t(bmp.size()) - 14, pixelType, le32(p + 10) - 14);
            }
        }
    } else if (mech == TWSX_MEMFILE) {
        std::vector<TW_UINT8> bytes;
        rc = fetchBlocks(DAT_IMAGEMEMFILEXFER, bufferSize, bytes);
        if (bytes.size() > 54 && bytes[0] == 'B' && bytes[1] == 'M') {
            pic = decodeDib(bytes.data() + 14, bytes.size() - 14, pixelType, le32(bytes.data() + 10) - 14);
        } else if (bytes.size() > 8 && bytes[0] == 'I' && bytes[1] == 'I') {
            QFile file(m_dir->filePath("block.tif"));
            if (file.open(QIODevice::WriteOnly) && file.write(reinterpret_cast<const char*>(bytes.data()),
                                                              qint64(bytes.size())) == qint64(bytes.size())) {
                file.close();
                pic = decodeTiff16(file.fileName());
            }
        }
    } else {
        std::vector<TW_UINT8> bytes;
        std::vector<TW_IMAGEMEMXFER> blocks;
        rc = fetchBlocks(DAT_IMAGEMEMXFER, bufferSize, bytes, &blocks);
        if (blocks.empty())
            return rc;
        if (blocks.front().Compression == TWCP_JPEG) {
            int components = 0;
            std::vector<TW_UINT8> samples;
            if (!decodeJpeg(bytes, pic, components, samples))
                return 0xDEAD;
            for (std::size_t i = 0; i < samples.size(); i += std::size_t(components))
                pic.values.push_back(components == 3 ? packRgb(samples[i], samples[i + 1], samples[i + 2])
                                                     : samples[i]);
            return rc;
        }
        TW_PALETTE8 palette{};
        if (pixelType == TWPT_PALETTE && call(DG_IMAGE, DAT_PALETTE8, MSG_GET, &palette) != TWRC_SUCCESS)
            return 0xDEAD;
        const TW_UINT32 bpr = blocks.front().BytesPerRow;
        pic.width = TW_INT32(blocks.front().Columns);
        std::size_t offset = 0;
        for (const TW_IMAGEMEMXFER& b : blocks) {
            if (b.YOffset != TW_UINT32(pic.height) || b.BytesPerRow != bpr || b.BytesWritten != b.Rows * bpr)
                return 0xDEAD;
            for (TW_UINT32 r = 0; r < b.Rows; ++r, offset += bpr) {
                for (TW_INT32 x = 0; x < pic.width; ++x)
                    pic.values.push_back(
                        stripValue(bytes.data() + offset, x, pixelType, bitDepth, vanilla, palette));
            }
            pic.height += TW_INT32(b.Rows);
        }
    }
    return rc;
}

// ---------------------------------------------------------------------------
// Identity and capabilities

void TestScanner::identity()
{
    QCOMPARE(QByteArray(m_source.Manufacturer), QByteArray(kManufacturer));
    QCOMPARE(QByteArray(m_source.ProductFamily), QByteArray(kProductFamily));
    QCOMPARE(QByteArray(m_source.ProductName), QByteArray(kProductName));
    QCOMPARE(m_source.ProtocolMajor, TW_UINT16(2));
    QCOMPARE(m_source.ProtocolMinor, TW_UINT16(4));
    QCOMPARE(m_source.SupportedGroups, TW_UINT32(DG_CONTROL | DG_IMAGE | DF_DS2));
    QVERIFY(m_source.Id != 0);
}

void TestScanner::containers_data()
{
    QTest::addColumn<ushort>("cap");
    QTest::addColumn<ushort>("msg");
    QTest::addColumn<ushort>("conType");
    QTest::addColumn<ushort>("itemType");
    QTest::addColumn<double>("value");          // current (default for MSG_GETDEFAULT)
    QTest::addColumn<QVector<double>>("items"); // enumeration and array items, range min/max/step

    using V = QVector<double>;
    QTest::newRow("XFERMECH get") << ushort(ICAP_XFERMECH) << ushort(MSG_GET) << ushort(TWON_ENUMERATION)
                                  << ushort(TWTY_UINT16) << double(TWSX_NATIVE)
                                  << V{TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY, TWSX_MEMFILE};
    QTest::newRow("PIXELTYPE get") << ushort(ICAP_PIXELTYPE) << ushort(MSG_GET) << ushort(TWON_ENUMERATION)
                                   << ushort(TWTY_UINT16) << double(TWPT_RGB)
                                   << V{TWPT_BW, TWPT_GRAY, TWPT_RGB, TWPT_PALETTE};
    QTest::newRow("PIXELTYPE current")
        << ushort(ICAP_PIXELTYPE) << ushort(MSG_GETCURRENT) << ushort(TWON_ONEVALUE) << ushort(TWTY_UINT16)
        << double(TWPT_RGB) << V{};
    QTest::newRow("BITDEPTH get") << ushort(ICAP_BITDEPTH) << ushort(MSG_GET) << ushort(TWON_ENUMERATION)
                                  << ushort(TWTY_UINT16) << 24.0 << V{24};
    QTest::newRow("XRESOLUTION get") << ushort(ICAP_XRESOLUTION) << ushort(MSG_GET) << ushort(TWON_RANGE)
                                     << ushort(TWTY_FIX32) << 100.0 << V{50, 1200, 1};
    QTest::newRow("YRESOLUTION default") << ushort(ICAP_YRESOLUTION) << ushort(MSG_GETDEFAULT)
                                         << ushort(TWON_ONEVALUE) << ushort(TWTY_FIX32) << 100.0 << V{};
    QTest::newRow("XFERCOUNT get") << ushort(CAP_XFERCOUNT) << ushort(MSG_GET) << ushort(TWON_ONEVALUE)
                                   << ushort(TWTY_INT16) << -1.0 << V{};
    QTest::newRow("UICONTROLLABLE") << ushort(CAP_UICONTROLLABLE) << ushort(MSG_GET) << ushort(TWON_ONEVALUE)
                                    << ushort(TWTY_BOOL) << 1.0 << V{};
    QTest::newRow("INDICATORS") << ushort(CAP_INDICATORS) << ushort(MSG_GETCURRENT) << ushort(TWON_ONEVALUE)
                                << ushort(TWTY_BOOL) << 1.0 << V{};
    QTest::newRow("FEEDERENABLED") << ushort(CAP_FEEDERENABLED) << ushort(MSG_GET) << ushort(TWON_ONEVALUE)
                                   << ushort(TWTY_BOOL) << 1.0 << V{};
    QTest::newRow("FEEDERLOADED") << ushort(CAP_FEEDERLOADED) << ushort(MSG_GET) << ushort(TWON_ONEVALUE)
                                  << ushort(TWTY_BOOL) << 1.0 << V{};
    QTest::newRow("DEVICEONLINE") << ushort(CAP_DEVICEONLINE) << ushort(MSG_GET) << ushort(TWON_ONEVALUE)
                                  << ushort(TWTY_BOOL) << 1.0 << V{};
    QTest::newRow("UNITS get") << ushort(ICAP_UNITS) << ushort(MSG_GET) << ushort(TWON_ENUMERATION)
                               << ushort(TWTY_UINT16) << double(TWUN_INCHES)
                               << V{TWUN_INCHES, TWUN_CENTIMETERS, TWUN_PICAS,      TWUN_POINTS,
                                    TWUN_TWIPS,  TWUN_PIXELS,      TWUN_MILLIMETERS};
    QTest::newRow("PHYSICALWIDTH") << ushort(ICAP_PHYSICALWIDTH) << ushort(MSG_GET) << ushort(TWON_ONEVALUE)
                                   << ushort(TWTY_FIX32) << kBedWidthInches << V{};
    QTest::newRow("PHYSICALHEIGHT") << ushort(ICAP_PHYSICALHEIGHT) << ushort(MSG_GETCURRENT)
                                    << ushort(TWON_ONEVALUE) << ushort(TWTY_FIX32) << kBedHeightInches << V{};
    QTest::newRow("COMPRESSION get") << ushort(ICAP_COMPRESSION) << ushort(MSG_GET)
                                     << ushort(TWON_ENUMERATION) << ushort(TWTY_UINT16) << double(TWCP_NONE)
                                     << V{TWCP_NONE};
    QTest::newRow("IMAGEFILEFORMAT get")
        << ushort(ICAP_IMAGEFILEFORMAT) << ushort(MSG_GET) << ushort(TWON_ENUMERATION) << ushort(TWTY_UINT16)
        << double(TWFF_BMP) << V{TWFF_BMP, TWFF_TIFF};
    QTest::newRow("PIXELFLAVOR get") << ushort(ICAP_PIXELFLAVOR) << ushort(MSG_GET)
                                     << ushort(TWON_ENUMERATION) << ushort(TWTY_UINT16)
                                     << double(TWPF_CHOCOLATE) << V{TWPF_CHOCOLATE, TWPF_VANILLA};
    QTest::newRow("UNDEFINEDIMAGESIZE") << ushort(ICAP_UNDEFINEDIMAGESIZE) << ushort(MSG_GET)
                                        << ushort(TWON_ONEVALUE) << ushort(TWTY_BOOL) << 0.0 << V{};
    QTest::newRow("EXTIMAGEINFO") << ushort(ICAP_EXTIMAGEINFO) << ushort(MSG_GETDEFAULT)
                                  << ushort(TWON_ONEVALUE) << ushort(TWTY_BOOL) << 0.0 << V{};
    QTest::newRow("FEEDERPAGES") << ushort(SIMCAP_FEEDERPAGES) << ushort(MSG_GET) << ushort(TWON_ONEVALUE)
                                 << ushort(TWTY_UINT32) << double(kDefaultFeederPages) << V{};
    QTest::newRow("query PIXELTYPE") << ushort(ICAP_PIXELTYPE) << ushort(MSG_QUERYSUPPORT)
                                     << ushort(TWON_ONEVALUE) << ushort(TWTY_INT32)
                                     << double(TWQC_GET | TWQC_SET | TWQC_GETDEFAULT | TWQC_GETCURRENT |
                                               TWQC_RESET)
                                     << V{};
    QTest::newRow("query FEEDERLOADED")
        << ushort(CAP_FEEDERLOADED) << ushort(MSG_QUERYSUPPORT) << ushort(TWON_ONEVALUE) << ushort(TWTY_INT32)
        << double(TWQC_GET | TWQC_GETDEFAULT | TWQC_GETCURRENT) << V{};
    // Arrays: items the list must hold.
    QTest::newRow("SUPPORTEDCAPS")
        << ushort(CAP_SUPPORTEDCAPS) << ushort(MSG_GET) << ushort(TWON_ARRAY) << ushort(TWTY_UINT16) << 0.0
        << V{CAP_SUPPORTEDCAPS,    CAP_XFERCOUNT,      CAP_UICONTROLLABLE,      CAP_INDICATORS,
             CAP_FEEDERENABLED,    CAP_FEEDERLOADED,   CAP_DEVICEONLINE,        ICAP_XFERMECH,
             ICAP_PIXELTYPE,       ICAP_BITDEPTH,      ICAP_XRESOLUTION,        ICAP_YRESOLUTION,
             ICAP_UNITS,           ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT,     ICAP_COMPRESSION,
             ICAP_IMAGEFILEFORMAT, ICAP_PIXELFLAVOR,   ICAP_UNDEFINEDIMAGESIZE, ICAP_EXTIMAGEINFO,
             SIMCAP_FEEDERPAGES,   SIMCAP_CRASHTRIPLET};
    QTest::newRow("EXTENDEDCAPS") << ushort(CAP_EXTENDEDCAPS) << ushort(MSG_GETCURRENT) << ushort(TWON_ARRAY)
                                  << ushort(TWTY_UINT16) << 0.0
                                  << V{SIMCAP_FEEDERPAGES, SIMCAP_FAILTRIPLET, SIMCAP_TRIGGER,
                                       SIMCAP_CRASHTRIPLET};
}

void TestScanner::containers()
{
    QFETCH(ushort, cap);
    QFETCH(ushort, msg);
    QFETCH(ushort, conType);
    QFETCH(ushort, itemType);
    QFETCH(double, value);
    QFETCH(QVector<double>, items);

    Container c;
    QCOMPARE(getCap(cap, msg, c), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(c.conType, TW_UINT16(conType));
    QCOMPARE(c.itemType, TW_UINT16(itemType));
    if (conType == TWON_ARRAY) {
        for (double id : items)
            QVERIFY2(std::find(c.items.begin(), c.items.end(), id) != c.items.end(),
                     QByteArray::number(id, 'f', 0).constData());
        if (cap == CAP_EXTENDEDCAPS) {
            for (double id : c.items)
                QVERIFY(id >= CAP_CUSTOMBASE);
        }
        return;
    }
    QCOMPARE(msg == MSG_GETDEFAULT ? c.deflt : c.current, value);
    if (conType == TWON_RANGE) {
        QCOMPARE((QVector<double>{c.min, c.max, c.step}), items);
        QCOMPARE(c.deflt, value);
    } else if (conType == TWON_ENUMERATION) {
        QCOMPARE(QVector<double>(c.items.begin(), c.items.end()), items);
    }
}

void TestScanner::negotiation_data()
{
    // Sets in order (cap, item type, value, container), then the last set's
    // result and a capability read back with MSG_GETCURRENT.
    QTest::addColumn<QVector<double>>("sets"); // triples cap, type, value
    QTest::addColumn<bool>("asEnumeration");
    QTest::addColumn<ushort>("rc");
    QTest::addColumn<ushort>("cc");
    QTest::addColumn<ushort>("readCap");
    QTest::addColumn<double>("readValue");

    using V = QVector<double>;
    QTest::newRow("grey sets bit depth 8")
        << V{ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY} << false << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS)
        << ushort(ICAP_BITDEPTH) << 8.0;
    QTest::newRow("grey 16") << V{ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY, ICAP_BITDEPTH, TWTY_UINT16, 16}
                             << false << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS) << ushort(ICAP_BITDEPTH)
                             << 16.0;
    QTest::newRow("16 bits for RGB") << V{ICAP_BITDEPTH, TWTY_UINT16, 16} << false << ushort(TWRC_FAILURE)
                                     << ushort(TWCC_BADVALUE) << ushort(ICAP_BITDEPTH) << 24.0;
    QTest::newRow("BW by enumeration")
        << V{ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW} << true << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS)
        << ushort(ICAP_BITDEPTH) << 1.0;
    QTest::newRow("resolution") << V{ICAP_XRESOLUTION, TWTY_FIX32, 300} << false << ushort(TWRC_SUCCESS)
                                << ushort(TWCC_SUCCESS) << ushort(ICAP_XRESOLUTION) << 300.0;
    QTest::newRow("resolution from an integer")
        << V{ICAP_YRESOLUTION, TWTY_UINT16, 150} << false << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS)
        << ushort(ICAP_YRESOLUTION) << 150.0;
    QTest::newRow("resolution rounded")
        << V{ICAP_XRESOLUTION, TWTY_FIX32, 150.75} << false << ushort(TWRC_CHECKSTATUS)
        << ushort(TWCC_BADVALUE) << ushort(ICAP_XRESOLUTION) << 151.0;
    QTest::newRow("resolution too high")
        << V{ICAP_XRESOLUTION, TWTY_FIX32, 1300} << false << ushort(TWRC_FAILURE) << ushort(TWCC_BADVALUE)
        << ushort(ICAP_XRESOLUTION) << 100.0;
    QTest::newRow("resolution in centimetres")
        << V{ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS, ICAP_XRESOLUTION, TWTY_FIX32, 100} << false
        << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS) << ushort(ICAP_XRESOLUTION) << 100.0;
    QTest::newRow("width in centimetres")
        << V{ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS} << false << ushort(TWRC_SUCCESS)
        << ushort(TWCC_SUCCESS) << ushort(ICAP_PHYSICALWIDTH) << std::floor(8.5 * 2.54 * 65536 + 0.5) / 65536;
    QTest::newRow("height in pixels")
        << V{ICAP_YRESOLUTION, TWTY_FIX32, 200, ICAP_UNITS, TWTY_UINT16, TWUN_PIXELS} << false
        << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS) << ushort(ICAP_PHYSICALHEIGHT) << 2800.0;
    QTest::newRow("XFERCOUNT 2") << V{CAP_XFERCOUNT, TWTY_INT16, 2} << false << ushort(TWRC_SUCCESS)
                                 << ushort(TWCC_SUCCESS) << ushort(CAP_XFERCOUNT) << 2.0;
    QTest::newRow("XFERCOUNT 0") << V{CAP_XFERCOUNT, TWTY_INT16, 0} << false << ushort(TWRC_FAILURE)
                                 << ushort(TWCC_BADVALUE) << ushort(CAP_XFERCOUNT) << -1.0;
    QTest::newRow("JPEG for native") << V{ICAP_COMPRESSION, TWTY_UINT16, TWCP_JPEG} << false
                                     << ushort(TWRC_FAILURE) << ushort(TWCC_BADVALUE)
                                     << ushort(ICAP_COMPRESSION) << double(TWCP_NONE);
    QTest::newRow("JPEG for memory") << V{ICAP_XFERMECH,    TWTY_UINT16, TWSX_MEMORY,
                                          ICAP_COMPRESSION, TWTY_UINT16, TWCP_JPEG}
                                     << false << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS)
                                     << ushort(ICAP_COMPRESSION) << double(TWCP_JPEG);
    QTest::newRow("JPEG dropped for BW")
        << V{ICAP_XFERMECH, TWTY_UINT16,    TWSX_MEMORY, ICAP_COMPRESSION, TWTY_UINT16,
             TWCP_JPEG,     ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW}
        << false << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS) << ushort(ICAP_COMPRESSION)
        << double(TWCP_NONE);
    QTest::newRow("flavour") << V{ICAP_PIXELFLAVOR, TWTY_UINT16, TWPF_VANILLA} << false
                             << ushort(TWRC_SUCCESS) << ushort(TWCC_SUCCESS) << ushort(ICAP_PIXELFLAVOR)
                             << double(TWPF_VANILLA);
    QTest::newRow("bool out of range") << V{CAP_INDICATORS, TWTY_BOOL, 2} << false << ushort(TWRC_FAILURE)
                                       << ushort(TWCC_BADVALUE) << ushort(CAP_INDICATORS) << 1.0;
    QTest::newRow("feeder off") << V{CAP_FEEDERENABLED, TWTY_BOOL, 0} << false << ushort(TWRC_SUCCESS)
                                << ushort(TWCC_SUCCESS) << ushort(CAP_FEEDERLOADED) << 0.0;
    QTest::newRow("read-only") << V{CAP_FEEDERLOADED, TWTY_BOOL, 0} << false << ushort(TWRC_FAILURE)
                               << ushort(TWCC_CAPBADOPERATION) << ushort(CAP_FEEDERLOADED) << 1.0;
    QTest::newRow("unknown capability") << V{0x7777, TWTY_UINT16, 1} << false << ushort(TWRC_FAILURE)
                                        << ushort(TWCC_CAPUNSUPPORTED) << ushort(CAP_XFERCOUNT) << -1.0;
    QTest::newRow("string item") << V{ICAP_PIXELTYPE, TWTY_STR32, 1} << false << ushort(TWRC_FAILURE)
                                 << ushort(TWCC_BADVALUE) << ushort(ICAP_PIXELTYPE) << double(TWPT_RGB);
}

void TestScanner::negotiation()
{
    QFETCH(QVector<double>, sets);
    QFETCH(bool, asEnumeration);
    QFETCH(ushort, rc);
    QFETCH(ushort, cc);
    QFETCH(ushort, readCap);
    QFETCH(double, readValue);

    TW_UINT16 last = TWRC_FAILURE;
    for (int i = 0; i + 2 < sets.size(); i += 3) {
        const auto cap = TW_UINT16(sets[i]);
        const auto type = TW_UINT16(sets[i + 1]);
        if (asEnumeration)
            last = setEnum(cap, type, {sets[i + 2], double(TWPT_RGB)}, 0);
        else if (type == TWTY_STR32)
            last = setCap(cap, TWTY_STR32, 0); // an item type no capability here takes
        else
            last = setCap(cap, type, sets[i + 2]);
    }
    QCOMPARE(last, TW_UINT16(rc));
    QCOMPARE(condition(), TW_UINT16(cc));
    QCOMPARE(current(readCap), readValue);

    // MSG_RESET brings back the power-on value and answers it.
    Container c;
    QCOMPARE(getCap(readCap, MSG_QUERYSUPPORT, c), TW_UINT16(TWRC_SUCCESS));
    if (TW_INT32(c.current) & TWQC_RESET) {
        TW_CAPABILITY cap{readCap, TWON_DONTCARE16, nullptr};
        QCOMPARE(call(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &cap), TW_UINT16(TWRC_SUCCESS));
        memFree(cap.hContainer);
        QCOMPARE(getCap(readCap, MSG_GETDEFAULT, c), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(current(readCap), c.deflt);
    }
}

void TestScanner::imageLayout_data()
{
    QTest::addColumn<QVector<double>>("frame");
    QTest::addColumn<ushort>("rc");
    QTest::addColumn<QVector<double>>("result");
    QTest::newRow("inside") << QVector<double>{1, 2, 3.5, 4} << ushort(TWRC_SUCCESS)
                            << QVector<double>{1, 2, 3.5, 4};
    QTest::newRow("cut to the bed") << QVector<double>{1, 2, 9, 15} << ushort(TWRC_CHECKSTATUS)
                                    << QVector<double>{1, 2, 8.5, 14};
    QTest::newRow("empty") << QVector<double>{2, 2, 1, 3} << ushort(TWRC_FAILURE)
                           << QVector<double>{0, 0, 0.37, 0.23};
}

void TestScanner::imageLayout()
{
    QFETCH(QVector<double>, frame);
    QFETCH(ushort, rc);
    QFETCH(QVector<double>, result);
    auto fix = [](double v) {
        const TW_INT32 raw = TW_INT32(v * 65536.0 + 0.5);
        return TW_FIX32{TW_INT16(raw >> 16), TW_UINT16(raw & 0xFFFF)};
    };
    auto unfix = [](TW_FIX32 f) { return std::floor((f.Whole + f.Frac / 65536.0) * 100 + 0.5) / 100; };
    TW_IMAGELAYOUT layout{};
    layout.Frame = {fix(frame[0]), fix(frame[1]), fix(frame[2]), fix(frame[3])};
    QCOMPARE(call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TW_UINT16(rc));
    layout = TW_IMAGELAYOUT{};
    QCOMPARE(call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE((QVector<double>{unfix(layout.Frame.Left), unfix(layout.Frame.Top), unfix(layout.Frame.Right),
                              unfix(layout.Frame.Bottom)}),
             result);
    QCOMPARE(copyOf(layout.PageNumber), TW_UINT32(1));
    QCOMPARE(call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, &layout), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(unfix(layout.Frame.Right), kBedWidthInches);
}

// ---------------------------------------------------------------------------
// States

void TestScanner::stateErrors_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<uint>("dg");
    QTest::addColumn<ushort>("dat");
    QTest::addColumn<ushort>("msg");
    QTest::addColumn<ushort>("cap"); // for DAT_CAPABILITY
    QTest::addColumn<ushort>("rc");
    QTest::addColumn<ushort>("cc");

    auto row = [](const char* name, int state, uint dg, TW_UINT16 dat, TW_UINT16 msg,
                  TW_UINT16 rc = TWRC_FAILURE, TW_UINT16 cc = TWCC_SEQERROR, TW_UINT16 cap = 0) {
        QTest::newRow(name) << state << dg << ushort(dat) << ushort(msg) << ushort(cap) << ushort(rc)
                            << ushort(cc);
    };
    row("image info in 4", 4, DG_IMAGE, DAT_IMAGEINFO, MSG_GET);
    row("native transfer in 4", 4, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET);
    row("end transfer in 4", 4, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER);
    row("disable in 4", 4, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS);
    row("event in 4", 4, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT);
    row("unknown triplet", 4, DG_IMAGE, DAT_CIECOLOR, MSG_GET, TWRC_FAILURE, TWCC_BADPROTOCOL);
    row("enable in 5", 5, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS);
    row("capability set in 5", 5, DG_CONTROL, DAT_CAPABILITY, MSG_SET, TWRC_FAILURE, TWCC_SEQERROR,
        ICAP_PIXELTYPE);
    row("capability get in 5", 5, DG_CONTROL, DAT_CAPABILITY, MSG_GET, TWRC_SUCCESS, TWCC_SUCCESS,
        ICAP_PIXELTYPE);
    row("reset all in 5", 5, DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, TWRC_FAILURE, TWCC_SEQERROR,
        ICAP_PIXELTYPE);
    row("layout set in 5", 5, DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET);
    row("end transfer in 5", 5, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER);
    row("close in 5", 5, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS);
    row("disable in 6", 6, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS);
    row("capability reset in 6", 6, DG_CONTROL, DAT_CAPABILITY, MSG_RESET, TWRC_FAILURE, TWCC_SEQERROR,
        ICAP_UNITS);
    row("control reset in 6", 6, DG_CONTROL, DAT_CAPABILITY, MSG_RESET, TWRC_SUCCESS, TWCC_SUCCESS,
        SIMCAP_CANCELPAGE);
    row("other mechanism in 6", 6, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET);
    row("extended info in 6", 6, DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET);
    row("image info in 6", 6, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, TWRC_SUCCESS, TWCC_SUCCESS);
    row("second native transfer in 7", 7, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET);
    row("setup file in 7", 7, DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET);
}

void TestScanner::stateErrors()
{
    QFETCH(int, state);
    QFETCH(uint, dg);
    QFETCH(ushort, dat);
    QFETCH(ushort, msg);
    QFETCH(ushort, cap);
    QFETCH(ushort, rc);
    QFETCH(ushort, cc);

    if (state >= 6) {
        QVERIFY(scanReady());
    } else if (state == 5) {
        QCOMPARE(enable(true), TW_UINT16(TWRC_SUCCESS));
    }
    if (state == 7) {
        TW_HANDLE h = nullptr;
        QCOMPARE(nativeHandle(h), TW_UINT16(TWRC_XFERDONE));
        memFree(h);
    }
    // A block big enough for any structure, with what the triplet needs.
    alignas(8) TW_UINT8 block[2048] = {};
    TW_MEMREF data = block;
    if (dat == DAT_CAPABILITY)
        reinterpret_cast<pTW_CAPABILITY>(block)->Cap = cap;
    if (dat == DAT_IDENTITY)
        data = &m_source;
    const TW_UINT16 got =
        dat == DAT_IDENTITY ? m_entry(&m_app, nullptr, dg, dat, msg, data) : call(dg, dat, msg, data);
    if (dat == DAT_CAPABILITY && got == TWRC_SUCCESS)
        memFree(reinterpret_cast<pTW_CAPABILITY>(block)->hContainer);
    QCOMPARE(got, TW_UINT16(rc));
    QCOMPARE(condition(), TW_UINT16(cc));
}

void TestScanner::oneApplicationAtATime()
{
    TW_IDENTITY other{};
    other.ProtocolMajor = 2;
    other.ProtocolMinor = 4;
    other.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(other.ProductName, "other application");
    QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY source = m_source;
    QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source),
             TW_UINT16(TWRC_FAILURE));
    TW_STATUS status{};
    m_entry(&other, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    QCOMPARE(status.ConditionCode, TW_UINT16(TWCC_MAXCONNECTIONS));
    QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr),
             TW_UINT16(TWRC_SUCCESS));
    // The first application still has it.
    QCOMPARE(current(CAP_XFERCOUNT), -1.0);
}

// ---------------------------------------------------------------------------
// Transfers

void TestScanner::transfers_data()
{
    QTest::addColumn<ushort>("mech");
    QTest::addColumn<ushort>("pixelType");
    QTest::addColumn<ushort>("bitDepth");
    QTest::addColumn<bool>("vanilla");
    QTest::addColumn<bool>("jpeg");

    const struct
    {
        const char* name;
        TW_UINT16 mech;
    } mechs[] = {
        {"native", TWSX_NATIVE}, {"file", TWSX_FILE}, {"memory", TWSX_MEMORY}, {"memfile", TWSX_MEMFILE}};
    const struct
    {
        const char* name;
        TW_UINT16 type, depth;
    } types[] = {{"BW", TWPT_BW, 1},
                 {"grey 8", TWPT_GRAY, 8},
                 {"grey 16", TWPT_GRAY, 16},
                 {"RGB", TWPT_RGB, 24},
                 {"palette", TWPT_PALETTE, 8}};
    for (const auto& m : mechs) {
        for (const auto& t : types) {
            QTest::addRow("%s %s", m.name, t.name)
                << ushort(m.mech) << ushort(t.type) << ushort(t.depth) << false << false;
        }
    }
    QTest::newRow("native BW vanilla")
        << ushort(TWSX_NATIVE) << ushort(TWPT_BW) << ushort(1) << true << false;
    QTest::newRow("native grey vanilla")
        << ushort(TWSX_NATIVE) << ushort(TWPT_GRAY) << ushort(8) << true << false;
    QTest::newRow("memory grey vanilla")
        << ushort(TWSX_MEMORY) << ushort(TWPT_GRAY) << ushort(8) << true << false;
    QTest::newRow("memory BW vanilla")
        << ushort(TWSX_MEMORY) << ushort(TWPT_BW) << ushort(1) << true << false;
    QTest::newRow("memory JPEG grey")
        << ushort(TWSX_MEMORY) << ushort(TWPT_GRAY) << ushort(8) << false << true;
    QTest::newRow("memory JPEG RGB") << ushort(TWSX_MEMORY) << ushort(TWPT_RGB) << ushort(24) << false
                                     << true;
}

void TestScanner::transfers()
{
    QFETCH(ushort, mech);
    QFETCH(ushort, pixelType);
    QFETCH(ushort, bitDepth);
    QFETCH(bool, vanilla);
    QFETCH(bool, jpeg);

    QCOMPARE(setCap(ICAP_XFERMECH, TWTY_UINT16, mech), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(ICAP_PIXELTYPE, TWTY_UINT16, pixelType), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(ICAP_BITDEPTH, TWTY_UINT16, bitDepth), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(ICAP_PIXELFLAVOR, TWTY_UINT16, vanilla ? TWPF_VANILLA : TWPF_CHOCOLATE),
             TW_UINT16(TWRC_SUCCESS));
    if (jpeg)
        QCOMPARE(setCap(ICAP_COMPRESSION, TWTY_UINT16, TWCP_JPEG), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());

    TW_IMAGEINFO info{};
    QCOMPARE(call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(copyOf(info.ImageWidth), TW_INT32(37));
    QCOMPARE(copyOf(info.ImageLength), TW_INT32(23));
    QCOMPARE(info.PixelType, TW_INT16(pixelType));
    QCOMPARE(info.BitsPerPixel, TW_INT16(bitDepth));
    QCOMPARE(info.SamplesPerPixel, TW_INT16(pixelType == TWPT_RGB ? 3 : 1));
    QCOMPARE(info.BitsPerSample[0], TW_INT16(pixelType == TWPT_RGB ? 8 : bitDepth));
    QCOMPARE(info.XResolution.Whole, TW_INT16(100));
    QCOMPARE(info.Compression, TW_UINT16(jpeg ? TWCP_JPEG : TWCP_NONE));

    Picture pic;
    const TW_UINT16 rc = transfer(mech, pixelType, bitDepth, vanilla, pic);
    QCOMPARE(rc, TW_UINT16(TWRC_XFERDONE));
    QCOMPARE(pic.width, TW_INT32(37));
    QCOMPARE(pic.height, TW_INT32(23));
    QCOMPARE(pic.values.size(), std::size_t(37 * 23));
    if (jpeg) {
        // Lossy: close on average, and the page is recognisably the page.
        double error = 0;
        for (TW_INT32 y = 0; y < 23; ++y) {
            for (TW_INT32 x = 0; x < 37; ++x) {
                const quint32 want = expectedValue(pixelType, bitDepth, 1, TW_UINT32(x), TW_UINT32(y));
                const quint32 got = pic.values[std::size_t(y) * 37 + x];
                for (int shift = 0; shift < (pixelType == TWPT_RGB ? 24 : 8); shift += 8)
                    error += std::abs(int((want >> shift) & 0xFF) - int((got >> shift) & 0xFF));
            }
        }
        const double mean = error / (37 * 23 * (pixelType == TWPT_RGB ? 3 : 1));
        QVERIFY2(mean < 2.5, QByteArray::number(mean).constData());
    } else {
        const QByteArray bad = mismatch(pic, pixelType, bitDepth, 1);
        QVERIFY2(bad.isEmpty(), bad.constData());
    }

    TW_UINT16 count = 99;
    QCOMPARE(endXfer(count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(count, TW_UINT16(kDefaultFeederPages - 1));
}

void TestScanner::memoryStrips_data()
{
    QTest::addColumn<uint>("preferred");
    QTest::addColumn<ushort>("align");
    QTest::addColumn<uint>("bytesPerRow");
    QTest::addColumn<uint>("rowsPerBlock");
    // RGB rows of 37 pixels: 111 bytes.
    QTest::newRow("whole page") << 65536u << ushort(1) << 111u << 23u;
    QTest::newRow("four rows") << 450u << ushort(1) << 111u << 4u;
    QTest::newRow("one row") << 111u << ushort(1) << 111u << 1u;
    QTest::newRow("aligned to 4") << 450u << ushort(4) << 112u << 4u;
    QTest::newRow("aligned to 8") << 450u << ushort(8) << 112u << 4u;
    QTest::newRow("aligned to 16") << 450u << ushort(16) << 112u << 4u;
}

void TestScanner::memoryStrips()
{
    QFETCH(uint, preferred);
    QFETCH(ushort, align);
    QFETCH(uint, bytesPerRow);
    QFETCH(uint, rowsPerBlock);

    QCOMPARE(setCap(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_MEMPREFERRED, TWTY_UINT32, preferred), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_MEMROWALIGN, TWTY_UINT16, align), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    TW_SETUPMEMXFER setup{};
    QCOMPARE(call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(copyOf(setup.Preferred), TW_UINT32(preferred));
    QCOMPARE(copyOf(setup.MinBufSize), TW_UINT32(bytesPerRow));

    std::vector<TW_UINT8> bytes;
    std::vector<TW_IMAGEMEMXFER> blocks;
    std::vector<TW_UINT16> codes;
    QCOMPARE(fetchBlocks(DAT_IMAGEMEMXFER, 0, bytes, &blocks, &codes), TW_UINT16(TWRC_XFERDONE));
    const std::size_t expectedBlocks = (23 + rowsPerBlock - 1) / rowsPerBlock;
    QCOMPARE(blocks.size(), expectedBlocks);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        QCOMPARE(copyOf(blocks[i].BytesPerRow), TW_UINT32(bytesPerRow));
        QCOMPARE(copyOf(blocks[i].Rows),
                 TW_UINT32(std::min<std::size_t>(rowsPerBlock, 23 - i * rowsPerBlock)));
        QCOMPARE(codes[i], TW_UINT16(i + 1 == blocks.size() ? TWRC_XFERDONE : TWRC_SUCCESS));
    }
    // A buffer smaller than a row cannot take any.
    QCOMPARE(bytes.size(), std::size_t(23) * bytesPerRow);
    QCOMPARE(bytes[bytesPerRow * 5 + 3], rgb8(1, 1, 5, 0));
}

// ---------------------------------------------------------------------------
// Pages and the feeder

void TestScanner::pages_data()
{
    QTest::addColumn<uint>("feederPages");
    QTest::addColumn<int>("xferCount");
    QTest::addColumn<bool>("feeder");
    QTest::addColumn<bool>("unknown");
    QTest::addColumn<QVector<int>>("counts"); // MSG_GET in 6, then after each MSG_ENDXFER
    QTest::addColumn<uint>("leftInFeeder");

    using V = QVector<int>;
    QTest::newRow("all of three") << 3u << -1 << true << false << V{3, 2, 1, 0} << 0u;
    QTest::newRow("two of five") << 5u << 2 << true << false << V{2, 1, 0} << 3u;
    QTest::newRow("more wanted than there") << 2u << 4 << true << false << V{2, 1, 0} << 0u;
    QTest::newRow("flatbed") << 3u << -1 << false << false << V{1, 0} << 3u;
    QTest::newRow("uncounted feeder") << 3u << -1 << true << true << V{0xFFFF, 0xFFFF, 1, 0} << 0u;
    QTest::newRow("empty feeder") << 0u << -1 << true << false << V{} << 0u;
}

void TestScanner::pages()
{
    QFETCH(uint, feederPages);
    QFETCH(int, xferCount);
    QFETCH(bool, feeder);
    QFETCH(bool, unknown);
    QFETCH(QVector<int>, counts);
    QFETCH(uint, leftInFeeder);

    QCOMPARE(setCap(SIMCAP_FEEDERPAGES, TWTY_UINT32, feederPages), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(CAP_XFERCOUNT, TWTY_INT16, xferCount), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(CAP_FEEDERENABLED, TWTY_BOOL, feeder), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_PENDINGUNKNOWN, TWTY_BOOL, unknown), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(current(CAP_FEEDERLOADED), feeder && feederPages > 0 ? 1.0 : 0.0);
    QCOMPARE(enable(false), TW_UINT16(TWRC_SUCCESS));
    if (counts.isEmpty()) {
        // Nothing to scan: the source asks to be closed.
        QCOMPARE(g_log.next().msg, TW_UINT16(MSG_CLOSEDSREQ));
        QCOMPARE(disable(), TW_UINT16(TWRC_SUCCESS));
        return;
    }
    QCOMPARE(g_log.next().msg, TW_UINT16(MSG_XFERREADY));
    TW_UINT16 count = 0;
    QCOMPARE(endXfer(count, MSG_GET), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(int(count), counts[0]);
    for (int page = 1; page < counts.size(); ++page) {
        TW_IMAGELAYOUT layout{};
        QCOMPARE(call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(copyOf(layout.PageNumber), TW_UINT32(page));
        Picture pic;
        QCOMPARE(transfer(TWSX_NATIVE, TWPT_RGB, 24, false, pic), TW_UINT16(TWRC_XFERDONE));
        const QByteArray bad = mismatch(pic, TWPT_RGB, 24, TW_UINT32(page));
        QVERIFY2(bad.isEmpty(), bad.constData());
        QCOMPARE(endXfer(count), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(int(count), counts[page]);
    }
    // Back in 5: one MSG_XFERREADY per batch, nothing else.
    QVERIFY(g_log.empty());
    QCOMPARE(disable(), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(current(SIMCAP_FEEDERPAGES), double(leftInFeeder));
}

void TestScanner::resetAndStopFeeder()
{
    QCOMPARE(setCap(SIMCAP_FEEDERPAGES, TWTY_UINT32, 5), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    TW_UINT16 count = 0;
    // MSG_STOPFEEDER: the page already scanned still comes.
    QCOMPARE(endXfer(count, MSG_STOPFEEDER), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(count, TW_UINT16(1));
    QCOMPARE(endXfer(count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(count, TW_UINT16(0));
    QCOMPARE(current(SIMCAP_FEEDERPAGES), 4.0);

    // A new scan in state 5, then MSG_RESET drops the scanned page only.
    QCOMPARE(setCap(SIMCAP_TRIGGER, TWTY_UINT16, SIM_TRIGGER_SCAN), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(g_log.next().msg, TW_UINT16(MSG_XFERREADY));
    TW_IMAGELAYOUT layout{};
    QCOMPARE(call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(copyOf(layout.PageNumber), TW_UINT32(2));
    QCOMPARE(endXfer(count, MSG_RESET), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(count, TW_UINT16(0));
    QCOMPARE(current(SIMCAP_FEEDERPAGES), 3.0);
    QCOMPARE(disable(), TW_UINT16(TWRC_SUCCESS));
}

// ---------------------------------------------------------------------------
// The dialog and notifications

void TestScanner::dialog_data()
{
    QTest::addColumn<ushort>("enableMsg");
    QTest::addColumn<bool>("modal");
    QTest::addColumn<uint>("windowMessage");
    QTest::addColumn<bool>("posted"); // through the message queue and MSG_PROCESSEVENT
    QTest::addColumn<ushort>("notification");
    QTest::newRow("scan") << ushort(MSG_ENABLEDS) << false << uint(kWmScan) << false << ushort(MSG_XFERREADY);
    QTest::newRow("scan posted") << ushort(MSG_ENABLEDS) << false << uint(kWmScan) << true
                                 << ushort(MSG_XFERREADY);
    QTest::newRow("cancel") << ushort(MSG_ENABLEDS) << false << uint(kWmCancel) << false
                            << ushort(MSG_CLOSEDSREQ);
    QTest::newRow("close modal") << ushort(MSG_ENABLEDS) << true << uint(WM_CLOSE) << true
                                 << ushort(MSG_CLOSEDSREQ);
    QTest::newRow("settings OK") << ushort(MSG_ENABLEDSUIONLY) << false << uint(kWmScan) << false
                                 << ushort(MSG_CLOSEDSOK);
    QTest::newRow("settings cancel") << ushort(MSG_ENABLEDSUIONLY) << false << uint(kWmCancel) << true
                                     << ushort(MSG_CLOSEDSREQ);
}

void TestScanner::dialog()
{
    QFETCH(ushort, enableMsg);
    QFETCH(bool, modal);
    QFETCH(uint, windowMessage);
    QFETCH(bool, posted);
    QFETCH(ushort, notification);

    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"tst-scanner-parent";
    RegisterClassW(&wc);
    HWND parent = CreateWindowExW(0, L"tst-scanner-parent", L"parent", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, nullptr);
    QVERIFY(parent);

    HWND dialog = nullptr;
    QVERIFY(!findDialog(dialog));
    QCOMPARE(enable(true, parent, modal, enableMsg), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(findDialog(dialog));
    QVERIFY(IsWindowVisible(dialog));
    QCOMPARE(GetWindow(dialog, GW_OWNER), parent);
    QVERIFY(!GetWindow(dialog, GW_CHILD));
    QCOMPARE(IsWindowEnabled(parent) == FALSE, modal);
    QVERIFY(g_log.next(50).msg == MSG_NULL); // nothing happens until the user acts

    if (posted) {
        // The application's loop hands each message to the source first; the
        // source claims the ones for its dialog and dispatches them itself.
        QVERIFY(PostMessageW(dialog, windowMessage, 0, 0));
        MSG message{};
        QVERIFY(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
        QCOMPARE(message.hwnd, dialog);
        TW_EVENT event{&message, MSG_NULL};
        QCOMPARE(call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TW_UINT16(TWRC_DSEVENT));
        QCOMPARE(event.TWMessage, TW_UINT16(MSG_NULL));
    } else {
        SendMessageW(dialog, windowMessage, 0, 0);
    }
    QCOMPARE(g_log.next().msg, TW_UINT16(notification));
    if (notification == MSG_XFERREADY) {
        TW_UINT16 count = 0;
        QCOMPARE(endXfer(count, MSG_RESET), TW_UINT16(TWRC_SUCCESS));
        QVERIFY(IsWindow(dialog)); // the dialog stays for more scans
    }
    QCOMPARE(disable(), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(!IsWindow(dialog));
    QVERIFY(IsWindowEnabled(parent));
    DestroyWindow(parent);
    UnregisterClassW(L"tst-scanner-parent", nullptr);
}

void TestScanner::notifications_data()
{
    QTest::addColumn<ushort>("route");
    QTest::addColumn<bool>("thread");
    QTest::addColumn<uint>("delay");
    QTest::addColumn<ushort>("registration"); // DAT_CALLBACK2, DAT_CALLBACK, or DAT_NULL for none
    QTest::newRow("callback2, thread") << ushort(SIM_ROUTE_DSM) << true << 0u << ushort(DAT_CALLBACK2);
    QTest::newRow("callback2, thread, later")
        << ushort(SIM_ROUTE_DSM) << true << 30u << ushort(DAT_CALLBACK2);
    QTest::newRow("callback2, inside") << ushort(SIM_ROUTE_DSM) << false << 0u << ushort(DAT_CALLBACK2);
    QTest::newRow("callback, thread") << ushort(SIM_ROUTE_DSM) << true << 0u << ushort(DAT_CALLBACK);
    QTest::newRow("callback, inside") << ushort(SIM_ROUTE_DSM) << false << 0u << ushort(DAT_CALLBACK);
    QTest::newRow("DSM queue, thread") << ushort(SIM_ROUTE_DSM) << true << 0u << ushort(DAT_NULL);
    QTest::newRow("DSM queue, inside") << ushort(SIM_ROUTE_DSM) << false << 0u << ushort(DAT_NULL);
    QTest::newRow("source's own, thread") << ushort(SIM_ROUTE_NONE) << true << 0u << ushort(DAT_CALLBACK2);
    QTest::newRow("source's own, inside") << ushort(SIM_ROUTE_NONE) << false << 0u << ushort(DAT_CALLBACK2);
}

void TestScanner::notifications()
{
    QFETCH(ushort, route);
    QFETCH(bool, thread);
    QFETCH(uint, delay);
    QFETCH(ushort, registration);

    QCOMPARE(registerCallback(registration), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_NOTIFYROUTE, TWTY_UINT16, route), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_NOTIFYTHREAD, TWTY_BOOL, thread), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_NOTIFYDELAY, TWTY_UINT32, delay), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(enable(false), TW_UINT16(TWRC_SUCCESS));

    const bool viaCallback = route == SIM_ROUTE_DSM && registration != DAT_NULL;
    if (viaCallback) {
        if (!thread)
            QVERIFY(!g_log.empty()); // delivered before MSG_ENABLEDS returned
        const Received r = g_log.next();
        QCOMPARE(r.msg, TW_UINT16(MSG_XFERREADY));
        QCOMPARE(r.thread == std::this_thread::get_id(), !thread);
    } else {
        // As an application's message loop does: every message, and a null
        // one now and then, goes through MSG_PROCESSEVENT.
        TW_UINT16 got = MSG_NULL;
        QElapsedTimer waited;
        waited.start();
        while (got == MSG_NULL && waited.elapsed() < kWaitMs) {
            MSG message{};
            const bool posted = PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);
            TW_EVENT event{posted ? &message : nullptr, MSG_NULL};
            const TW_UINT16 rc = call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
            if (rc == TWRC_DSEVENT)
                got = event.TWMessage;
            else if (posted)
                DispatchMessageW(&message);
            if (!posted)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        QCOMPARE(got, TW_UINT16(MSG_XFERREADY));
        QVERIFY(g_log.empty());
    }
    TW_UINT16 count = 0;
    QCOMPARE(endXfer(count, MSG_RESET), TW_UINT16(TWRC_SUCCESS));
}

void TestScanner::triggers_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<ushort>("trigger");
    QTest::addColumn<ushort>("rc");
    QTest::addColumn<ushort>("notification");
    QTest::newRow("device event in 4")
        << 4 << ushort(SIM_TRIGGER_DEVICEEVENT) << ushort(TWRC_SUCCESS) << ushort(MSG_DEVICEEVENT);
    QTest::newRow("close request in 4")
        << 4 << ushort(SIM_TRIGGER_CLOSEDSREQ) << ushort(TWRC_FAILURE) << ushort(MSG_NULL);
    QTest::newRow("scan in 4") << 4 << ushort(SIM_TRIGGER_SCAN) << ushort(TWRC_FAILURE) << ushort(MSG_NULL);
    QTest::newRow("scan in 5") << 5 << ushort(SIM_TRIGGER_SCAN) << ushort(TWRC_SUCCESS)
                               << ushort(MSG_XFERREADY);
    QTest::newRow("close request in 5")
        << 5 << ushort(SIM_TRIGGER_CLOSEDSREQ) << ushort(TWRC_SUCCESS) << ushort(MSG_CLOSEDSREQ);
    QTest::newRow("close OK in 5") << 5 << ushort(SIM_TRIGGER_CLOSEDSOK) << ushort(TWRC_SUCCESS)
                                   << ushort(MSG_CLOSEDSOK);
    QTest::newRow("close request in 6")
        << 6 << ushort(SIM_TRIGGER_CLOSEDSREQ) << ushort(TWRC_SUCCESS) << ushort(MSG_CLOSEDSREQ);
    QTest::newRow("device event in 6")
        << 6 << ushort(SIM_TRIGGER_DEVICEEVENT) << ushort(TWRC_SUCCESS) << ushort(MSG_DEVICEEVENT);
    QTest::newRow("scan in 6") << 6 << ushort(SIM_TRIGGER_SCAN) << ushort(TWRC_FAILURE) << ushort(MSG_NULL);
}

void TestScanner::triggers()
{
    QFETCH(int, state);
    QFETCH(ushort, trigger);
    QFETCH(ushort, rc);
    QFETCH(ushort, notification);

    if (state == 5)
        QCOMPARE(enable(true), TW_UINT16(TWRC_SUCCESS));
    if (state == 6)
        QVERIFY(scanReady());
    QCOMPARE(setCap(SIMCAP_TRIGGER, TWTY_UINT16, trigger), TW_UINT16(rc));
    if (rc != TWRC_SUCCESS) {
        QCOMPARE(condition(), TW_UINT16(TWCC_SEQERROR));
        QCOMPARE(current(SIMCAP_TRIGGER), double(SIM_TRIGGER_NONE));
    } else {
        QCOMPARE(current(SIMCAP_TRIGGER), double(trigger));
    }
    QCOMPARE(g_log.next(rc == TWRC_SUCCESS ? kWaitMs : 50).msg, TW_UINT16(notification));
    TW_DEVICEEVENT event{};
    if (notification == MSG_DEVICEEVENT) {
        QCOMPARE(call(DG_CONTROL, DAT_DEVICEEVENT, MSG_GET, &event), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(copyOf(event.Event), TW_UINT32(TWDE_DEVICEREADY));
        QCOMPARE(QByteArray(event.DeviceName), QByteArray(kProductName));
    }
    QCOMPARE(call(DG_CONTROL, DAT_DEVICEEVENT, MSG_GET, &event), TW_UINT16(TWRC_FAILURE));
}

// ---------------------------------------------------------------------------
// Fault injection

void TestScanner::failTriplet_data()
{
    QTest::addColumn<uint>("skip");
    QTest::addColumn<uint>("count");
    QTest::addColumn<ushort>("failReturn");
    QTest::addColumn<QVector<int>>("results"); // of four calls
    QTest::addColumn<uint>("armedAfter");

    const uint triplet = simTriplet(DAT_IMAGELAYOUT, MSG_GET);
    using V = QVector<int>;
    QTest::newRow("once") << 0u << 1u << ushort(TWRC_FAILURE) << V{1, 0, 0, 0} << 0u;
    QTest::newRow("after two") << 2u << 1u << ushort(TWRC_FAILURE) << V{0, 0, 1, 0} << 0u;
    QTest::newRow("twice") << 1u << 2u << ushort(TWRC_FAILURE) << V{0, 1, 1, 0} << 0u;
    QTest::newRow("always") << 0u << 0u << ushort(TWRC_FAILURE) << V{1, 1, 1, 1} << triplet;
    QTest::newRow("check status") << 0u << 1u << ushort(TWRC_CHECKSTATUS) << V{2, 0, 0, 0} << 0u;
}

void TestScanner::failTriplet()
{
    QFETCH(uint, skip);
    QFETCH(uint, count);
    QFETCH(ushort, failReturn);
    QFETCH(QVector<int>, results);
    QFETCH(uint, armedAfter);

    QCOMPARE(setCap(SIMCAP_FAILCONDITION, TWTY_UINT16, TWCC_PAPERJAM), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_FAILRETURN, TWTY_UINT16, failReturn), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_FAILSKIP, TWTY_UINT32, skip), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_FAILCOUNT, TWTY_UINT32, count), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_FAILTRIPLET, TWTY_UINT32, simTriplet(DAT_IMAGELAYOUT, MSG_GET)),
             TW_UINT16(TWRC_SUCCESS));
    for (int expected : results) {
        TW_IMAGELAYOUT layout{};
        // Another triplet is not touched.
        QCOMPARE(call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, &layout), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TW_UINT16(expected));
        QCOMPARE(condition(), TW_UINT16(expected ? TWCC_PAPERJAM : TWCC_SUCCESS));
    }
    QCOMPARE(current(SIMCAP_FAILTRIPLET), double(armedAfter));
}

void TestScanner::cancelPage_data()
{
    QTest::addColumn<ushort>("mech");
    QTest::newRow("native") << ushort(TWSX_NATIVE);
    QTest::newRow("file") << ushort(TWSX_FILE);
    QTest::newRow("memory") << ushort(TWSX_MEMORY);
    QTest::newRow("memfile") << ushort(TWSX_MEMFILE);
}

void TestScanner::cancelPage()
{
    QFETCH(ushort, mech);
    QCOMPARE(setCap(ICAP_XFERMECH, TWTY_UINT16, mech), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_CANCELPAGE, TWTY_UINT32, 2), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    const TW_UINT16 expected[] = {TWRC_XFERDONE, TWRC_CANCEL, TWRC_XFERDONE};
    for (TW_UINT16 page = 1; page <= 3; ++page) {
        Picture pic;
        QCOMPARE(transfer(mech, TWPT_RGB, 24, false, pic), expected[page - 1]);
        QCOMPARE(pic.values.empty(), page == 2);
        TW_UINT16 count = 0;
        QCOMPARE(endXfer(count), TW_UINT16(TWRC_SUCCESS)); // from 7, cancelled or not
        QCOMPARE(count, TW_UINT16(3 - page));
    }
}

void TestScanner::successNotDone_data()
{
    QTest::addColumn<ushort>("mech");
    QTest::addColumn<QVector<int>>("codes"); // of the transfer triplets (memory: the last two blocks)
    QTest::newRow("native") << ushort(TWSX_NATIVE) << QVector<int>{TWRC_SUCCESS};
    QTest::newRow("file") << ushort(TWSX_FILE) << QVector<int>{TWRC_SUCCESS};
    QTest::newRow("memory") << ushort(TWSX_MEMORY) << QVector<int>{TWRC_SUCCESS, TWRC_XFERDONE};
    QTest::newRow("memfile") << ushort(TWSX_MEMFILE) << QVector<int>{TWRC_SUCCESS, TWRC_XFERDONE};
}

void TestScanner::successNotDone()
{
    QFETCH(ushort, mech);
    QFETCH(QVector<int>, codes);
    QCOMPARE(setCap(ICAP_XFERMECH, TWTY_UINT16, mech), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_SUCCESSNOTDONE, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    Picture pic;
    if (codes.size() == 1) {
        QCOMPARE(transfer(mech, TWPT_RGB, 24, false, pic), TW_UINT16(codes[0]));
    } else {
        // One buffer takes the whole page: the data, then an empty end.
        std::vector<TW_UINT8> bytes;
        std::vector<TW_IMAGEMEMXFER> blocks;
        std::vector<TW_UINT16> got;
        const TW_UINT16 dat = mech == TWSX_MEMORY ? DAT_IMAGEMEMXFER : DAT_IMAGEMEMFILEXFER;
        QCOMPARE(fetchBlocks(dat, 65536, bytes, &blocks, &got), TW_UINT16(TWRC_XFERDONE));
        QCOMPARE(QVector<int>(got.begin(), got.end()), codes);
        QVERIFY(blocks.front().BytesWritten > 0);
        QCOMPARE(blocks.back().BytesWritten, TW_UINT32(0));
        if (mech == TWSX_MEMORY)
            QCOMPARE(bytes.size(), std::size_t(37 * 3 * 23));
        else
            QCOMPARE(le32(bytes.data() + 2), TW_UINT32(bytes.size()));
        return;
    }
    const QByteArray bad = mismatch(pic, TWPT_RGB, 24, 1);
    QVERIFY2(bad.isEmpty(), bad.constData());
}

void TestScanner::undefinedSize_data()
{
    QTest::addColumn<ushort>("cap");
    QTest::addColumn<ushort>("mech");
    QTest::newRow("allowed, memory") << ushort(ICAP_UNDEFINEDIMAGESIZE) << ushort(TWSX_MEMORY);
    QTest::newRow("forced, memory") << ushort(SIMCAP_UNDEFINEDSIZE) << ushort(TWSX_MEMORY);
    QTest::newRow("forced, native") << ushort(SIMCAP_UNDEFINEDSIZE) << ushort(TWSX_NATIVE);
}

void TestScanner::undefinedSize()
{
    QFETCH(ushort, cap);
    QFETCH(ushort, mech);
    QCOMPARE(setCap(ICAP_XFERMECH, TWTY_UINT16, mech), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(cap, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    TW_IMAGEINFO info{};
    QCOMPARE(call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(copyOf(info.ImageWidth), TW_INT32(37));
    QCOMPARE(copyOf(info.ImageLength), TW_INT32(-1));
    Picture pic;
    QCOMPARE(transfer(mech, TWPT_RGB, 24, false, pic, 200), TW_UINT16(TWRC_XFERDONE));
    QCOMPARE(pic.height, TW_INT32(23));
    QCOMPARE(call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(copyOf(info.ImageLength), TW_INT32(23));
}

void TestScanner::dibQuirks_data()
{
    QTest::addColumn<ushort>("bitDepth");
    QTest::addColumn<ushort>("sigBits");
    QTest::addColumn<bool>("packed");
    QTest::addColumn<ushort>("greyTable");
    QTest::addColumn<ushort>("memory");
    QTest::addColumn<uint>("clrUsed");
    QTest::addColumn<uint>("blockSize");

    // 37 x 23 grey: 8-bit rows of 40 bytes; 16-bit rows of 76 (aligned) or 74.
    QTest::newRow("8 with table") << ushort(8) << ushort(16) << false << ushort(SIM_GREYTABLE_PRESENT)
                                  << ushort(SIM_DIBMEM_MOVEABLE) << 256u << 40u + 1024u + 40u * 23u;
    QTest::newRow("8 without table, small block")
        << ushort(8) << ushort(16) << false << ushort(SIM_GREYTABLE_NONE) << ushort(SIM_DIBMEM_MOVEABLE) << 0u
        << 40u + 40u * 23u;
    QTest::newRow("8 without table, room for one")
        << ushort(8) << ushort(16) << false << ushort(SIM_GREYTABLE_IMPLIED) << ushort(SIM_DIBMEM_FIXED) << 0u
        << 40u + 1024u + 40u * 23u;
    QTest::newRow("16 of 16 bits") << ushort(16) << ushort(16) << false << ushort(SIM_GREYTABLE_PRESENT)
                                   << ushort(SIM_DIBMEM_MOVEABLE) << 0u << 40u + 76u * 23u;
    QTest::newRow("12 of 16 bits, fixed")
        << ushort(16) << ushort(12) << false << ushort(SIM_GREYTABLE_PRESENT) << ushort(SIM_DIBMEM_FIXED)
        << 0u << 40u + 76u * 23u;
    QTest::newRow("8 of 16 bits, packed") << ushort(16) << ushort(8) << true << ushort(SIM_GREYTABLE_PRESENT)
                                          << ushort(SIM_DIBMEM_MOVEABLE) << 0u << 40u + 74u * 23u;
}

void TestScanner::dibQuirks()
{
    // Fixed and moveable blocks are global memory, what an older application
    // receives; a TWAIN 2 application gets the DSM's memory.
    cleanup();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(openSession(false));
    QCOMPARE(registerCallback(DAT_CALLBACK2), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(setFrame(0, 0, 0.37, 0.23));
    QFETCH(ushort, bitDepth);
    QFETCH(ushort, sigBits);
    QFETCH(bool, packed);
    QFETCH(ushort, greyTable);
    QFETCH(ushort, memory);
    QFETCH(uint, clrUsed);
    QFETCH(uint, blockSize);

    QCOMPARE(setCap(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(ICAP_BITDEPTH, TWTY_UINT16, bitDepth), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_DIBSIGBITS, TWTY_UINT16, sigBits), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_DIB16PACKED, TWTY_BOOL, packed), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_DIBGREYTABLE, TWTY_UINT16, greyTable), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_DIBMEMORY, TWTY_UINT16, memory), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    TW_HANDLE h = nullptr;
    QCOMPARE(nativeHandle(h), TW_UINT16(TWRC_XFERDONE));
    QVERIFY(h);
    QCOMPARE(GlobalSize(h), SIZE_T(blockSize));
    const auto* p = static_cast<const TW_UINT8*>(GlobalLock(h));
    QVERIFY(p);
    QCOMPARE(p == h, memory == SIM_DIBMEM_FIXED);
    const DibHeader header = dibHeader(p);
    QCOMPARE(header.bitCount, TW_UINT16(bitDepth));
    QCOMPARE(header.clrUsed, TW_UINT32(clrUsed));
    QCOMPARE(header.height, TW_INT32(23)); // bottom-up
    const std::size_t stride = bitDepth == 8 ? 40 : (packed ? 74 : 76);
    QCOMPARE(header.sizeImage, TW_UINT32(stride * 23));
    const std::size_t pixelsAt = 40 + (greyTable == SIM_GREYTABLE_NONE || bitDepth == 16 ? 0 : 1024);
    for (TW_UINT32 y = 0; y < 23; ++y) {
        const TW_UINT8* row = p + pixelsAt + stride * (22 - y);
        for (TW_UINT32 x = 0; x < 37; ++x) {
            const quint32 got = bitDepth == 8 ? row[x] : le16(row + 2 * x);
            const quint32 want = bitDepth == 8 ? grey8(1, x, y) : dibGrey16(1, x, y, sigBits);
            QCOMPARE(got, want);
        }
    }
    if (greyTable == SIM_GREYTABLE_IMPLIED)
        QCOMPARE(p[40 + 4 * 200], TW_UINT8(200)); // the ramp is where a table belongs
    GlobalUnlock(h);
    GlobalFree(h);
}

void TestScanner::memoryForTwain2Applications()
{
    // Containers and images come from the DSM's memory functions, which Win32
    // global memory does not know.
    QVERIFY(m_mem.DSM_MemAllocate);
    TW_CAPABILITY cap{ICAP_XFERMECH, TWON_DONTCARE16, nullptr};
    QCOMPARE(call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &cap), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(cap.hContainer);
    QCOMPARE(GlobalSize(cap.hContainer), SIZE_T(0));
    QVERIFY(memSize(cap.hContainer) >= 6);
    memFree(cap.hContainer);

    // And so does what the application sets.
    QCOMPARE(setCap(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(current(ICAP_PIXELTYPE), double(TWPT_GRAY));

    QVERIFY(scanReady());
    TW_HANDLE h = nullptr;
    QCOMPARE(nativeHandle(h), TW_UINT16(TWRC_XFERDONE));
    QVERIFY(h);
    QCOMPARE(GlobalSize(h), SIZE_T(0));
    QVERIFY(!GlobalLock(h));
    const auto* p = static_cast<const TW_UINT8*>(memLock(h));
    QVERIFY(p);
    QCOMPARE(dibHeader(p).height, TW_INT32(23));
    memUnlock(h);
    memFree(h);
}

void TestScanner::extImageInfo()
{
    QCOMPARE(setCap(ICAP_EXTIMAGEINFO, TWTY_BOOL, 1), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(ICAP_PIXELFLAVOR, TWTY_UINT16, TWPF_VANILLA), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(scanReady());
    TW_HANDLE h = nullptr;
    QCOMPARE(nativeHandle(h), TW_UINT16(TWRC_XFERDONE));
    memFree(h);
    alignas(8) TW_UINT8 block[sizeof(TW_EXTIMAGEINFO) + 3 * sizeof(TW_INFO)] = {};
    auto* ext = reinterpret_cast<pTW_EXTIMAGEINFO>(block);
    ext->NumInfos = 3;
    ext->Info[0].InfoID = TWEI_PAGENUMBER;
    ext->Info[1].InfoID = TWEI_PIXELFLAVOR;
    ext->Info[2].InfoID = TWEI_BARCODETEXT;
    QCOMPARE(call(DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, ext), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(ext->Info[0].ReturnCode, TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(ext->Info[0].ItemType, TW_UINT16(TWTY_UINT32));
    // Packed: Item is not aligned for a reference.
    const TW_UINTPTR page = ext->Info[0].Item;
    const TW_UINTPTR flavour = ext->Info[1].Item;
    QCOMPARE(page, TW_UINTPTR(1));
    QCOMPARE(flavour, TW_UINTPTR(TWPF_VANILLA));
    QCOMPARE(ext->Info[2].ReturnCode, TW_UINT16(TWRC_INFONOTSUPPORTED));
}

namespace {

struct PumpRecord
{
    int calls = 0;
    TW_UINT16 nested = 0xFFFF;
    std::function<TW_UINT16()> nestedCall;
};

void countingPump(void* context)
{
    auto* record = static_cast<PumpRecord*>(context);
    if (record->calls++ == 0 && record->nestedCall)
        record->nested = record->nestedCall(); // the host's event loop makes a call of its own
}

} // namespace

void TestScanner::delay_data()
{
    QTest::addColumn<bool>("pump");
    QTest::newRow("pumping") << true;
    QTest::newRow("sleeping") << false;
}

void TestScanner::delay()
{
    QFETCH(bool, pump);
    QCOMPARE(setCap(SIMCAP_DELAYTRIPLET, TWTY_UINT32, simTriplet(DAT_IMAGELAYOUT, MSG_GET)),
             TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_DELAYMS, TWTY_UINT32, 30), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(SIMCAP_DELAYPUMP, TWTY_BOOL, pump), TW_UINT16(TWRC_SUCCESS));
    PumpRecord record;
    record.nestedCall = [this] {
        return current(CAP_XFERCOUNT) == -1.0 ? TW_UINT16(TWRC_SUCCESS) : TW_UINT16(1);
    };
    PelirandSetMessagePump(countingPump, &record);
    TW_IMAGELAYOUT layout{};
    QCOMPARE(call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TW_UINT16(TWRC_SUCCESS));
    PelirandSetMessagePump(nullptr, nullptr);
    QCOMPARE(record.calls > 0, pump);
    QCOMPARE(record.nested, TW_UINT16(pump ? TWRC_SUCCESS : 0xFFFF));
    QCOMPARE(copyOf(layout.PageNumber), TW_UINT32(1));
}

int TestScanner::crashChild()
{
    // No core file for a crash that is the point of the exercise.
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    TestScanner t;
    if (!t.openSession())
        return 3;
    if (t.setCap(SIMCAP_CRASHTRIPLET, TWTY_UINT32, simTriplet(DAT_IMAGELAYOUT, MSG_GET)) != TWRC_SUCCESS)
        return 4;
    TW_IMAGELAYOUT layout{};
    t.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout);
    return 5; // still alive: the control did nothing
}

void TestScanner::crash()
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kCrashChildVariable, "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForStarted());
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
}

// A 16-bit BMP means 5-5-5 RGB to every reader: 16-bit grey files are TIFF.
void TestScanner::grey16NeverBmp()
{
    QCOMPARE(setCap(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(setCap(ICAP_BITDEPTH, TWTY_UINT16, 16), TW_UINT16(TWRC_SUCCESS));
    TW_UINT16 format = 0;
    TW_CAPABILITY c{ICAP_IMAGEFILEFORMAT, TWON_DONTCARE16, nullptr};
    QCOMPARE(call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &c), TW_UINT16(TWRC_SUCCESS));
    std::memcpy(&format, static_cast<const TW_UINT8*>(memLock(c.hContainer)) + 2, 2);
    memUnlock(c.hContainer);
    memFree(c.hContainer);
    QCOMPARE(format, TW_UINT16(TWFF_TIFF));
    QCOMPARE(setCap(ICAP_IMAGEFILEFORMAT, TWTY_UINT16, TWFF_BMP), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_BADVALUE));
    TW_SETUPFILEXFER setup{};
    std::strcpy(setup.FileName, "page.bmp");
    setup.Format = TWFF_BMP;
    QCOMPARE(call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_BADVALUE));
    setup.Format = TWFF_TIFF;
    QCOMPARE(call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TW_UINT16(TWRC_SUCCESS));
}

int main(int argc, char** argv)
{
    if (std::getenv(kCrashChildVariable))
        return TestScanner::crashChild();
    QCoreApplication app(argc, argv);
    TestScanner test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_scanner.moc"
