#include "sanetestsupport.h"

#include <QDir>
#include <QFile>

#include <tiffio.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace sanetest {

namespace {

std::mutex g_mutex;
std::condition_variable g_arrived;
std::deque<TW_UINT16> g_messages;

TW_UINT16 TW_CALLINGSTYLE appCallback(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16 msg,
                                      TW_MEMREF)
{
    Session::noteMessage(msg);
    return TWRC_SUCCESS;
}

std::uint32_t le16(const std::uint8_t* p)
{
    return p[0] | (p[1] << 8);
}
std::uint32_t le32(const std::uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
}

std::uint64_t rgb(std::uint64_t r, std::uint64_t g, std::uint64_t b, bool wide)
{
    return wide ? (r << 32) | (g << 16) | b : (r << 16) | (g << 8) | b;
}

// A row in TWAIN transfer order as values.
void transferRow(const std::uint8_t* row, int width, int pixelType, int bitDepth,
                 std::vector<std::uint64_t>& out)
{
    for (int x = 0; x < width; ++x) {
        if (pixelType == TWPT_BW)
            out.push_back((row[x / 8] >> (7 - x % 8)) & 1);
        else if (pixelType == TWPT_GRAY)
            out.push_back(bitDepth == 16 ? le16(row + 2 * x) : row[x]);
        else if (bitDepth == 48)
            out.push_back(rgb(le16(row + 6 * x), le16(row + 6 * x + 2), le16(row + 6 * x + 4), true));
        else
            out.push_back(rgb(row[3 * x], row[3 * x + 1], row[3 * x + 2], false));
    }
}

template <typename T>
T copyOf(T v)
{
    return v;
}

} // namespace

QByteArray difference(const Picture& got, const Picture& want)
{
    if (got.width != want.width || got.height != want.height)
        return QByteArray("size ") + QByteArray::number(got.width) + "x" + QByteArray::number(got.height) +
               ", want " + QByteArray::number(want.width) + "x" + QByteArray::number(want.height);
    if (got.values.size() != want.values.size())
        return "pixel count";
    for (std::size_t i = 0; i < got.values.size(); ++i) {
        if (got.values[i] != want.values[i])
            return QByteArray("pixel ") + QByteArray::number(int(i % got.width)) + "," +
                   QByteArray::number(int(i / got.width)) + ": got " +
                   QByteArray::number(qulonglong(got.values[i]), 16) + ", want " +
                   QByteArray::number(qulonglong(want.values[i]), 16);
    }
    return {};
}

Picture fromStrips(const std::vector<std::uint8_t>& rows, int width, int height, int pixelType, int bitDepth,
                   std::size_t bytesPerRow)
{
    Picture pic;
    if (rows.size() < bytesPerRow * std::size_t(height))
        return pic;
    pic.width = width;
    pic.height = height;
    for (int y = 0; y < height; ++y)
        transferRow(rows.data() + bytesPerRow * std::size_t(y), width, pixelType, bitDepth, pic.values);
    return pic;
}

Picture fromDib(const std::uint8_t* p, std::size_t size, int pixelType)
{
    Picture pic;
    if (size < 40)
        return pic;
    const std::uint32_t headerSize = le32(p);
    const int width = int(le32(p + 4));
    const int height = int(le32(p + 8));
    const int bits = int(le16(p + 14));
    std::uint32_t entries = le32(p + 32);
    if (!entries && bits <= 8)
        entries = 1u << bits;
    const std::size_t at = headerSize + 4 * entries;
    const std::size_t stride = (std::size_t(width) * bits + 31) / 32 * 4;
    const int rows = height < 0 ? -height : height;
    if (width <= 0 || at + stride * std::size_t(rows) > size)
        return pic;
    pic.width = width;
    pic.height = rows;
    auto colour = [&](std::uint32_t i) {
        const std::uint8_t* q = p + headerSize + 4 * i;
        return rgb(q[2], q[1], q[0], false);
    };
    for (int y = 0; y < rows; ++y) {
        const std::uint8_t* row = p + at + stride * std::size_t(height > 0 ? rows - 1 - y : y);
        for (int x = 0; x < width; ++x) {
            switch (bits) {
            case 1:
                pic.values.push_back(colour((row[x / 8] >> (7 - x % 8)) & 1) == 0xFFFFFF ? 1 : 0);
                break;
            case 8:
                pic.values.push_back(pixelType == TWPT_GRAY ? colour(row[x]) & 0xFF : colour(row[x]));
                break;
            case 16:
                pic.values.push_back(le16(row + 2 * x));
                break;
            case 48:
                pic.values.push_back(
                    rgb(le16(row + 6 * x + 4), le16(row + 6 * x + 2), le16(row + 6 * x), true));
                break;
            default:
                pic.values.push_back(rgb(row[3 * x + 2], row[3 * x + 1], row[3 * x], false));
                break;
            }
        }
    }
    return pic;
}

