// The settings items' XML and the two documents, byte for byte, through the request function.
#include <gtest/gtest.h>

#include <QXmlStreamWriter>
#include <memory>

#include "SettingsSupport.h"
#include "settings/SettingsItem.h"

using namespace settingstest;

namespace {

// The element is assembled by hand: it must equal what Qt's stream writer makes of any text.
TEST(SettingsItemXmlTest, EqualsTheStreamWritersTextForAnyCharacter) {
    const char* values[] = {"a<b>&c\"d'", "x\x01y\x1f", "tab\there", "line\nfeed\r", "\xef\xbf\xbe\xef\xbf\xbf",
                            "\xf0\x9f\x98\x80 \xc3\xa9", "", "]]>"};
    for (const char* value : values) {
        auto made = std::make_unique<StringSettingsItem>();
        made->itemName = QStringLiteral("G/<k>");
        made->category = QStringLiteral("/etc/corvanta/cam.conf");
        made->value = QString::fromUtf8(value);
        QString expected;
        QXmlStreamWriter writer(&expected);
        writer.setAutoFormatting(true);
        writer.writeStartElement(QStringLiteral("settingItem"));
        writer.writeTextElement(QStringLiteral("itemName"), made->itemName);
        writer.writeTextElement(QStringLiteral("category"), made->category);
        writer.writeTextElement(QStringLiteral("type"), QStringLiteral("string"));
        writer.writeTextElement(QStringLiteral("value"), made->value);
        writer.writeEndElement();
        EXPECT_EQ(made->getXMLElement(), expected) << value;
    }
}

class SettingsDocumentTest : public ::testing::Test {
protected:
    void SetUp() override { removeDir(QStringLiteral("/etc/xmlpage")); }
    static QByteArray ask(const char* type) {
        return xmlBody(testsupport::DaemonEnvironment::instance().request(
            QByteArray("{\"TYPE\":\"") + type + "\"}"));
    }
};

TEST_F(SettingsDocumentTest, EmptyLocationsGiveEmptyDocuments) {
    writeFile(QStringLiteral("/etc/xmlpage/plain.conf"), "#@restart command begin\n#@cmd x\n\na=1\n");
    setLocations({QStringLiteral("/etc/xmlpage"), QStringLiteral("/nowhere"), QStringLiteral("nofolder")});
    EXPECT_EQ(ask("getSettingsCategoryXML"), QByteArray("\n<List/>"));
    EXPECT_EQ(ask("getSettingsItemsXML"), QByteArray("<List>\n</List>"));
    // The file without web items is still read: its restart rule is known.
    EXPECT_EQ(testsupport::DaemonEnvironment::instance().fcgi().context().settings
                  .getConfigRestartItem(QStringLiteral("/etc/xmlpage/plain.conf")).command,
              QStringLiteral("x\n"));
}

TEST_F(SettingsDocumentTest, FullDocumentsInScanningOrder) {
    writeFile(QStringLiteral("/etc/xmlpage/b.conf"),
              "#@restart command begin\n#@name Camera\n#@cmd restart-camera\n\n[Camera]\n#@web int\nfps=1234567\n"
              "#@web bool\non=1\n#@web float\ngain=0.25\n#@web selection a b\nmode=b\n#@web ip\nip=1.2.3.4\n"
              "#@web\nname=Ünï & <x>\n#@web float 0.1 1234567 2.5\nwide=1.5\n#@web selection\nnone=x\n");
    writeFile(QStringLiteral("/etc/xmlpage/A.conf"), "#@restart command begin\n#@cmd go\n\n#@web\nk=v\n");
    writeFile(QStringLiteral("/etc/xmlpage/c.ini"), "#@web\nk=v\n");
    writeFile(QStringLiteral("/etc/xmlpage/.hidden.conf"), "#@web\nk=v\n");
    writeFile(QStringLiteral("/etc/xmlpage/d.conf"), "k=v\n");
    setLocations({QStringLiteral("/etc/xmlpage/*.conf"), QStringLiteral("/etc/xmlpage/c.ini")});
    EXPECT_EQ(ask("getSettingsCategoryXML"),
              QByteArray("\n<List>\n"
                         "    <settingCategory>\n        <categoryName>/etc/xmlpage/A.conf</categoryName>\n"
                         "        <needRestart></needRestart>\n        <parentID>root</parentID>\n    </settingCategory>\n"
                         "    <settingCategory>\n        <categoryName>/etc/xmlpage/b.conf</categoryName>\n"
                         "        <needRestart>Camera</needRestart>\n        <parentID>root</parentID>\n    </settingCategory>\n"
                         "    <settingCategory>\n        <categoryName>/etc/xmlpage/c.ini</categoryName>\n"
                         "        <needRestart>__NOTHING</needRestart>\n        <parentID>root</parentID>\n    </settingCategory>\n"
                         "</List>"));
    const auto element = [](const char* file, const char* name, const char* type, const char* value,
                            const char* extra) {
        return QByteArray("\n<settingItem>\n    <itemName>") + name + "</itemName>\n    <category>/etc/xmlpage/" + file +
               "</category>\n    <type>" + type + "</type>\n    <value>" + value + "</value>\n" + extra +
               "</settingItem>";
    };
    EXPECT_EQ(ask("getSettingsItemsXML"),
              "<List>" + element("A.conf", "/k", "string", "v", "") +
                  element("b.conf", "Camera/fps", "string", "1.23457e+06", "") +
                  element("b.conf", "Camera/on", "selection", "true", "    <valuemap>true,false</valuemap>\n") +
                  element("b.conf", "Camera/gain", "float", "0.25",
                          "    <min>0</min>\n    <max>1</max>\n    <precision>0.1</precision>\n") +
                  element("b.conf", "Camera/mode", "selection", "b", "    <valuemap>a,b</valuemap>\n") +
                  element("b.conf", "Camera/ip", "string", "1.2.3.4", "") +
                  element("b.conf", "Camera/name", "string", "\xc3\x9cn\xc3\xaf &amp; &lt;x&gt;", "") +
                  element("b.conf", "Camera/wide", "float", "1.5",
                          "    <min>0.1</min>\n    <max>1.23457e+06</max>\n    <precision>2.5</precision>\n") +
                  element("b.conf", "Camera/none", "selection", "x", "    <valuemap></valuemap>\n") +
                  element("c.ini", "/k", "string", "v", "") + "\n</List>");
}

}  // namespace

