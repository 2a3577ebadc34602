#pragma once

// The ordinary TWAIN session through the bridge: load and open the DSM, list
// the sources, open one, negotiate capabilities, enable it, wait for the batch
// of images, disable and close. Every step returns a TwainResult that names
// the TWAIN return and condition codes of a failure.
//
// Images arrive as imageReceived while the event loop runs (waitForBatch
// runs it). The session reads each delivered file; a temporary one (a native
// image's DIB, a buffered transfer's file) is removed once the signal has
// returned, so a receiver that wants to keep it copies Image::data (or keeps
// the Image, when the session maps the files).

#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

#include <memory>

#include "pelirand/bridge.h"
#include "pelirand/capability.h"
#include "pelirand/image.h"
#include "pelirand/twainblocks.h"
#include "pelirand/twainconstants.h"
#include "pelirand/twainresult.h"

namespace pelirand {

class TwainSessionPrivate;

// What cancel() ends.
enum class CancelScope
{
    // The page being transferred, or the next one when none is: the batch goes on after it.
    CurrentPage,
    // That page and every page still pending: the batch ends.
    RestOfBatch,
};

// What one batch (the transfers after one MSG_XFERREADY) brought, or the
// source's request to be closed instead.
struct BatchResult
{
    // A batch of transfers ran (the bridge reported its end).
    bool transferred = false;
    // MSG_CLOSEDSREQ or MSG_CLOSEDSOK when the source asked to be closed
    // instead of delivering (the user cancelled or confirmed the dialog).
    uint closeMessage = 0;
    // The TWAIN state the bridge reported when the batch ended: 5 when every
    // pending transfer completed, 6 or 7 when one failed.
    uint endState = 0;
    // The source's condition code after a batch that ended in state 6 or 7.
    bool hasConditionCode = false;
    quint16 conditionCode = 0;
    // cancel() ended the batch, or a page of it, early; imageCount counts what was delivered before.
    bool cancelled = false;
    int imageCount = 0;
    qint64 byteCount = 0;
    // Every image, if the session collects them (setCollectImages).
    QList<Image> images;
    // Images whose file could not be read.
    QStringList problems;
    // What the source did wrong during the batch and how the bridge came
    // through it, one line each ("page 2 was dropped: ...").
    QStringList sourceFaults;
    // Pages the bridge received but could not hand over ("page N: why"), in
    // the order reported; the bridge ends the batch after a failed write.
    QStringList failures;

    bool transferFailed() const { return transferred && endState != 5; }
};

class PELIRAND_EXPORT TwainSession : public QObject
{
    Q_OBJECT

public:
    // The bridge must have been started; it outlives the session.
    explicit TwainSession(Bridge& bridge, QObject* parent = nullptr);
    ~TwainSession() override;

    Bridge& bridge();
    // The TWAIN state as the bridge last reported it (1 before the DSM is loaded).
    uint state() const;
    SourceIdentity source() const;

    // Keep every image in the BatchResult (default) or only pass it on by signal.
    void setCollectImages(bool collect);
    // Map each of the bridge's temporary files instead of reading it into
    // Image::data: no second copy of a page in this process, and no time
    // spent reading it. Image::bytes() has the file's bytes then, and
    // Image::data stays empty. Off by default.
    void setMapImages(bool map);

    // Loads the DSM and opens it (states 1 to 3).
    TwainResult openDsm(DsmFile file = DsmFile::TwainDsm);
    // DAT_IDENTITY MSG_GETFIRST / MSG_GETNEXT.
    TwainResult listSources(QList<SourceIdentity>& sources);
    TwainResult defaultSource(SourceIdentity& source);
    // The source to scan from when the user names none: the DSM's default
    // when $PELIRAND_DEFAULT_SOURCE chooses it; otherwise the first listed
    // source that opens (it has a device: the SANE source with at least one
    // SANE device), never the simulated scanner. Tried by opening and closing
    // again, so only with the DSM open and no source open. Fails with the
    // reason "SANE finds no device" (or "no source has a device") when none opens.
    TwainResult scannerSource(SourceIdentity& source);
    // The product name of the simulated scanner that comes with pelirand, which scannerSource() passes over.
    static QString simulatedScannerName();
    // By product name (exact, else ignoring case); empty: the DSM's default source.
    TwainResult openSource(const QString& productName = QString());

