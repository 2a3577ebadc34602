#pragma once

// What the SANE source's tests share: a SANE configuration of their own
// (only the test backend, and net), the source driven through the stand-in
// DSM, and pictures decoded from every form the source delivers, so they can
// be compared pixel by pixel with scanimage's.

#include "platform/win32.h"
#include <pelirand/sanetwain.h>
#include "twain/twain.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sanetest {

// Every pixel as one number: BW 1 = white; grey the level; colour
// (r << 32 | g << 16 | b) for 16-bit samples, (r << 16 | g << 8 | b) for 8-bit.
struct Picture
{
    int width = 0;
    int height = 0;
    std::vector<std::uint64_t> values;
    bool operator==(const Picture& o) const
    {
        return width == o.width && height == o.height && values == o.values;
    }
};

// Where two pictures first differ, as text; empty when they are equal.
QByteArray difference(const Picture& got, const Picture& want);

Picture fromStrips(const std::vector<std::uint8_t>& rows, int width, int height, int pixelType, int bitDepth,
                   std::size_t bytesPerRow);
Picture fromDib(const std::uint8_t* p, std::size_t size, int pixelType);
Picture fromBmpFile(const std::vector<std::uint8_t>& bytes, int pixelType);
Picture fromTiff(const QString& path, int pixelType);
Picture fromTiffBytes(const std::vector<std::uint8_t>& bytes, int pixelType);
Picture fromPnm(const QByteArray& pnm);

// A SANE_CONFIG_DIR of its own: dll.conf names test (and net), test.conf
// allows A4 and several devices. Set in the environment while it lives.
class SaneConfig
{
public:
    explicit SaneConfig(const QStringList& extraTestConf = {}, const QString& netHost = QString());
    ~SaneConfig();
    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
};

// scanimage's picture of the same scan (options as scanimage takes them).
Picture scanimage(const QString& device, const QStringList& options, QString* error);

// The application's side: the DSM, its callback, the SANE source.
class Session
{
public:
    ~Session();
    bool open(QString* error = nullptr); // DSM, source, callback
    TW_UINT16 openResult() const { return m_openRc; }
    void close();

    TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    TW_UINT16 condition();
    TW_UINT16 dsmCondition();
    TW_UINT16 setCap(TW_UINT16 cap, TW_UINT16 type, double value);
    TW_UINT16 getCap(TW_UINT16 cap, TW_UINT16 msg, TW_UINT16& conType, std::vector<double>& items,
                     double& current, double* min = nullptr, double* max = nullptr);
    double current(TW_UINT16 cap);
    TW_UINT16 option(const char* name, const char* value); // SANEDAT_OPTION MSG_SET
    QString option(const char* name);                      // MSG_GET
    // The device's own options, walked through SANEDAT_OPTIONINFO from Index 0.
    std::vector<sanesource::SANE_TW_OPTIONINFO> optionInfos();
    TW_UINT16 setFrameMm(double l, double t, double r, double b);

    TW_UINT16 enable();
    TW_UINT16 disable();
    TW_UINT16 pending(TW_UINT16 msg, TW_UINT16& count);
    // The next message the source sent (MSG_NULL after timeoutMs).
    TW_UINT16 nextMessage(int timeoutMs = 20000);

    // One page with the current mechanism; rc of the transfer triplet.
    TW_UINT16 transfer(TW_UINT16 mech, Picture& pic, TW_UINT16 fileFormat = TWFF_BMP,
                       std::uint32_t buffer = 0);
    TW_IMAGEINFO lastInfo{};
    TW_IMAGEINFO infoAfter{};
    QString tempDir;

    static void noteMessage(TW_UINT16 msg);

private:
    HMODULE m_dsm = nullptr;
    DSMENTRYPROC m_entry = nullptr;
    TW_IDENTITY m_app{};
    TW_IDENTITY m_source{};
    TW_ENTRYPOINT m_memory{}; // the DSM's memory functions, for native images
    bool m_dsmOpen = false;
    bool m_sourceOpen = false;
    TW_UINT16 m_openRc = TWRC_FAILURE;
};

} // namespace sanetest
