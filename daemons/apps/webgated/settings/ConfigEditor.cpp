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

Q_LOGGING_CATEGORY(lcConfigEditor, "webgated.settings.editor", QtInfoMsg)

namespace {

// A control character would let a value add lines of its own for parsers that split there.
bool hasControlCharacter(const QString& value) {
    for (const QChar c : value) {
        const ushort code = c.unicode();
        if ((code < 0x20 && code != '\t') || code == 0x7F) return true;
    }
    return false;
}

}  // namespace

bool ConfigEditor::apply(const QByteArray& original, QByteArray* result) const {
    for (const QString& value : m_changes) {
        if (hasControlCharacter(value)) return false;
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

    // A hidden temporary file beside the original, synced and renamed over it: the file is
    // never missing or half written, and no scan lists a temporary file left by a crash.
    const QFileInfo info(path);
    QTemporaryFile out(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    if (!out.open()) return false;
    const int fd = out.handle();
    if (::fchmod(fd, status.st_mode & 07777) != 0) return false;
    if ((status.st_uid != ::geteuid() || status.st_gid != ::getegid()) &&
        ::fchown(fd, status.st_uid, status.st_gid) != 0) {
        return false;
    }
    if (out.write(text) != text.size() || !out.flush() || ::fsync(fd) != 0) return false;
    if (std::rename(QFile::encodeName(out.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        return false;
    }
    out.setAutoRemove(false);
    return true;
}
