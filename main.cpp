// Entry point of VL3_Postique: the mail module of the Velmora suite.
#include "system/numbers.h"

#include <QApplication>
#include <QMainWindow>
#include <QString>

#include <cstdio>
#include <cstring>

namespace {

void printUsage() {
    std::printf("Usage: VL3_Postique [/Veille=True]\n"
                "  Velmora Postique: sends the mail jobs that the suite drops into its job folder.\n"
                "  /Veille=True   start asleep in the notification area\n"
                "  --version      print the version and exit\n"
                "  --help         print this text and exit\n");
}

} // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("VL3_Postique %s\n", Lib_Systeme::VersionApplication().toUtf8().constData());
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            printUsage();
            return 0;
        }
    }
    // Without a display the program runs headless on the offscreen platform.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Velmora: Postique - ") + Lib_Systeme::VersionApplication());
    window.show();
    return app.exec();
}
