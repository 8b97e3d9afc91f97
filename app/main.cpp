#include "app/MainWindow.h"

#include <QApplication>

// The image resources register themselves before main runs (static initialisers of the resource
// object). No organisation or application name is set here: every settings access names its own.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    MainWindow window;
    window.show();
    return QApplication::exec();
}
