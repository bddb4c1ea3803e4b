// The settings items' XML and the two documents, byte for byte, through the request function.
#include <gtest/gtest.h>

#include <QXmlStreamWriter>

#include "SettingsSupport.h"
#include "settings/SettingsItem.h"

using namespace settingstest;

namespace {

// The element is assembled by hand: it must equal what Qt's stream writer makes of any text.
TEST(SettingsItemXmlTest, EqualsTheStreamWritersTextForAnyCharacter) {
    const char* values[] = {"a<b>&c\"d'", "x\x01y\x1f", "tab\there", "line\nfeed\r", "\xef\xbf\xbe\xef\xbf\xbf",
                            "\xf0\x9f\x98\x80 \xc3\xa9", "", "]]>"};
    for (const char* value : values) {
        StringSettingsItem made;
        made.itemName = "G/<k>";
        made.category = "/etc/corvanta/cam.conf";
        made.value = QString::fromUtf8(value);
        QString expected;
        QXmlStreamWriter writer(&expected);
        writer.setAutoFormatting(true);
        writer.writeStartElement("settingItem");
        for (const auto& [name, text] : {std::pair("itemName", made.itemName), {"category", made.category},
                                         {"type", QString("string")}, {"value", made.value}})
            writer.writeTextElement(name, text);
        writer.writeEndElement();
        EXPECT_EQ(made.getXMLElement(), expected) << value;
    }
}

class SettingsDocumentTest : public ::testing::Test {
protected:
    void SetUp() override { removeDir("/etc/xmlpage"); }
    static QByteArray ask(const char* type) {
        return xmlBody(testsupport::DaemonEnvironment::instance().request(QByteArray("{\"TYPE\":\"") + type + "\"}"));
    }
};

TEST_F(SettingsDocumentTest, EmptyLocationsGiveEmptyDocuments) {
    writeFile("/etc/xmlpage/plain.conf", "#@restart command begin\n#@cmd x\n\na=1\n");
    setLocations({"/etc/xmlpage", "/nowhere", "nofolder"});
    EXPECT_EQ(ask("getSettingsCategoryXML"), "\n<List/>");
    EXPECT_EQ(ask("getSettingsItemsXML"), "<List>\n</List>");
    // The file without web items is still read: its restart rule is known.
    EXPECT_EQ(testsupport::DaemonEnvironment::instance().fcgi().context().settings.getConfigRestartItem(
                  "/etc/xmlpage/plain.conf").command, "x\n");
}

TEST_F(SettingsDocumentTest, FullDocumentsInScanningOrder) {
    writeFile("/etc/xmlpage/b.conf",
              "#@restart command begin\n#@name Camera\n#@cmd restart-camera\n\n[Camera]\n#@web int\nfps=1234567\n"
              "#@web bool\non=1\n#@web float\ngain=0.25\n#@web selection a b\nmode=b\n#@web ip\nip=1.2.3.4\n"
              "#@web\nname=Ünï & <x>\n#@web float 0.1 1234567 2.5\nwide=1.5\n#@web selection\nnone=x\n");
    writeFile("/etc/xmlpage/A.conf", "#@restart command begin\n#@cmd go\n\n#@web\nk=v\n");
    for (const char* name : {"c.ini", ".hidden.conf"}) writeFile(QString("/etc/xmlpage/") + name, "#@web\nk=v\n");
    writeFile("/etc/xmlpage/d.conf", "k=v\n");
    setLocations({"/etc/xmlpage/*.conf", "/etc/xmlpage/c.ini"});
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


// Files unchanged since the last rebuild are not parsed again: every kind of change still shows.
TEST_F(SettingsDocumentTest, RebuildSeesEveryChangeOfAFileReadBefore) {
    ConfigPageBuilder& builder = testsupport::DaemonEnvironment::instance().fcgi().context().settings;
    builder.setSettleTime(-1000000);  // every reading is kept, however recent the file
    const QString dir = testsupport::DaemonEnvironment::instance().path("/etc/xmlpage/");
    writeFile("/etc/xmlpage/a.conf", "#@web selection x y\nk=1\n");
    writeFile("/etc/xmlpage/b.conf", "#@web fileselection /etc/xmlpage/choices\nf=c\n");
    writeFile("/etc/xmlpage/choices/one", "");
    setLocations({"/etc/xmlpage"});
    EXPECT_TRUE(ask("getSettingsItemsXML").contains("<value>1</value>"));
    // Same size, new inode: what an editor that saves through a temporary file does.
    writeFile("/etc/xmlpage/.new", "#@web selection x y\nk=2\n");
    ASSERT_TRUE(QFile::remove(dir + "a.conf") && QFile::rename(dir + ".new", dir + "a.conf"));
    EXPECT_TRUE(ask("getSettingsItemsXML").contains("<value>2</value>"));
    writeFile("/etc/xmlpage/a.conf", "#@web selection x y\nk=2\n#@web\nnew=3\n");
    writeFile("/etc/xmlpage/choices/two", "");
    const QByteArray items = ask("getSettingsItemsXML");
    EXPECT_TRUE(items.contains("<itemName>/new</itemName>") && items.contains("<valuemap>one,two</valuemap>"));
    QFile::remove(dir + "a.conf");
    EXPECT_FALSE(ask("getSettingsItemsXML").contains("a.conf"));
    builder.setSettleTime(2000);
}

}  // namespace
