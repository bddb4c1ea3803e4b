#pragma once

#include <QList>
#include <QObject>
#include <QString>

class SettingsItem;

/// Collects the items of one page build and renders the item list document. Owns the items
/// appended to it until clear(); the owner calls clear() before destroying it.
class SettingsItemsXMLGen : public QObject {
    Q_OBJECT
public:
    explicit SettingsItemsXMLGen(QObject* parent = nullptr) : QObject(parent) {}

    void appendItem(SettingsItem* item) { m_items.append(item); }
    /// "<List>", every item's element, "\n</List>".
    QString getSettingsItemsXML() const;
    void clear();

private:
    QList<SettingsItem*> m_items;
};