namespace {

// Files unchanged since the last rebuild are not parsed again: every kind of change still shows.
TEST_F(SettingsDocumentTest, RebuildSeesEveryChangeOfAFileReadBefore) {
    ConfigPageBuilder& builder = testsupport::DaemonEnvironment::instance().fcgi().context().settings;
    builder.setSettleTime(-1000000);  // every reading is kept, however recent the file
    const auto replace = [](const QByteArray& content) {
        // Same size, new inode: what an editor that saves through a temporary file does.
        writeFile(QStringLiteral("/etc/xmlpage/.new"), content);
        const QString dir = testsupport::DaemonEnvironment::instance().path(QStringLiteral("/etc/xmlpage"));
        QFile::remove(dir + QStringLiteral("/a.conf"));
        QFile::rename(dir + QStringLiteral("/.new"), dir + QStringLiteral("/a.conf"));
    };
    writeFile(QStringLiteral("/etc/xmlpage/a.conf"), "#@web selection x y\nk=1\n");
    writeFile(QStringLiteral("/etc/xmlpage/b.conf"), "#@web fileselection /etc/xmlpage/choices\nf=c\n");
    writeFile(QStringLiteral("/etc/xmlpage/choices/one"), "");
    setLocations({QStringLiteral("/etc/xmlpage")});
    EXPECT_TRUE(ask("getSettingsItemsXML").contains("<value>1</value>"));
    replace("#@web selection x y\nk=2\n");
    EXPECT_TRUE(ask("getSettingsItemsXML").contains("<value>2</value>"));
    writeFile(QStringLiteral("/etc/xmlpage/a.conf"), "#@web selection x y\nk=2\n#@web\nnew=3\n");
    writeFile(QStringLiteral("/etc/xmlpage/choices/two"), "");
    const QByteArray items = ask("getSettingsItemsXML");
    EXPECT_TRUE(items.contains("<itemName>/new</itemName>"));
    EXPECT_TRUE(items.contains("<valuemap>one,two</valuemap>"));
    QFile::remove(testsupport::DaemonEnvironment::instance().path(QStringLiteral("/etc/xmlpage/a.conf")));
    EXPECT_FALSE(ask("getSettingsItemsXML").contains("a.conf"));
    builder.setSettleTime(2000);
}

}  // namespace
