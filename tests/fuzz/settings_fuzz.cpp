// Reader and editor together: for any file and any change, the editor's text reads back to
// exactly the intended entries, with every line unchanged or ending in its new value, or the
// save is refused. A plain ASCII file with alphanumeric new values is never refused.
#include <fuzzer/FuzzedDataProvider.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "kel/corvanta/daemons/Log.h"
#include "settings/ConfigEditor.h"
#include "settings/ConfigReader.h"

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

bool only(const QByteArray& bytes, bool (*allowed)(char)) {
    return std::all_of(bytes.begin(), bytes.end(), allowed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    // Annotations may name directories: the log must exist; it gets a private file.
    static QTemporaryDir dir;
    static kel::corvanta::daemons::Log log(dir.filePath(QStringLiteral("log")), -1, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    std::vector<std::pair<std::string, QByteArray>> changes(provider.ConsumeIntegralInRange<int>(0, 4));
    for (auto& [key, value] : changes) {
        // An empty key stands for an existing one.
        key = provider.ConsumeBool() ? provider.ConsumeRandomLengthString(16) : std::string();
        value = QByteArray::fromStdString(provider.ConsumeRandomLengthString(24));
    }
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    const QByteArray file = QByteArray::fromStdString(rest);

    ConfigReader before;
    before.parse(file, QStringLiteral("/fuzz.conf"));  // with annotations: must not crash either
    before.parse(file, QStringLiteral("/fuzz.conf"), false);
    const QList<QString> keys = before.items().keys();
    ConfigEditor editor;
    bool plain = only(file, [](char c) { return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\t'; });
    for (const auto& [key, value] : changes) {
        const QString name = !key.empty() || keys.isEmpty() ? QString::fromStdString(key)
                                                             : keys.at(value.size() % keys.size());
        editor.setValue(name, QString::fromUtf8(value));
        plain = plain && !value.isEmpty() && only(value, [](char c) { return bool(std::isalnum(uchar(c))); });
    }
    QMap<QString, QString> expected = before.items();
    for (auto it = editor.changes().begin(); it != editor.changes().end(); ++it)
        if (expected.contains(it.key())) expected[it.key()] = it.value();

    QByteArray result;
    if (!editor.apply(file, &result)) {
        check(!plain, "a plain ASCII file with plain values was refused");
        return 0;
    }
    ConfigReader after;
    after.parse(result, QStringLiteral("/fuzz.conf"), false);
    check(after.items() == expected, "the saved text does not read back to the intended entries");

    // Line for line: unchanged, or the old line's bytes up to a separator followed by a new value
    // (and the carriage return the old line ended in).
    const QList<QByteArray> oldLines = file.split('\n');
    const QList<QByteArray> newLines = result.split('\n');
    check(oldLines.size() == newLines.size(), "lines were added or removed");
    for (int i = 0; i < oldLines.size(); ++i) {
        const QByteArray &oldLine = oldLines.at(i), &newLine = newLines.at(i);
        bool explained = oldLine == newLine;
        for (auto it = editor.changes().begin(); it != editor.changes().end() && !explained; ++it) {
            const QByteArray tail = it.value().toUtf8() + (oldLine.endsWith('\r') ? "\r" : "");
            const QByteArray head = newLine.left(newLine.size() - tail.size());
            explained = newLine.endsWith(tail) && !head.isEmpty() && oldLine.startsWith(head) &&
                        (head.endsWith('=') || QChar::isSpace(uchar(head.back())) || uchar(head.back()) >= 0x80);
        }
        check(explained, "a line changed beyond a new value");
    }
    return 0;
}
