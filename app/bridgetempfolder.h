#pragma once

// The bridge's private folder for the image files it writes: owner-only, named after the bridge's
// server, held as in use while the bridge runs (a later start removes it once the bridge is gone,
// however it ended), and removed when the bridge ends together with every file the main application
// was never told about. Files it was told about are the main application's and stay, unless the main
// application is gone (forgetTold): then nobody can take them any more.

#include <QSet>
#include <QString>

class BridgeTempFolder
{
public:
    BridgeTempFolder() = default;
    ~BridgeTempFolder();
    BridgeTempFolder(const BridgeTempFolder&) = delete;
    BridgeTempFolder& operator=(const BridgeTempFolder&) = delete;

    enum class Made
    {
        Ok,
        Exists, // another folder has that name: try another
        Failed, // the base folder does not take a new folder
    };
    // Makes sBase/sName for the owner only.
    Made create(const QString& sBase, const QString& sName, QString* psError = nullptr);
    bool isValid() const { return !m_sPath.isEmpty(); }
    QString path() const { return m_sPath; }
    // A file template for QTemporaryFile in the folder.
    QString fileTemplate() const;

    // The main application has been told about this file: it is no longer ours to remove.
    void markTold(const QString& sFileName);
    // The main application is gone: every file in the folder is ours to remove again.
    void forgetTold() { m_setTold.clear(); }
    // Removes every file in the folder nobody was told about, then the folder if nothing is left.
    // Returns the number of bytes removed.
    qint64 cleanUp();

private:
    QString m_sPath;
    QSet<QString> m_setTold;
    int m_iHold = -1;
};
