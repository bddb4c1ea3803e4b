#include "settings/ConfigPageBuilder.h"

#include <QFileInfo>
#include <QSet>
#include <QXmlStreamWriter>

#include "frame/FsRoot.h"
#include "kel/corvanta/daemons/Log.h"
#include "settings/ConfigReader.h"
#include "settings/SettingsItem.h"
#include "settings/SettingsItemsXMLGen.h"

QStringList ConfigPageBuilder::filesOf(const QString& location) {
    const QString path = FsRoot::fsPath(location);
    const QFileInfo info(path);
    QStringList files;
    if (info.isFile()) {
        files.append(info.absoluteFilePath());
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
    const QString absoluteDir = QFileInfo(dir).absoluteFilePath();
    for (const QString& name : ConfigReader::listFiles(dir, filters)) {
        files.append(absoluteDir + QLatin1Char('/') + name);
    }
    return files;
}

void ConfigPageBuilder::scan() {
    m_configItems.clear();
    m_categories.clear();
    m_restartItems.clear();

    ConfigReader reader;
    for (const QString& location : m_iniDir) {
        for (const QString& file : filesOf(location)) {
            if (!reader.read(file)) continue;
            const QString robotPath = FsRoot::robotPath(file);
            m_categories.append({robotPath, reader.restartCommand, reader.restartName});
            if (!reader.restartCommand.isEmpty()) {
                m_restartItems.insert(robotPath, {reader.restartCommand, reader.restartName});
            }
            for (ConfigItem item : reader.webItems()) {
                item.filePath = robotPath;
                m_configItems.append(item);
            }
        }
    }
}

void ConfigPageBuilder::rebuild() {
    scan();
    kel::corvanta::daemons::Log::singleton()->log(
        QStringLiteral("settingItems.length() = %1").arg(m_configItems.size()), 0);

    SettingsItemsXMLGen generator;
    QStringList withItems;
    qint32 id = 0;
    for (const ConfigItem& item : m_configItems) {
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
        settingsItem->id = id++;
        settingsItem->itemName = item.group + QLatin1Char('/') + item.key;
        settingsItem->category = item.filePath;
        generator.appendItem(settingsItem);
        if (withItems.isEmpty() || withItems.constLast() != item.filePath) withItems.append(item.filePath);
    }
    m_itemsXML = generator.getSettingsItemsXML();
    generator.clear();
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
