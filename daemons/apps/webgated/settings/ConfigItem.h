#pragma once

#include <QList>
#include <QString>
#include <QVariant>

/// One annotated entry of a configuration file: what an "@web" line marked.
class ConfigItem {
public:
    /// The numbers are fixed: the page builder switches on them.
    enum Type { StringType = 0, IpType = 1, FloatType = 2, IntType = 3, SelectionType = 4, BoolType = 5 };

    Type type = StringType;
    QString filePath;  // absolute path of the file the entry was read from (its category)
    QString group;     // the INI section, empty before the first section line
    QString key;
    QVariant value;    // converted by type
    QList<QVariant> parameters;  // float: min, max, precision; selection: the choices
};
