#pragma once

#include <QString>
#include <QStringList>

/// One editable value of the settings page; each kind renders its own "settingItem" element.
class SettingsItem {
public:
    virtual ~SettingsItem() = default;
    /// The item's element, auto-formatted, starting with a line feed.
    virtual QString getXMLElement() const = 0;

    qint32 id = 0;     // position in the page's item list
    QString itemName;  // group + "/" + key
    QString category;  // the configuration file (robot path)
    QString value;

protected:
    /// Appends "\n    <name>text</name>", the text escaped as the stream writer escapes it.
    static void appendChild(QString& out, QLatin1String name, const QString& text);
    /// Writes the element with the common children, the type text and what `extra` adds.
    template <typename Extra>
    QString element(const char* typeText, Extra extra) const;
    QString element(const char* typeText) const;
};

class StringSettingsItem : public SettingsItem {
public:
    QString getXMLElement() const override;
};

class IPSettingsItem : public SettingsItem {
public:
    QString getXMLElement() const override;
};

/// Announces itself as a string item.
class IntegerSettingsItem : public SettingsItem {
public:
    QString getXMLElement() const override;
};

class BooleanSettingsItem : public SettingsItem {
public:
    BooleanSettingsItem() { value = QStringLiteral("false"); }
    QString getXMLElement() const override;
};

class FloatSettingsItem : public SettingsItem {
public:
    FloatSettingsItem() { value = QStringLiteral("0"); }
    QString getXMLElement() const override;

    float min = 0.0f;
    float max = 1.0f;
    float precision = 2.0f;
};

class SelectionSettingsItem : public SettingsItem {
public:
    /// Also writes the element to the log.
    QString getXMLElement() const override;

    QStringList valueList;
};

/// "%1" of a float as the page shows numbers: 'g', six significant digits.
QString settingsNumber(float number);
