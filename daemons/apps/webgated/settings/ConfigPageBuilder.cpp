#include "settings/ConfigPageBuilder.h"

#include <sys/stat.h>

#include <QDateTime>
#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <memory>
#include <QSet>
#include <QXmlStreamWriter>

#include "base/FsRoot.h"
#include "kel/corvanta/daemons/Log.h"
#include "settings/ConfigReader.h"
#include "settings/SettingsItem.h"

QStringList ConfigPageBuilder::filesOf(const QString& location) {
    const QString path = FsRoot::fsPath(location);
    const QFileInfo info(path);
    QStringList files;
    if (info.isFile()) {
        files.append(QDir::cleanPath(info.absoluteFilePath()));
        return files;
    }
    QString dir = path;
    QStringList filters;
    if (!info.isDir()) {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        if (slash < 0) return files;
        dir = path.left(slash);
        filters.append(path.mid(slash + 1));
    }
    const QString absoluteDir = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    for (const QString& name : ConfigReader::listFiles(dir, filters)) {
        files.append(absoluteDir + QLatin1Char('/') + name);
    }
    return files;
}

namespace {

SettingsItem* makeSettingsItem(const ConfigItem& item) {
    SettingsItem* settingsItem = nullptr;
    switch (item.type) {
        case ConfigItem::IpType:
            settingsItem = new IPSettingsItem();
            settingsItem->value = item.value.toString();
            break;
        case ConfigItem::FloatType: {
            auto* floatItem = new FloatSettingsItem();
            floatItem->value = settingsNumber(item.value.toFloat());
            if (item.parameters.size() == 3) {
                floatItem->min = item.parameters.at(0).toFloat();
                floatItem->max = item.parameters.at(1).toFloat();
                floatItem->precision = item.parameters.at(2).toFloat();
            } else {
                floatItem->min = 0.0f;
                floatItem->max = 1.0f;
                floatItem->precision = 0.1f;
            }
            settingsItem = floatItem;
            break;
        }
        case ConfigItem::IntType:
            settingsItem = new IntegerSettingsItem();
            settingsItem->value = settingsNumber(static_cast<float>(item.value.toInt()));
            break;
        case ConfigItem::SelectionType: {
            auto* selection = new SelectionSettingsItem();
            selection->value = item.value.toString();
            for (const QVariant& choice : item.parameters) selection->valueList.append(choice.toString());
            settingsItem = selection;
            break;
        }
        case ConfigItem::BoolType: {
            auto* selection = new SelectionSettingsItem();
            selection->value = item.value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
            selection->valueList = QStringList{QStringLiteral("true"), QStringLiteral("false")};
            settingsItem = selection;
            break;
        }
        default:
            settingsItem = new StringSettingsItem();
            settingsItem->value = item.value.toString();
            break;
    }
    settingsItem->itemName = item.group + QLatin1Char('/') + item.key;
    settingsItem->category = item.filePath;
    return settingsItem;
}

bool isSelection(const ConfigItem& item) {
    return item.type == ConfigItem::SelectionType || item.type == ConfigItem::BoolType;
}

}  // namespace

bool ConfigPageBuilder::FileStamp::read(const QString& path) {
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) return false;
    device = status.st_dev;
    inode = status.st_ino;
    size = status.st_size;
    mtime = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    ctime = qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    return true;
}

bool ConfigPageBuilder::FileStamp::settled(qint64 settleNs) const {
    // A file changed within the last seconds could change again without a new time stamp
    // (coarse file-system clocks): its reading is not kept.
    const qint64 now = QDateTime::currentMSecsSinceEpoch() * 1000000;
    return now - mtime > settleNs && now - ctime > settleNs;
}

