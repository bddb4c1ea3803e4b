#include "settings/ConfigEditor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryFile>
#include <cstdio>

#include "settings/ConfigLine.h"
#include "settings/ConfigReader.h"
#include "base/AtomicFile.h"
#include "base/TextChecks.h"

Q_LOGGING_CATEGORY(lcConfigEditor, "webgated.settings.editor", QtInfoMsg)

bool ConfigEditor::apply(const QByteArray& original, QByteArray* result) const {
    for (const QString& value : m_changes) {
        // A control character would let a value add lines of its own for parsers that split there.
        if (TextChecks::hasControlCharacter(value, true)) return false;
    }
    QMap<QString, QString> expected;
    QString group;
    result->clear();
    result->reserve(original.size() + 64);
    const int size = original.size();
    for (int begin = 0; begin < size;) {
        int end = original.indexOf('\n', begin);
        const bool lineFeed = end >= 0;
        if (!lineFeed) end = size;
        const QByteArray line = QByteArray::fromRawData(original.constData() + begin, end - begin);
        begin = end + 1;

        QString first;
        QString second;
        const ConfigLine::Kind kind =
            ConfigLine::classify(QString::fromUtf8(line.constData(), line.size()).trimmed(), &first, &second);
        if (kind == ConfigLine::Section) group = first;
        const QString key = group + QLatin1Char('/') + first;
        const auto change = kind == ConfigLine::Entry ? m_changes.constFind(key) : m_changes.constEnd();
        if (change == m_changes.constEnd()) {
            // Not rewritten: the line's own bytes, whatever their encoding.
            if (kind == ConfigLine::Entry) expected.insert(key, second);
            result->append(line.constData(), line.size());
        } else {
            const int prefix = ConfigLine::separatorEnd(line, first);
            if (prefix < 0) return false;
            expected.insert(key, *change);
            result->append(line.constData(), prefix);
            result->append(change->toUtf8());
            if (line.endsWith('\r')) result->append('\r');  // a CR LF file stays one
        }
        if (lineFeed) result->append('\n');
    }

    ConfigReader reader;
    reader.parse(*result, QString(), false);
    if (lcConfigEditor().isDebugEnabled()) {
        qCDebug(lcConfigEditor) << "****read";
        for (auto it = reader.items().begin(); it != reader.items().end(); ++it) {
            qCDebug(lcConfigEditor) << it.key() << it.value();
        }
        qCDebug(lcConfigEditor) << "****set";
        for (auto it = expected.begin(); it != expected.end(); ++it) qCDebug(lcConfigEditor) << it.key() << it.value();
    }
    return reader.items() == expected;
}

bool ConfigEditor::write(const QString& path) const {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) return false;
    const QByteArray original = in.readAll();
    struct stat status;
    const bool statOk = ::fstat(in.handle(), &status) == 0;
    in.close();
    if (!statOk || !S_ISREG(status.st_mode)) return false;

    QByteArray text;
    if (!apply(original, &text)) return false;
    if (text == original) return true;  // nothing to change: the file stays as it is

    // Never missing or half written; a hidden temporary name, so that no scan lists one left by
    // a crash. Mode, owner and group stay the original's.
    AtomicFileOptions options;
    options.mode = status.st_mode & 07777;
    options.uid = status.st_uid;
    options.gid = status.st_gid;
    return AtomicFile::write(path, text, options);
}