Picture fromBmpFile(const std::vector<std::uint8_t>& bytes, int pixelType)
{
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M')
        return {};
    const std::uint32_t off = le32(bytes.data() + 10);
    Picture pic = fromDib(bytes.data() + 14, bytes.size() - 14, pixelType);
    // The pixels must be where the file header says.
    const std::uint32_t entries = le32(bytes.data() + 14 + 32);
    if (off != 14 + 40 + 4 * entries)
        return {};
    return pic;
}

Picture fromTiff(const QString& path, int pixelType)
{
    Picture pic;
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF* t = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!t)
        return pic;
    std::uint32_t w = 0, h = 0;
    std::uint16_t bps = 0, spp = 1, photometric = 0, compression = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(t, TIFFTAG_COMPRESSION, &compression);
    const bool ok = compression == COMPRESSION_NONE &&
                    ((pixelType == TWPT_RGB && photometric == PHOTOMETRIC_RGB && spp == 3) ||
                     (pixelType != TWPT_RGB && photometric == PHOTOMETRIC_MINISBLACK && spp == 1));
    if (ok) {
        std::vector<std::uint8_t> line(std::size_t(TIFFScanlineSize(t)));
        pic.width = int(w);
        pic.height = int(h);
        const int depth = pixelType == TWPT_RGB ? bps * 3 : bps;
        for (std::uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(t, line.data(), y, 0) != 1) {
                pic = Picture{};
                break;
            }
            transferRow(line.data(), int(w), pixelType, depth, pic.values); // host order = LE here
        }
    }
    TIFFClose(t);
    return pic;
}

Picture fromTiffBytes(const std::vector<std::uint8_t>& bytes, int pixelType)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("page.tif"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size()))
        return {};
    f.close();
    return fromTiff(path, pixelType);
}

Picture fromPnm(const QByteArray& pnm)
{
    Picture pic;
    // Header: magic, width, height, [maxval], each after white space and comments.
    int pos = 0;
    auto token = [&]() {
        QByteArray t;
        while (pos < pnm.size()) {
            const char c = pnm[pos];
            if (c == '#') {
                while (pos < pnm.size() && pnm[pos] != '\n')
                    ++pos;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                if (!t.isEmpty())
                    break;
                ++pos;
            } else {
                t.append(c);
                ++pos;
            }
        }
        return t;
    };
    const QByteArray magic = token();
    const int w = token().toInt();
    const int h = token().toInt();
    const int maxval = magic == "P4" ? 1 : token().toInt();
    ++pos; // the one white-space character before the pixels
    const auto* p = reinterpret_cast<const std::uint8_t*>(pnm.constData()) + pos;
    const std::size_t left = std::size_t(pnm.size() - pos);
    const int bytes = maxval > 255 ? 2 : 1;
    auto be = [&](const std::uint8_t* q) {
        return bytes == 2 ? std::uint64_t((q[0] << 8) | q[1]) : std::uint64_t(q[0]);
    };
    pic.width = w;
    pic.height = h;
    if (magic == "P4") {
        const std::size_t stride = std::size_t(w + 7) / 8;
        if (left < stride * h)
            return {};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                pic.values.push_back(((p[stride * y + x / 8] >> (7 - x % 8)) & 1) ? 0 : 1);
    } else if (magic == "P5") {
        if (left < std::size_t(w) * h * bytes)
            return {};
        for (int i = 0; i < w * h; ++i)
            pic.values.push_back(be(p + i * bytes));
    } else if (magic == "P6") {
        if (left < std::size_t(w) * h * 3 * bytes)
            return {};
        for (int i = 0; i < w * h; ++i) {
            const std::uint8_t* q = p + 3 * i * bytes;
            pic.values.push_back(rgb(be(q), be(q + bytes), be(q + 2 * bytes), bytes == 2));
        }
    } else {
        return {};
    }
    return pic;
}