    // One-value capabilities of integer, TW_BOOL or TW_FIX32 items.
    // TWRC_CHECKSTATUS (the source changed the value) counts as success; see returnCode().
    // A standard capability is read back after the set; a value the source
    // did not take is named in the result's reason() and in differences().
    TwainResult setCapability(quint16 cap, quint16 itemType, double value);
    // ICAP_PIXELTYPE and then ICAP_BITDEPTH: bitDepth, or (0) the usual
    // depth of the type (BW 1, GRAY 8, RGB 24, PALETTE 8), since a source may
    // keep the depth of the former type.
    TwainResult setPixelType(quint16 pixelType, int bitDepth = 0);
    // Settings the source accepted but did not take, one line each
    // ("ICAP_XFERMECH: asked 2, the source has 0"), since the source was opened.
    QStringList differences() const;
    // The value read back for a capability after the last set of it (if any).
    bool readBack(quint16 cap, double& value) const;
    TwainResult capability(quint16 cap, quint16 itemType, double& value, quint16 msg = Twain::GetCurrentMessage);
    TwainResult setCapabilityEnum(quint16 cap, quint16 itemType, const QVector<double>& values);
    // The bridge reads enumerations of 16-bit items only.
    TwainResult capabilityEnum(quint16 cap, QVector<quint16>& values);
    // The whole container the source answers to msg (MSG_GET: the allowed
    // values with the current and default ones; MSG_GETCURRENT,
    // MSG_GETDEFAULT), for any container and item type.
    TwainResult getCapability(quint16 cap, Capability& value, quint16 msg = Twain::GetMessage);
    // DAT_SETUPFILEXFER for a file transfer.
    TwainResult setFileTransfer(const QString& fileName, quint16 format);
    // Any triplet to the open source (toSource) or to the DSM; block in the
    // 32-bit layout, replaced by the block as the call left it.
    TwainResult call(quint32 dg, quint16 dat, quint16 msg, QByteArray& block, bool toSource = true);
    // DAT_STATUS of the source (or of the DSM without an open source).
    TwainResult conditionCode(quint16& cc);

    // MSG_ENABLEDS; without the dialog the source starts scanning at once.
    TwainResult enable(bool showDialog, bool modal = false);
    // Waits for the next batch to end, or for the source to ask to be closed.
    // timeoutMilliseconds < 0 waits as long as the bridge lives. Runs the event loop.
    // With a call timeout on the bridge, checks meanwhile that the bridge
    // still answers: one stuck in a TWAIN call is ended. If the bridge is
    // lost, result holds the images that arrived before.
    TwainResult waitForBatch(BatchResult& result, int timeoutMilliseconds = -1);
    // Ends the page at hand or the whole batch early, with DAT_PENDINGXFERS
    // (MSG_ENDXFER, MSG_RESET, MSG_STOPFEEDER as the state allows). The bridge
    // takes the request while its batch runs and carries it out at the next
    // page, or the next block of a buffered transfer; a request before the
    // first page ends the batch as soon as the source starts it. Pages
    // delivered before stay delivered. The batch still ends as usual
    // (waitForBatch), with cancelled set. Nothing to do (ok) when no source
    // is enabled. May be called from a slot while waitForBatch runs; it
    // returns once the bridge has taken the request.
    TwainResult cancel(CancelScope scope);
    // Ends pending transfers (states 7 and 6), then MSG_DISABLEDS.
    TwainResult disable();
    TwainResult closeSource();
    // Closes and unloads the DSM.
    TwainResult closeDsm();
    // Steps down from whatever state the session is in to state 1; the first failure is returned.
    TwainResult close();

signals:
    // Each delivered image, its file read (data) and not yet removed.
    void imageReceived(const pelirand::Image& image);
    // MSG_CLOSEDSREQ, MSG_CLOSEDSOK and MSG_DEVICEEVENT from the source, with the state.
    void sourceMessageReceived(uint message, uint state);
    void batchEnded(const pelirand::BatchResult& result);
    // A page the bridge could not hand over (see Bridge::imageFailed).
    void imageFailed(int page, QString why);

private:
    friend class TwainSessionPrivate;
    std::unique_ptr<TwainSessionPrivate> d;
};

// True when fileName is a file directly in folder, with symbolic links and ".." resolved on both
// sides. Check before removing or moving a file that a bridge or a source named.
PELIRAND_EXPORT bool fileIsInFolder(const QString& fileName, const QString& folder);

} // namespace pelirand

Q_DECLARE_METATYPE(pelirand::BatchResult)
