// The annotated configuration reader on a table of small files covering its grammar.
#include <gtest/gtest.h>

#include <QDir>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "settings/ConfigReader.h"

using testsupport::DaemonEnvironment;

namespace {

// Everything the reader found, one line per fact: entries, web items (type, name, value with
// its type, parameters), the restart rule.
QString dump(const ConfigReader& reader) {
    QStringList lines;
    for (auto it = reader.items().begin(); it != reader.items().end(); ++it) lines << it.key() + "=" + it.value();
    for (const ConfigItem& item : reader.webItems()) {
        QStringList parameters;
        for (const QVariant& parameter : item.parameters) parameters << parameter.toString();
        lines << QStringLiteral("web %1 %2/%3 %4:%5 [%6]")
                     .arg(item.type)
                     .arg(item.group, item.key, QLatin1String(item.value.typeName()), item.value.toString(),
                          parameters.join(QLatin1Char(',')));
    }
    if (!reader.restartCommand.isEmpty() || !reader.restartName.isEmpty()) {
        lines << "restart " + reader.restartName + ": " + QString(reader.restartCommand).replace('\n', '|');
    }
    return lines.join(QLatin1Char('\n'));
}

struct ReaderCase {
    const char* name;
    const char* file;
    const char* expected;
};

const ReaderCase kCases[] = {
    {"empty file", "", ""},
    {"example file",
     "#@restart command begin\n#@name Camera\n#@cmd restart-camera-service\n\n[Camera]\n#@web int\nfps=30\n"
     "#@web selection 320x240 640x480\nresolution=640x480\n#@web float 0 2.5 0.5\ngain=1.5\ncomment=text\n",
     "Camera/comment=text\nCamera/fps=30\nCamera/gain=1.5\nCamera/resolution=640x480\n"
     "web 3 Camera/fps int:30 []\nweb 4 Camera/resolution QString:640x480 [320x240,640x480]\n"
     "web 2 Camera/gain float:1.5 [0,2.5,0.5]\nrestart Camera: restart-camera-service|"},
    {"separators",
     "a=0.5\nb 0.5\nc = 0.5\nd=a=b\ne=\nf\tx y\n  g=1  \n",
     "/a=0.5\n/b=0.5\n/c== 0.5\n/d=a=b\n/e=\n/f=x y\n/g=1"},
    {"annotations carried over comments and blanks; two in a row: the second wins",
     "[S]\n#@web int\n\n# note\n;other\na=7\n#@web int\n#@web ip\nb=1.2.3.4\n",
     "S/a=7\nS/b=1.2.3.4\nweb 3 S/a int:7 []\nweb 1 S/b QString:1.2.3.4 []"},
    {"an annotation is dropped by a section line and by a line without separator",
     "#@web int\n[S]\na=1\n#@web int\nnoseparator\nb=2\n", "S/a=1\nS/b=2"},
    {"annotation spellings: ;@web, #@webfoo, no word, unknown word, float with four and six parts",
     ";@web int\na=1\n#@webfoo int\nb=2\n#@web\nc=3\n#@web colour\nd=4\n#@web float 1 2\ne=x\n"
     "#@web float 1 2 3 4\nf=0.25\n#@web float a 2 b\ng=1\n#@web selection\nh=z\n",
     "/a=1\n/b=2\n/c=3\n/d=4\n/e=x\n/f=0.25\n/g=1\n/h=z\nweb 3 /a int:1 []\nweb 3 /b int:2 []\n"
     "web 0 /c QString:3 []\nweb 0 /d QString:4 []\nweb 2 /e float:0 [0,1,0.1]\nweb 2 /f float:0.25 [0,1,0.1]\n"
     "web 2 /g float:1 [0,2,0]\nweb 4 /h QString:z []"},
    {"bool and int conversions",
     "#@web bool\na=1\n#@web bool\nb=0\n#@web bool\nc=true\n#@web bool\nd=TRUE\n#@web bool\ne=false\n"
     "#@web bool\nf=2\n#@web bool\ng=yes\n#@web int\nh=x\n#@web int\ni=-12\n#@web int\nj = 5\n",
     "/a=1\n/b=0\n/c=true\n/d=TRUE\n/e=false\n/f=2\n/g=yes\n/h=x\n/i=-12\n/j== 5\n"
     "web 5 /a bool:true []\nweb 5 /b bool:false []\nweb 5 /c bool:true []\nweb 5 /d bool:true []\n"
     "web 5 /e bool:false []\nweb 5 /f bool:true []\nweb 5 /g bool:false []\nweb 3 /h int:0 []\n"
     "web 3 /i int:-12 []\nweb 3 /j int:0 []"},
    {"entries before any section, sections with blanks, duplicates",
     "top=1\n[ Cam ]\nx=1\nx=2\n[]\ny=3\n", " Cam /x=2\n/top=1\n/y=3"},
    {"a restart block is ended by a ';' line, which is then read like any line",
     "#@restart command begin\n#@cmd one\n;@web int\na=5\n", "/a=5\nweb 3 /a int:5 []\nrestart : one|"},
    {"';@restart command begin' starts a block; '#@web' right after belongs to it",
     ";@restart command begin\n#@cmd one\n#@web int\n#@name first\na=5\n", "/a=5\nrestart first: one|"},
    {"two blocks accumulate commands; a later name wins; tags are removed everywhere",
     "#@restart command begin\n#@cmd  one \n#@name A\nx=1\n#@restart command begin\n#@name B #@name\n"
     "#@cmd two;@cmd three\n#@cmdfour\n",
     "/x=1\nrestart B: one|two three|four|"},
    {"a line that ends a restart block can be an entry; a begin line with extra text is a comment",
     "#@restart command begin\n#@cmd one\nkey=value\n#@restart command begin now\n#@cmd two\n",
     "/key=value\nrestart : one|"},
};

class ConfigReaderTest : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ConfigReaderTest, ReadsTheFileAsAnnotated) {
    const QString path = DaemonEnvironment::instance().path(QStringLiteral("/etc/corvanta/reader.conf"));
    ASSERT_TRUE(testsupport::writeFile(path, GetParam().file));
    ConfigReader reader;
    ASSERT_TRUE(reader.read(path));
    EXPECT_EQ(dump(reader), QString::fromUtf8(GetParam().expected));
    for (const ConfigItem& item : reader.webItems()) EXPECT_EQ(item.filePath, path);
}