SaneConfig::SaneConfig(const QStringList& extraTestConf, const QString& netHost)
{
    m_old = qgetenv("SANE_CONFIG_DIR");
    auto write = [&](const char* name, const QByteArray& text) {
        QFile f(m_dir.filePath(QLatin1String(name)));
        if (f.open(QIODevice::WriteOnly))
            f.write(text);
    };
    write("dll.conf", netHost.isEmpty() ? "test\n" : "test\nnet\n");
    QByteArray test = "number_of_devices 5\ngeometry_max 300\n";
    for (const QString& line : extraTestConf)
        test += line.toUtf8() + '\n';
    write("test.conf", test);
    write("net.conf", netHost.isEmpty() ? QByteArray() : "connect_timeout = 5\n" + netHost.toUtf8() + '\n');
    write("saned.conf", "127.0.0.1\nlocalhost\n");
    // A trailing colon would add the system's folder too: only ours.
    qputenv("SANE_CONFIG_DIR", m_dir.path().toUtf8());
}

SaneConfig::~SaneConfig()
{
    if (m_old.isNull())
        qunsetenv("SANE_CONFIG_DIR");
    else
        qputenv("SANE_CONFIG_DIR", m_old);
}

Picture scanimage(const QString& device, const QStringList& options, QString* error)
{
    // SANE's test backend now and then hangs scanimage itself at a page's
    // end (its reader thread cancelled inside the allocator): a scan that
    // has not ended in 10 s is tried once more.
    for (int attempt = 1;; ++attempt) {
        QProcess p;
        p.start(QStringLiteral("timeout"),
                QStringList{QStringLiteral("10"), QStringLiteral("scanimage"), QStringLiteral("-d"), device,
                            QStringLiteral("--format=pnm")} +
                    options);
        const bool finished = p.waitForFinished(20000);
        if (finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return fromPnm(p.readAllStandardOutput());
        p.kill();
        p.waitForFinished();
        const bool hung = !finished || p.exitCode() == 124;
        if (hung && attempt < 2)
            continue;
        if (error)
            *error = QStringLiteral("scanimage failed: ") +
                     (hung ? QStringLiteral("no end in 10 s, twice")
                           : QString::fromLocal8Bit(p.readAllStandardError()));
        return {};
    }
}

// ---------------------------------------------------------------------------

void Session::noteMessage(TW_UINT16 msg)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_messages.push_back(msg);
    }
    g_arrived.notify_all();
}

Session::~Session()
{
    close();
}

bool Session::open(QString* error)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_messages.clear();
    }
    m_dsm = LoadLibraryA("TWAINDSM.dll");
    m_entry =
        m_dsm
            ? reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(GetProcAddress(m_dsm, "DSM_Entry")))
            : nullptr;
    if (!m_entry) {
        if (error)
            *error = QStringLiteral("no DSM");
        return false;
    }
    m_app = TW_IDENTITY{};
    m_app.ProtocolMajor = 2;
    m_app.ProtocolMinor = 4;
    m_app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(m_app.ProductName, "tst_sane");
    if (m_entry(&m_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr) != TWRC_SUCCESS) {
        if (error)
            *error = QStringLiteral("MSG_OPENDSM failed");
        return false;
    }
    m_dsmOpen = true;
    m_memory = TW_ENTRYPOINT{};
    m_memory.Size = sizeof m_memory;
    if (m_entry(&m_app, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &m_memory) != TWRC_SUCCESS ||
        !m_memory.DSM_MemLock || !m_memory.DSM_MemFree || !m_memory.DSM_MemUnlock) {
        if (error)
            *error = QStringLiteral("no DSM entry points");
        return false;
    }
    m_source = TW_IDENTITY{};
    std::strcpy(m_source.ProductName, sanesource::kProductName);
    m_openRc = m_entry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_source);
    if (m_openRc != TWRC_SUCCESS) {
        if (error)
            *error = QStringLiteral("MSG_OPENDS failed, condition %1").arg(dsmCondition());
        return false;
    }
    m_sourceOpen = true;
    TW_CALLBACK2 cb{};
    cb.CallBackProc = reinterpret_cast<TW_MEMREF>(&appCallback);
    if (call(DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &cb) != TWRC_SUCCESS) {
        if (error)
            *error = QStringLiteral("no callback");
        return false;
    }
    return true;
}