void ConfigPageBuilder::scan() {
    m_configItems.clear();
    m_categories.clear();
    m_restartItems.clear();
    m_scannedFiles.clear();
    m_itemCounts.clear();

    // Every request rescans every file; a file whose stamp is unchanged since it was read is
    // not parsed again (one that lists directories always is).
    QHash<QString, FileEntry> kept;
    ConfigReader reader;
    for (const QString& location : m_iniDir) {
        for (const QString& file : filesOf(location)) {
            FileStamp stamp;
            if (!stamp.read(file)) continue;
            const FileEntry* cached = nullptr;
            auto inKept = kept.constFind(file);
            if (inKept != kept.constEnd()) {
                cached = &*inKept;
            } else {
                auto inCache = m_cache.constFind(file);
                if (inCache != m_cache.constEnd()) cached = &*inCache;
            }
            FileEntry entry;
            if (cached && cached->stamp == stamp) {
                entry = *cached;
            } else {
                if (!reader.read(file)) continue;
                const QString robotPath = FsRoot::robotPath(file);
                entry.stamp = stamp;
                entry.keep = !reader.listsDirectories() && stamp.settled(m_settleNs);
                entry.robotPath = robotPath;
                entry.restartCommand = reader.restartCommand;
                entry.restartName = reader.restartName;
                entry.webItems = reader.webItems();
                for (ConfigItem& item : entry.webItems) item.filePath = robotPath;
            }
            m_categories.append({entry.robotPath, entry.restartCommand, entry.restartName});
            if (!entry.restartCommand.isEmpty()) {
                m_restartItems.insert(entry.robotPath, {entry.restartCommand, entry.restartName});
            }
            m_configItems.append(entry.webItems);
            m_scannedFiles.append(file);
            m_itemCounts.append(entry.webItems.size());
            if (entry.keep) kept.insert(file, entry);
        }
    }
    m_cache = kept;
}

void ConfigPageBuilder::rebuild() {
    scan();
    kel::corvanta::daemons::Log* log = kel::corvanta::daemons::Log::singleton();
    log->log(QStringLiteral("settingItems.length() = %1").arg(m_configItems.size()), 0);

    QString items = QStringLiteral("<List>");
    QStringList withItems;
    qint32 id = 0;
    int first = 0;
    for (int file = 0; file < m_scannedFiles.size(); ++file) {
        const int count = m_itemCounts.at(file);
        if (count == 0) continue;
        auto cached = m_cache.find(m_scannedFiles.at(file));
        FileEntry* entry = cached != m_cache.end() ? &*cached : nullptr;
        if (entry && entry->elements.size() == count) {
            for (int i = 0; i < count; ++i) {
                items += entry->elements.at(i);
                // A selection item writes its element to the log whenever it is rendered.
                if (isSelection(m_configItems.at(first + i))) log->log(entry->elements.at(i), 0);
            }
            id += count;
        } else {
            QStringList elements;
            for (int i = 0; i < count; ++i) {
                std::unique_ptr<SettingsItem> settingsItem(makeSettingsItem(m_configItems.at(first + i)));
                settingsItem->id = id++;
                elements.append(settingsItem->getXMLElement());
                items += elements.constLast();
            }
            if (entry) entry->elements = elements;
        }
        withItems.append(m_categories.at(file).name);
        first += count;
    }
    items += QLatin1String("\n</List>");
    m_itemsXML = items;
    m_categoryXML = buildCategoryXML(withItems);
}

QString ConfigPageBuilder::writableFile(const QString& category) const {
    bool listed = false;
    for (const SettingCategory& listedCategory : m_categories) listed = listed || listedCategory.name == category;
    if (!listed || category.split(QLatin1Char('/')).contains(QLatin1String(".."))) return QString();
    const QFileInfo file(FsRoot::fsPath(category));
    const QString canonical = file.canonicalFilePath();
    if (canonical.isEmpty()) return QString();
    const QString canonicalDir = QFileInfo(canonical).absolutePath();
    for (const QString& location : m_iniDir) {
        const QString path = FsRoot::fsPath(location);
        const QFileInfo info(path);
        if (info.isFile()) {
            if (info.canonicalFilePath() == canonical) return canonical;
            continue;
        }
        QString dir = path;
        if (!info.isDir()) dir = path.left(path.lastIndexOf(QLatin1Char('/')));
        const QString canonicalLocation = QFileInfo(dir).canonicalFilePath();
        if (!canonicalLocation.isEmpty() && canonicalLocation == canonicalDir) return canonical;
    }
    return QString();
}

QString ConfigPageBuilder::buildCategoryXML(const QStringList& withItems) const {
    const QSet<QString> listed(withItems.begin(), withItems.end());
    QString text;
    QXmlStreamWriter writer(&text);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartElement(QStringLiteral("List"));
    for (const SettingCategory& category : m_categories) {
        if (!listed.contains(category.name)) continue;
        writer.writeStartElement(QStringLiteral("settingCategory"));
        writer.writeTextElement(QStringLiteral("categoryName"), category.name);
        writer.writeTextElement(QStringLiteral("needRestart"), category.restartCommand.isEmpty()
                                                                    ? QStringLiteral("__NOTHING")
                                                                    : category.restartName);
        writer.writeTextElement(QStringLiteral("parentID"), QStringLiteral("root"));
        writer.writeEndElement();
    }
    writer.writeEndElement();
    return text;
}
