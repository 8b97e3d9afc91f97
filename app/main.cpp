#include "app/MainWindow.h"
#include "base/AppInfo.h"
#include "imageformats/imageFormats.h"

#include <QApplication>
#include <QFile>
#include <QIcon>

#include <ncnn/gpu.h>

// The image resources register themselves before main runs (static initialisers of the resource
// object). No organisation or application name is set here: every settings access names its own.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    registerImageFormats();
    QApplication::setStyle(QStringLiteral("Fusion"));
    // Message boxes without a parent show it too; Wayland finds the icon through the desktop entry.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/resources/images/Logo128.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("brivelle-ai"));
    // Before the form makes the GPU instance: later starts skip compiling the shaders again.
    ncnn::set_pipeline_cache_folder(QFile::encodeName(AppInfo::pipelineCacheFolder()).constData());
    MainWindow window;
    window.show();
    // Qt has taken its own options out; what is left names files to open.
    window.addFiles(QApplication::arguments().mid(1));
    return QApplication::exec();
}