void Session::close()
{
    if (m_sourceOpen) {
        TW_PENDINGXFERS p{};
        call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &p);
        disable();
        m_entry(&m_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m_source);
        m_sourceOpen = false;
    }
    if (m_dsmOpen) {
        m_entry(&m_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
        m_dsmOpen = false;
    }
    if (m_dsm)
        FreeLibrary(m_dsm);
    m_dsm = nullptr;
    m_entry = nullptr;
}

TW_UINT16 Session::call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    return m_entry(&m_app, &m_source, dg, dat, msg, data);
}

TW_UINT16 Session::condition()
{
    TW_STATUS status{};
    if (call(DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS)
        return 0xDEAD;
    return status.ConditionCode;
}

TW_UINT16 Session::dsmCondition()
{
    TW_STATUS status{};
    if (m_entry(&m_app, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS)
        return 0xDEAD;
    return status.ConditionCode;
}

TW_UINT16 Session::setCap(TW_UINT16 cap, TW_UINT16 type, double value)
{
    // A TWAIN 2 application's containers are the DSM's memory.
    TW_CAPABILITY c{cap, TWON_ONEVALUE, m_memory.DSM_MemAllocate(8)};
    auto* p = static_cast<TW_UINT8*>(m_memory.DSM_MemLock(c.hContainer));
    std::memset(p, 0, 8);
    std::memcpy(p, &type, 2);
    if (type == TWTY_FIX32) {
        const TW_INT32 raw = TW_INT32(value * 65536.0 + (value < 0 ? -0.5 : 0.5));
        const TW_FIX32 f{TW_INT16(raw >> 16), TW_UINT16(raw & 0xFFFF)};
        std::memcpy(p + 2, &f, 4);
    } else if (type == TWTY_INT32 || type == TWTY_UINT32) {
        const TW_UINT32 u = TW_UINT32(TW_INT32(value));
        std::memcpy(p + 2, &u, 4);
    } else {
        const TW_UINT16 u = TW_UINT16(TW_INT16(value));
        std::memcpy(p + 2, &u, 2);
    }
    m_memory.DSM_MemUnlock(c.hContainer);
    const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c);
    m_memory.DSM_MemFree(c.hContainer);
    return rc;
}

TW_UINT16 Session::getCap(TW_UINT16 cap, TW_UINT16 msg, TW_UINT16& conType, std::vector<double>& items,
                          double& current, double* min, double* max)
{
    TW_CAPABILITY c{cap, TWON_DONTCARE16, nullptr};
    const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, msg, &c);
    if (rc != TWRC_SUCCESS)
        return rc;
    conType = c.ConType;
    items.clear();
    const auto* p = static_cast<const TW_UINT8*>(m_memory.DSM_MemLock(c.hContainer));
    TW_UINT16 type = 0;
    std::memcpy(&type, p, 2);
    auto item = [&](const TW_UINT8* q) -> double {
        if (type == TWTY_FIX32) {
            TW_FIX32 f;
            std::memcpy(&f, q, 4);
            return f.Whole + f.Frac / 65536.0;
        }
        if (type == TWTY_INT16) {
            TW_INT16 v;
            std::memcpy(&v, q, 2);
            return v;
        }
        if (type == TWTY_INT32 || type == TWTY_UINT32) {
            TW_INT32 v;
            std::memcpy(&v, q, 4);
            return v;
        }
        TW_UINT16 v;
        std::memcpy(&v, q, 2);
        return v;
    };
    const std::size_t isz = type == TWTY_FIX32 || type == TWTY_INT32 || type == TWTY_UINT32 ? 4 : 2;
    if (conType == TWON_ONEVALUE) {
        current = item(p + 2);
    } else if (conType == TWON_RANGE) {
        if (min)
            *min = item(p + 2);
        if (max)
            *max = item(p + 6);
        current = item(p + 18);
    } else if (conType == TWON_ENUMERATION || conType == TWON_ARRAY) {
        TW_UINT32 n = 0, cur = 0;
        std::memcpy(&n, p + 2, 4);
        const std::size_t at = conType == TWON_ARRAY ? 6 : 14;
        if (conType == TWON_ENUMERATION)
            std::memcpy(&cur, p + 6, 4);
        for (TW_UINT32 i = 0; i < n; ++i)
            items.push_back(item(p + at + i * isz));
        current = n ? items[cur < n ? cur : 0] : 0;
    }
    m_memory.DSM_MemUnlock(c.hContainer);
    m_memory.DSM_MemFree(c.hContainer);
    return rc;
}

