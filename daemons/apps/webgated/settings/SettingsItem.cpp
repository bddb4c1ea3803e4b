#include "settings/SettingsItem.h"

#include <QXmlStreamWriter>

#include "kel/corvanta/daemons/Log.h"

QString settingsNumber(float number) { return QStringLiteral("%1").arg(static_cast<double>(number)); }

void SettingsItem::writeXMLElement(QXmlStreamWriter& writer, QString name, QString text) const {
    writer.writeStartElement(name);
    writer.writeCharacters(text);
    writer.writeEndElement();
}

template <typename Extra>
QString SettingsItem::element(const char* typeText, Extra extra) const {
    QString text;
    QXmlStreamWriter writer(&text);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartElement(QStringLiteral("settingItem"));
    writeXMLElement(writer, QStringLiteral("itemName"), itemName);
    writeXMLElement(writer, QStringLiteral("category"), category);
    writeXMLElement(writer, QStringLiteral("type"), QLatin1String(typeText));
    writeXMLElement(writer, QStringLiteral("value"), value);
    extra(writer);
    writer.writeEndElement();
    return text;
}

QString SettingsItem::element(const char* typeText) const {
    return element(typeText, [](QXmlStreamWriter&) {});
}

QString StringSettingsItem::getXMLElement() const { return element("string"); }
QString IPSettingsItem::getXMLElement() const { return element("string"); }
QString IntegerSettingsItem::getXMLElement() const { return element("string"); }
QString BooleanSettingsItem::getXMLElement() const { return element("boolean"); }

QString FloatSettingsItem::getXMLElement() const {
    return element("float", [this](QXmlStreamWriter& writer) {
        writeXMLElement(writer, QStringLiteral("min"), settingsNumber(min));
        writeXMLElement(writer, QStringLiteral("max"), settingsNumber(max));
        writeXMLElement(writer, QStringLiteral("precision"), settingsNumber(precision));
    });
}

QString SelectionSettingsItem::getXMLElement() const {
    const QString text = element("selection", [this](QXmlStreamWriter& writer) {
        writeXMLElement(writer, QStringLiteral("valuemap"), valueList.join(QLatin1Char(',')));
    });
    kel::corvanta::daemons::Log::singleton()->log(text, 0);
    return text;
}
