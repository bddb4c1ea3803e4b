#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include "settings/ConfigItem.h"

/// Parses one annotated configuration file (UTF-8): every entry, the entries an "@web" line
/// marked, and the restart rule of its "@restart command begin" blocks. One reader may be
/// reused for many files in a row.
class ConfigReader {
public:
    ConfigReader() = default;
    ConfigReader(const ConfigReader&) = delete;
    ConfigReader& operator=(const ConfigReader&) = delete;

    /// Reads the file at `path` (a path on this machine); false only when it cannot be opened,
    /// and the reader is empty then.
    bool read(const QString& path);
    /// The same on bytes already in memory; `path` is the file the items are attributed to.
    /// Without `annotations` only the entries are read (no web items, no restart rule).
    void parse(const QByteArray& content, const QString& path, bool annotations = true);

    /// Every entry line: group + "/" + key -> raw value text.
    const QMap<QString, QString>& items() const { return m_items; }
    /// The annotated entries, in file order.
    const QList<ConfigItem>& webItems() const { return m_webItems; }

    /// The non-hidden plain files of `dir` (a path on this machine) that match any of the
    /// wildcard `filters` (all when there is none), in case-insensitive name order.
    static QStringList listFiles(const QString& dir, const QStringList& filters = QStringList());

    /// True when a "fileselection" annotation listed a directory: the items depend on more
    /// than the file.
    bool listsDirectories() const { return m_listsDirectories; }

    QString restartCommand;  // the "@cmd" lines, each followed by a line feed
    QString restartName;     // the "@name" of the rule

private:
    void clear();
    void annotate(const QString& line);

    QMap<QString, QString> m_items;
    QList<ConfigItem> m_webItems;
    ConfigItem m_pending;
    QString m_absolutePath;
    bool m_listsDirectories = false;
};
