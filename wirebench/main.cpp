// Wirebench: the protocol workbench program (PC side and simulated sensor in one window).
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

#include "forms/frmmain.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "--help" || a == "-h") {
            std::printf(
                "Usage: Wirebench [--files-folder DIR] [Qt options]\n"
                "\n"
                "Protocol workbench for the sensor unit: plays the computer side (\"PC Side\")\n"
                "and the unit side (\"Sensor Side\") of the wire, each against the other or\n"
                "against a real peer, logs the traffic and shows received images.\n"
                "\n"
                "  --files-folder DIR  where TCPIN.LOG, WIREBNCH.IMG, tcpin.dmp and the\n"
                "                      rebuild template go (default: the program's folder when\n"
                "                      writable, else ~/.local/share/Wirebench)\n"
                "  -h, --help          this text\n"
                "\n"
                "Settings are kept per user in ~/.config/Wirebench/Wirebench.ini (sections\n"
                "FORM, PC, Sensor). Defaults: PC listens on localhost:1000 and sends to\n"
                "localhost:104, where the sensor side listens, so a fresh workbench talks to\n"
                "itself. Ports below 1024 need privileges on Linux: set both to free ports.\n");
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Wirebench");
    QCommandLineParser parser;
    QCommandLineOption folder("files-folder", "Folder of the traffic and image files.", "DIR");
    parser.addOption(folder);
    parser.process(app);
    wirebench::FrmMainOptions options;
    options.filesFolder = parser.value(folder);
    wirebench::FrmMain window(options);
    window.show();
    return QApplication::exec();
}
