#include "settings/SettingsItemsXMLGen.h"

#include "settings/SettingsItem.h"

QString SettingsItemsXMLGen::getSettingsItemsXML() const {
    QString text = QStringLiteral("<List>");
    for (const SettingsItem* item : m_items) text += item->getXMLElement();
    text += QLatin1String("\n</List>");
    return text;
}

void SettingsItemsXMLGen::clear() {
    qDeleteAll(m_items);
    m_items.clear();
}
