#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include "settings/ConfigItem.h"

/// How a component is restarted after a change of its file.
struct ConfigRestartItem {
    QString command;  // the command lines, each ending in a line feed
    QString name;
};

/// One configuration file the page lists.
struct SettingCategory {
    QString name;  // the file's robot path
    QString restartCommand;
    QString restartName;
};

/// Scans the configured locations and builds the settings page's two documents: the category
/// list and the item list. Paths in its lists and documents are robot paths.
class ConfigPageBuilder {
public:
    virtual ~ConfigPageBuilder() = default;

    /// Locations: files, directories, or a directory + "/" + a wildcard pattern (robot paths).
    void setINI_DIR(const QStringList& locations) { m_iniDir = locations; }
    const QStringList& iniDir() const { return m_iniDir; }

    /// Rescans every location; the lists and documents then describe the files as they are.
    void rebuild();
    /// Only the scan of rebuild(): the categories, items and restart rules, no documents.
    void scan();

    /// The file (path on this machine, links resolved) behind a category of the last scan;
    /// empty when `category` is not a listed category, holds "..", or leads out of the locations.
    QString writableFile(const QString& category) const;

    /// The restart rule of the file (robot path) as of the last rebuild; empty when it has none.
    ConfigRestartItem getConfigRestartItem(const QString& filePath) const {
        return m_restartItems.value(filePath);
    }

    const QList<SettingCategory>& categories() const { return m_categories; }
    const QList<ConfigItem>& configItems() const { return m_configItems; }
    const QString& categoryXML() const { return m_categoryXML; }
    const QString& itemsXML() const { return m_itemsXML; }

    /// How long after its last change a file's reading is kept between rebuilds (tests).
    void setSettleTime(qint64 milliseconds) { m_settleNs = milliseconds * 1000000; }

    /// The files (paths on this machine) a location reaches, in scanning order.
    static QStringList filesOf(const QString& location);

private:
    QString buildCategoryXML(const QStringList& withItems) const;

    /// What tells that a file has changed since it was read.
    struct FileStamp {
        qint64 device = 0, inode = 0, size = -1, mtime = 0, ctime = 0;
        bool read(const QString& path);
        /// Changed more than `settleNs` ago: a new change would show in the stamp.
        bool settled(qint64 settleNs) const;
        bool operator==(const FileStamp& other) const {
            return device == other.device && inode == other.inode && size == other.size &&
                   mtime == other.mtime && ctime == other.ctime;
        }
    };
    /// One file as last read, and its items' elements once rendered.
    struct FileEntry {
        FileStamp stamp;
        bool keep = false;
        QString robotPath;
        QString restartCommand;
        QString restartName;
        QList<ConfigItem> webItems;
        QStringList elements;
    };

    QHash<QString, FileEntry> m_cache;  // by path on this machine
    qint64 m_settleNs = qint64(2) * 1000000000;
    QStringList m_scannedFiles;         // per category: its path on this machine
    QList<int> m_itemCounts;            // per category: its number of web items

    QList<SettingCategory> m_categories;
    QList<ConfigItem> m_configItems;
    QStringList m_iniDir;
    QString m_categoryXML;
    QString m_itemsXML;
    QMap<QString, ConfigRestartItem> m_restartItems;
};
