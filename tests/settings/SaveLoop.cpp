// A saving daemon for the kill test: saves the entry "S/value" of the file given as argument
// over and over, alternating between two values, and says "saving" once before the first save.
#include <QCoreApplication>
#include <cstdio>

#include "settings/ConfigEditor.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) return 2;
    const QString path = QString::fromLocal8Bit(argv[1]);
    std::fputs("saving\n", stdout);
    std::fflush(stdout);
    for (unsigned long round = 0;; ++round) {
        ConfigEditor editor;
        editor.setValue(QStringLiteral("S/value"), round % 2 ? QStringLiteral("odd") : QStringLiteral("even"));
        if (!editor.write(path)) return 1;
    }
}
