#pragma once

// The Qt application object of the bridge's process. A QCoreApplication, unless a source built with
// Qt Widgets may run in the process: then a QApplication, made by the Qt Widgets module loaded for
// it, so that the bridge greets and ends without Qt Gui and Widgets (and their display platform,
// fonts and GL) where no source needs them. The choice is made once, before anything else, because
// a process has one application object and a source makes its widgets on the bridge's main thread.
//
// A source needs Qt Widgets when its file (a *.ds in a folder a DSM looks in) names Qt Gui or Widgets
// among the libraries it needs; PELIRAND_WIDGETS=1 asks for them whatever the sources are.

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <memory>

class BridgeApplication
{
public:
    BridgeApplication(int& argc, char** argv);
    ~BridgeApplication();
    BridgeApplication(const BridgeApplication&) = delete;
    BridgeApplication& operator=(const BridgeApplication&) = delete;

    // Whether the application object is a QApplication.
    static bool hasWidgets();
    // The Qt platform the widgets use, empty without them.
    static QString platformName();
    // The visible top-level Qt windows of the process (none without widgets).
    static int visibleWindows();

    // The Qt platforms to try for sources' dialogs, for QT_QPA_PLATFORM (empty: the system's own).
    static QByteArray dialogPlatforms();

    // The folders whose sources decide (those the DSMs the bridge loads look in).
    static QStringList sourceFolders();
    // Whether a source file in lstFolders (or their subfolders) needs Qt Gui or Widgets.
    static bool sourcesNeedWidgets(const QStringList& lstFolders);

private:
    std::unique_ptr<QCoreApplication> m_pApplication;
};