double Session::current(TW_UINT16 cap)
{
    TW_UINT16 conType = 0;
    std::vector<double> items;
    double value = -99999;
    if (getCap(cap, MSG_GETCURRENT, conType, items, value) != TWRC_SUCCESS)
        return -99999;
    return value;
}

TW_UINT16 Session::option(const char* name, const char* value)
{
    sanesource::SANE_TW_OPTION o{};
    std::strncpy(o.Name, name, sizeof o.Name - 1);
    std::strncpy(o.Value, value, sizeof o.Value - 1);
    return call(DG_CONTROL, sanesource::SANEDAT_OPTION, MSG_SET, &o);
}

QString Session::option(const char* name)
{
    sanesource::SANE_TW_OPTION o{};
    std::strncpy(o.Name, name, sizeof o.Name - 1);
    if (call(DG_CONTROL, sanesource::SANEDAT_OPTION, MSG_GET, &o) != TWRC_SUCCESS)
        return QStringLiteral("<failed>");
    return QString::fromUtf8(o.Value);
}

std::vector<sanesource::SANE_TW_OPTIONINFO> Session::optionInfos()
{
    std::vector<sanesource::SANE_TW_OPTIONINFO> all;
    for (std::uint16_t i = 0; i < 4096; ++i) {
        sanesource::SANE_TW_OPTIONINFO info{};
        info.Index = i;
        if (call(DG_CONTROL, sanesource::SANEDAT_OPTIONINFO, MSG_GET, &info) != TWRC_SUCCESS)
            break;
        all.push_back(info);
        if (i + 1 >= info.Count)
            break;
    }
    return all;
}

TW_UINT16 Session::setFrameMm(double l, double t, double r, double b)
{
    const TW_UINT16 rc = setCap(ICAP_UNITS, TWTY_UINT16, TWUN_MILLIMETERS);
    if (rc != TWRC_SUCCESS)
        return rc;
    TW_IMAGELAYOUT layout{};
    auto fix = [](double v) {
        const TW_INT32 raw = TW_INT32(v * 65536.0 + 0.5);
        return TW_FIX32{TW_INT16(raw >> 16), TW_UINT16(raw & 0xFFFF)};
    };
    layout.Frame.Left = fix(l);
    layout.Frame.Top = fix(t);
    layout.Frame.Right = fix(r);
    layout.Frame.Bottom = fix(b);
    const TW_UINT16 set = call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout);
    setCap(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES); // what the other helpers take
    return set;
}

TW_UINT16 Session::enable()
{
    TW_USERINTERFACE ui{};
    ui.ShowUI = FALSE;
    return call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
}

TW_UINT16 Session::disable()
{
    TW_USERINTERFACE ui{};
    return call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
}

TW_UINT16 Session::pending(TW_UINT16 msg, TW_UINT16& count)
{
    TW_PENDINGXFERS p{};
    const TW_UINT16 rc = call(DG_CONTROL, DAT_PENDINGXFERS, msg, &p);
    count = p.Count;
    return rc;
}

TW_UINT16 Session::nextMessage(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!g_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return !g_messages.empty(); }))
        return MSG_NULL;
    const TW_UINT16 msg = g_messages.front();
    g_messages.pop_front();
    return msg;
}