INSTANTIATE_TEST_SUITE_P(Grammar, ConfigReaderTest, ::testing::ValuesIn(kCases));

TEST(ConfigReaderFileTest, FileSelectionListsMatchingPlainFilesInStableOrder) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    const QString dir = env.path(QStringLiteral("/opt/choices"));
    QDir().mkpath(dir + QStringLiteral("/sub.yaml"));
    for (const char* name : {"b.yaml", "a.yaml", "A.yaml", ".hidden.yaml", "c.txt", "e.YML"})
        ASSERT_TRUE(testsupport::writeFile(dir + QLatin1Char('/') + QLatin1String(name), QByteArray()));
    const QString path = env.path(QStringLiteral("/etc/corvanta/select.conf"));
    ASSERT_TRUE(testsupport::writeFile(path, "#@web fileselection /opt/choices *.yaml *.yml\nmap=a.yaml\n#@web fileselection /opt/choices\n"
               "all=x\n#@web fileselection\nnone=y\n#@web fileselection /opt/missing\ngone=z\n"));
    ConfigReader reader;
    ASSERT_TRUE(reader.read(path));
    EXPECT_EQ(dump(reader).section(QLatin1Char('\n'), 4),
              QStringLiteral("web 4 /map QString:a.yaml [A.yaml,a.yaml,b.yaml,e.YML]\n"
                             "web 4 /all QString:x [A.yaml,a.yaml,b.yaml,c.txt,e.YML]\n"
                             "web 4 /none QString:y []\nweb 4 /gone QString:z []"));
}

}  // namespace
