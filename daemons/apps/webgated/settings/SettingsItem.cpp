#include "settings/SettingsItem.h"

#include <QXmlStreamWriter>

#include "kel/corvanta/daemons/Log.h"

QString settingsNumber(float number) { return QStringLiteral("%1").arg(static_cast<double>(number)); }

namespace {

// Text as QXmlStreamWriter writes characters. Every page request renders every item, so the
// element is assembled directly; a text with a character the writer treats specially (control
// characters, non-characters) goes through the writer itself.
void appendEscaped(QString& out, const QString& text) {
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if ((code < 0x20 && code != '\t' && code != '\n' && code != '\r') || code >= 0xFFFE) {
            QString written;
            QXmlStreamWriter writer(&written);
            writer.writeStartElement(QStringLiteral("x"));
            writer.writeCharacters(text);
            writer.writeEndElement();
            out += written.mid(3, written.size() - 7);  // without <x> and </x>
            return;
        }
    }
    const int start = out.size();
    out += text;
    for (int i = start; i < out.size(); ++i) {
        const char16_t code = out.at(i).unicode();
        if (code == '<') {
            out.replace(i, 1, QLatin1String("&lt;")), i += 3;
        } else if (code == '>') {
            out.replace(i, 1, QLatin1String("&gt;")), i += 3;
        } else if (code == '&') {
            out.replace(i, 1, QLatin1String("&amp;")), i += 4;
        } else if (code == '"') {
            out.replace(i, 1, QLatin1String("&quot;")), i += 5;
        }
    }
}

}  // namespace

void SettingsItem::appendChild(QString& out, QLatin1String name, const QString& text) {
    out += QLatin1String("\n    <");
    out += name;
    out += QLatin1Char('>');
    appendEscaped(out, text);
    out += QLatin1String("</");
    out += name;
    out += QLatin1Char('>');
}

template <typename Extra>
QString SettingsItem::element(const char* typeText, Extra extra) const {
    // Auto-formatted as the stream writer does it: a line feed before each element, four
    // blanks per level, no document start.
    QString text;
    text.reserve(160 + itemName.size() + category.size() + value.size());
    text += QLatin1String("\n<settingItem>");
    appendChild(text, QLatin1String("itemName"), itemName);
    appendChild(text, QLatin1String("category"), category);
    appendChild(text, QLatin1String("type"), QLatin1String(typeText));
    appendChild(text, QLatin1String("value"), value);
    extra(text);
    text += QLatin1String("\n</settingItem>");
    return text;
}

QString SettingsItem::element(const char* typeText) const {
    return element(typeText, [](QString&) {});
}

QString StringSettingsItem::getXMLElement() const { return element("string"); }
QString IPSettingsItem::getXMLElement() const { return element("string"); }
QString IntegerSettingsItem::getXMLElement() const { return element("string"); }
QString BooleanSettingsItem::getXMLElement() const { return element("boolean"); }

QString FloatSettingsItem::getXMLElement() const {
    return element("float", [this](QString& text) {
        appendChild(text, QLatin1String("min"), settingsNumber(min));
        appendChild(text, QLatin1String("max"), settingsNumber(max));
        appendChild(text, QLatin1String("precision"), settingsNumber(precision));
    });
}

QString SelectionSettingsItem::getXMLElement() const {
    const QString text = element("selection", [this](QString& out) {
        appendChild(out, QLatin1String("valuemap"), valueList.join(QLatin1Char(',')));
    });
    kel::corvanta::daemons::Log::singleton()->log(text, 0);
    return text;
}