TW_UINT16 Session::transfer(TW_UINT16 mech, Picture& pic, TW_UINT16 fileFormat, std::uint32_t buffer)
{
    pic = Picture{};
    lastInfo = TW_IMAGEINFO{};
    TW_UINT16 rc = call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &lastInfo);
    if (rc != TWRC_SUCCESS)
        return rc;
    const int pixelType = lastInfo.PixelType;
    const int bits = lastInfo.BitsPerPixel;
    switch (mech) {
    case TWSX_NATIVE: {
        TW_HANDLE h = nullptr;
        rc = call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h);
        if (rc == TWRC_XFERDONE && h) {
            // The block is the DSM's: its size is what the header says.
            const auto* p = static_cast<const std::uint8_t*>(m_memory.DSM_MemLock(h));
            if (p) {
                const std::size_t stride = (std::size_t(le32(p + 4)) * le16(p + 14) + 31) / 32 * 4;
                const std::int32_t height = std::int32_t(le32(p + 8));
                const std::size_t size = le32(p) + 4 * std::size_t(le32(p + 32)) +
                                         stride * std::size_t(height < 0 ? -std::int64_t(height) : height);
                pic = fromDib(p, size, pixelType);
            }
            m_memory.DSM_MemUnlock(h);
            m_memory.DSM_MemFree(h);
        }
        break;
    }
    case TWSX_FILE: {
        TW_SETUPFILEXFER setup{};
        const QString path = QDir(tempDir).filePath(fileFormat == TWFF_TIFF ? QStringLiteral("page.tif")
                                                                            : QStringLiteral("page.bmp"));
        std::strncpy(setup.FileName, QFile::encodeName(path).constData(), sizeof setup.FileName - 1);
        setup.Format = fileFormat;
        // The file is named in state 6 as well, before each transfer.
        rc = call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
        if (rc != TWRC_SUCCESS)
            return rc;
        QFile::remove(path);
        rc = call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
        if (rc == TWRC_XFERDONE) {
            if (fileFormat == TWFF_TIFF) {
                pic = fromTiff(path, pixelType);
            } else {
                QFile f(path);
                f.open(QIODevice::ReadOnly);
                const QByteArray all = f.readAll();
                pic = fromBmpFile(std::vector<std::uint8_t>(all.begin(), all.end()), pixelType);
            }
        } else if (QFile::exists(path)) {
            return 0xBAD; // a failed page left its file behind
        }
        break;
    }
    case TWSX_MEMORY:
    case TWSX_MEMFILE: {
        TW_SETUPMEMXFER setup{};
        rc = call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
        if (rc != TWRC_SUCCESS)
            return rc;
        const std::uint32_t size = buffer ? buffer : setup.Preferred;
        std::vector<std::uint8_t> block(size), all;
        std::uint32_t bytesPerRow = 0;
        int rows = 0;
        const TW_UINT16 dat = mech == TWSX_MEMORY ? DAT_IMAGEMEMXFER : DAT_IMAGEMEMFILEXFER;
        for (int guard = 0; guard < 1000000; ++guard) {
            TW_IMAGEMEMXFER x{};
            x.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
            x.Memory.Length = size;
            x.Memory.TheMem = block.data();
            rc = call(DG_IMAGE, dat, MSG_GET, &x);
            if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE)
                break;
            if (mech == TWSX_MEMORY) {
                if (copyOf(x.YOffset) != std::uint32_t(rows))
                    return 0xBAD0; // strips come top-down, one after another
                bytesPerRow = x.BytesPerRow;
                rows += int(x.Rows);
                if (x.BytesWritten != x.Rows * x.BytesPerRow)
                    return 0xBAD1;
            }
            all.insert(all.end(), block.begin(), block.begin() + x.BytesWritten);
            if (rc == TWRC_XFERDONE)
                break;
        }
        if (rc == TWRC_XFERDONE) {
            if (mech == TWSX_MEMORY)
                pic = fromStrips(all, lastInfo.ImageWidth, rows, pixelType, bits, bytesPerRow);
            else if (fileFormat == TWFF_TIFF)
                pic = fromTiffBytes(all, pixelType);
            else
                pic = fromBmpFile(all, pixelType);
        }
        break;
    }
    default:
        return 0xBAD;
    }
    if (rc == TWRC_XFERDONE) {
        infoAfter = TW_IMAGEINFO{};
        call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &infoAfter);
    }
    return rc;
}

} // namespace sanetest
