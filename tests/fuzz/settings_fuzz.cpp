// Reader and editor together: for any file and any change, the editor's text reads back to
// exactly the intended entries, with every byte outside the changed values unchanged, or the
// save is refused. A plain ASCII file with plain new values is never refused.
#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QMap>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "kel/corvanta/daemons/Log.h"
#include "settings/ConfigEditor.h"
#include "settings/ConfigReader.h"

namespace {

void fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

bool plainAscii(const QByteArray& bytes, bool allowLineBreaks) {
    for (const char c : bytes) {
        const bool ok = (c >= 0x20 && c < 0x7F) || (allowLineBreaks && (c == '\n' || c == '\t'));
        if (!ok) return false;
    }
    return true;
}

bool alphanumeric(const QByteArray& bytes) {
    if (bytes.isEmpty()) return false;
    for (const char c : bytes) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    // Annotations may name directories: the log must exist, and writes nothing. It deletes its
    // file when created, so it gets a private one.
    static QTemporaryDir dir;
    static kel::corvanta::daemons::Log log(dir.filePath(QStringLiteral("log")), -1, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const int changeCount = provider.ConsumeIntegralInRange<int>(0, 4);
    struct Change {
        bool existing;
        uint8_t index;
        std::string key;
        std::string value;
    };
    std::vector<Change> changes;
    for (int i = 0; i < changeCount; ++i) {
        Change change;
        change.existing = provider.ConsumeBool();
        change.index = provider.ConsumeIntegral<uint8_t>();
        change.key = change.existing ? std::string() : provider.ConsumeRandomLengthString(16);
        change.value = provider.ConsumeRandomLengthString(24);
        changes.push_back(change);
    }
    const std::vector<uint8_t> rest = provider.ConsumeRemainingBytes<uint8_t>();
    const QByteArray file(reinterpret_cast<const char*>(rest.data()), static_cast<int>(rest.size()));

    ConfigReader before;
    before.parse(file, QStringLiteral("/fuzz.conf"));  // with annotations: must not crash either
    before.parse(file, QStringLiteral("/fuzz.conf"), false);
    const QList<QString> keys = before.items().keys();

    ConfigEditor editor;
    QMap<QString, QString> expected = before.items();
    bool plainChanges = true;
    for (const Change& change : changes) {
        const QByteArray value = QByteArray::fromStdString(change.value);
        QString key = QString::fromUtf8(QByteArray::fromStdString(change.key));
        if (change.existing && !keys.isEmpty()) key = keys.at(change.index % keys.size());
        editor.setValue(key, QString::fromUtf8(value));
        plainChanges = plainChanges && alphanumeric(value);
    }
    for (auto it = editor.changes().begin(); it != editor.changes().end(); ++it) {
        if (expected.contains(it.key())) expected[it.key()] = it.value();
    }

    QByteArray result;
    if (!editor.apply(file, &result)) {
        if (plainChanges && plainAscii(file, true)) fail("a plain ASCII file with plain values was refused");
        return 0;
    }

    ConfigReader after;
    after.parse(result, QStringLiteral("/fuzz.conf"), false);
    if (after.items() != expected) fail("the saved text does not read back to the intended entries");

    // Line for line: unchanged, or the old line's bytes up to a point followed by a new value
    // (and the carriage return the old line ended in).
    const QList<QByteArray> oldLines = file.split('\n');
    const QList<QByteArray> newLines = result.split('\n');
    if (oldLines.size() != newLines.size()) fail("lines were added or removed");
    for (int i = 0; i < oldLines.size(); ++i) {
        const QByteArray& oldLine = oldLines.at(i);
        const QByteArray& newLine = newLines.at(i);
        if (oldLine == newLine) continue;
        bool explained = false;
        for (auto it = editor.changes().begin(); it != editor.changes().end() && !explained; ++it) {
            QByteArray tail = it.value().toUtf8();
            if (oldLine.endsWith('\r')) tail += '\r';
            if (!newLine.endsWith(tail)) continue;
            const QByteArray head = newLine.left(newLine.size() - tail.size());
            explained = !head.isEmpty() && oldLine.startsWith(head) &&
                        (head.endsWith('=') || QChar::isSpace(static_cast<uchar>(head.back())) ||
                         static_cast<uchar>(head.back()) >= 0x80);
        }
        if (!explained) fail("a line changed beyond a new value");
    }
    return 0;
}
