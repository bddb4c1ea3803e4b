#include "settings/ConfigReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

#include "base/FsRoot.h"
#include "kel/corvanta/daemons/Log.h"
#include "settings/ConfigLine.h"
#include "base/DaemonLog.h"

using kel::corvanta::daemons::Log;

// Every entry of every file, passwords included: off unless the category is switched on.
Q_LOGGING_CATEGORY(lcConfigReader, "webgated.settings.reader", QtInfoMsg)

namespace {

bool isAnnotation(const QString& line, QLatin1String word) {
    return line.size() > word.size() && (line.at(0) == QLatin1Char('#') || line.at(0) == QLatin1Char(';')) &&
           QStringView(line).mid(1).startsWith(word);
}

QStringList splitAtWhitespace(const QString& line) {
    QStringList parts;
    int start = -1;
    for (int i = 0; i <= line.size(); ++i) {
        const bool space = i == line.size() || line.at(i).isSpace();
        if (space && start >= 0) {
            parts.append(line.mid(start, i - start));
            start = -1;
        } else if (!space && start < 0) {
            start = i;
        }
    }
    return parts;
}

// Removes every "#@word" and ";@word" and trims what is left.
QString stripTag(QString line, const QRegularExpression& tag) { return line.remove(tag).trimmed(); }

bool readsTrue(const QString& text) {
    // "true" is what the page offers and saves; it reads as true like "1" does.
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return true;
    return text.toInt(nullptr, 10) > 0;
}

}  // namespace

QStringList ConfigReader::listFiles(const QString& dir, const QStringList& filters) {
    QStringList names = QDir(dir).entryList(filters, QDir::Files, QDir::NoSort);
    // Names equal but for letter case keep a fixed order.
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return names;
}

void ConfigReader::clear() {
    m_items.clear();
    m_webItems.clear();
    restartCommand.clear();
    restartName.clear();
    m_listsDirectories = false;
}

bool ConfigReader::read(const QString& path) {
    clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray content = file.readAll();
    file.close();
    parse(content, QFileInfo(path).absoluteFilePath());
    return true;
}

void ConfigReader::annotate(const QString& line) {
    m_pending = ConfigItem();
    const QStringList parts = splitAtWhitespace(line);
    if (parts.size() < 2) return;
    const QString& word = parts.at(1);
    if (word == QLatin1String("ip")) {
        m_pending.type = ConfigItem::IpType;
    } else if (word == QLatin1String("float")) {
        m_pending.type = ConfigItem::FloatType;
        if (parts.size() == 5) {
            for (int i = 2; i < 5; ++i) m_pending.parameters.append(parts.at(i).toFloat());
        } else {
            m_pending.parameters = {QVariant(0), QVariant(1), QVariant(0.1)};
        }
    } else if (word == QLatin1String("int")) {
        m_pending.type = ConfigItem::IntType;
    } else if (word == QLatin1String("selection")) {
        m_pending.type = ConfigItem::SelectionType;
        for (int i = 2; i < parts.size(); ++i) m_pending.parameters.append(parts.at(i));
    } else if (word == QLatin1String("bool")) {
        m_pending.type = ConfigItem::BoolType;
    } else if (word == QLatin1String("fileselection")) {
        m_pending.type = ConfigItem::SelectionType;
        daemonLog(QStringLiteral("fileselection"), 0);
        if (parts.size() < 3) return;
        m_listsDirectories = true;
        daemonLog("path: " + parts.at(2), 0);
        const QStringList filters = parts.mid(3);
        for (const QString& filter : filters) daemonLog("filter: " + filter, 0);
        for (const QString& name : listFiles(FsRoot::fsPath(parts.at(2)), filters)) {
            daemonLog("fileList: " + name, 0);
            m_pending.parameters.append(name);
        }
    }
}

void ConfigReader::parse(const QByteArray& content, const QString& path, bool annotations) {
    static const QRegularExpression nameTag(QStringLiteral("(#|;)@name"));
    static const QRegularExpression cmdTag(QStringLiteral("(#|;)@cmd"));
    clear();
    m_absolutePath = path;
    QString group;
    bool pending = false;
    bool inRestartBlock = false;
    const char* const data = content.constData();
    const int size = content.size();
    for (int begin = 0; begin < size;) {
        int end = content.indexOf('\n', begin);
        if (end < 0) end = size;
        // Blank lines and plain comments need no decoding (every page request reads every file).
        int lead = begin;
        while (lead < end && (data[lead] == ' ' || (data[lead] >= '\t' && data[lead] <= '\r'))) ++lead;
        const char head = lead < end ? data[lead] : '\0';
        const bool plainComment = (head == '#' || head == ';') && (lead + 1 == end || data[lead + 1] != '@');
        if (lead == end || plainComment) {
            // Inside a restart block a "#" line is skipped; any other line ends the block and is
            // then skipped like any blank or comment line.
            if (inRestartBlock && head != '#') inRestartBlock = false;
            begin = end + 1;
            continue;
        }
        const QString line = QString::fromUtf8(data + begin, end - begin).trimmed();
        begin = end + 1;

        if (!annotations) {
            // Annotations and restart blocks only hold comment lines: entries come out the same.
        } else if (inRestartBlock) {
            if (line.startsWith(QLatin1Char('#'))) {
                if (isAnnotation(line, QLatin1String("@name"))) {
                    restartName = stripTag(line, nameTag);
                } else if (isAnnotation(line, QLatin1String("@cmd"))) {
                    restartCommand += stripTag(line, cmdTag) + QLatin1Char('\n');
                }
                continue;
            }
            inRestartBlock = false;  // this line goes on like any other
        } else if (line.size() == 23 && isAnnotation(line, QLatin1String("@restart command begin"))) {
            inRestartBlock = true;
            continue;
        }

        if (annotations && isAnnotation(line, QLatin1String("@web"))) {
            annotate(line);
            pending = true;
            continue;
        }
        QString first;
        QString second;
        switch (ConfigLine::classify(line, &first, &second)) {
            case ConfigLine::Ignored: break;
            case ConfigLine::Section:
                group = first;
                pending = false;
                break;
            case ConfigLine::NoSeparator: pending = false; break;
            case ConfigLine::Entry: {
                const QString itemKey = group + QLatin1Char('/') + first;
                m_items.insert(itemKey, second);
                qCDebug(lcConfigReader) << group << "/" << first << " : " << second;
                if (pending) {
                    ConfigItem item = m_pending;
                    item.filePath = m_absolutePath;
                    item.group = group;
                    item.key = first;
                    switch (item.type) {
                        case ConfigItem::IntType: item.value = second.toInt(nullptr, 10); break;
                        case ConfigItem::BoolType: item.value = readsTrue(second); break;
                        case ConfigItem::FloatType: item.value = second.toFloat(); break;
                        default: item.value = second; break;
                    }
                    m_webItems.append(item);
                    qCDebug(lcConfigReader) << "webItemFound " << first;
                }
                pending = false;
                break;
            }
        }
    }
}
