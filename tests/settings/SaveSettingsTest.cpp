// saveSettings through the request function: the bytes of the files afterwards, the result,
// and the rules on which files and entries a request may write.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <vector>

#include "E2e.h"
#include "SettingsSupport.h"
#include "settings/ConfigEditor.h"

using namespace settingstest;

namespace {

const QByteArray kA =
    "#@restart command begin\n#@name Cam\n#@cmd restart-cam\n\n[Cam]\n#@web int\nfps=30\n#@web\nname\tfront\n"
    "#@web float 0 2 0.1\ngain = 1.5\nplain=keep\n# caf\xe9 au lait\n#@web\nlatin=caf\xe9\n#@web bool\non=0\n"
    "#@web\ndup=1\n#@web\ndup=2\n#@web\n   indented=1\r\n#@web\nlast=x";
const QByteArray kB = "[Net]\n#@web ip\nip=10.0.0.1\n";

struct Change {
    const char* category;
    const char* itemName;
    const char* value;
};
struct Edit {
    const char* from;
    const char* to;
};
struct SaveCase {
    const char* name;
    std::vector<Change> changes;
    const char* outcome;
    std::vector<Edit> editsA;  // what becomes of a.conf; "" for none, {"*","*"} for unchanged
    std::vector<Edit> editsB;
    const char* rawSettings = nullptr;  // the "settings" JSON text instead of `changes`
};

const char* A = "/etc/savepage/a.conf";
const char* B = "/etc/savepage/b.conf";

const SaveCase kCases[] = {
    {"value after an equals sign", {{A, "Cam/fps", "25"}}, "ACK", {{"fps=30", "fps=25"}}, {}},
    {"a bool saved as it is written", {{A, "Cam/on", "true"}}, "ACK", {{"on=0", "on=true"}}, {}},
    {"a tab separator stays a tab", {{A, "Cam/name", "back side"}}, "ACK", {{"name\tfront", "name\tback side"}}, {}},
    {"blanks around the equals sign: key, blank, value", {{A, "Cam/gain", "0.5"}}, "ACK",
     {{"gain = 1.5", "gain 0.5"}}, {}},
    {"the same key twice is rewritten at both places", {{A, "Cam/dup", "7"}}, "ACK",
     {{"dup=1", "dup=7"}, {"dup=2", "dup=7"}}, {}},
    {"UTF-8 value next to an untouched Latin-1 line", {{A, "Cam/fps", "\xc3\x9c"}}, "ACK",
     {{"fps=30", "fps=\xc3\x9c"}}, {}},
    {"a Latin-1 entry rewritten", {{A, "Cam/latin", "the"}}, "ACK", {{"latin=caf\xe9", "latin=the"}}, {}},
    {"the last line without line feed", {{A, "Cam/last", "y"}}, "ACK", {{"last=x", "last=y"}}, {}},
    {"an indented CR LF line keeps its indentation and CR", {{A, "Cam/indented", "2"}}, "ACK",
     {{"   indented=1\r\n", "   indented=2\r\n"}}, {}},
    {"a leading blank is kept", {{A, "Cam/fps", " 5"}}, "ACK", {{"fps=30", "fps= 5"}}, {}},
    {"an entry that is not a web item is ignored", {{A, "Cam/plain", "changed"}}, "ACK", {}, {}},
    {"an entry the file lacks is ignored", {{A, "Cam/nothing", "1"}, {A, "Other/fps", "1"}}, "ACK", {}, {}},
    {"a trailing blank is refused", {{A, "Cam/fps", "25 "}, {A, "Cam/name", "x"}}, "ERR", {}, {}},
    {"a line feed is refused", {{A, "Cam/fps", "1\nfps=2"}}, "ERR", {}, {}},
    {"a carriage return is refused", {{A, "Cam/fps", "1\r[Evil]"}}, "ERR", {}, {}},
    {"a control character is refused", {{A, "Cam/fps", "1\x01"}}, "ERR", {}, {}},
    {"DEL is refused", {{A, "Cam/fps", "1\x7f"}}, "ERR", {}, {}},
    {"a tab inside a value is fine", {{A, "Cam/fps", "1\t2"}}, "ACK", {{"fps=30", "fps=1\t2"}}, {}},
    {"two files, the first failing: the second is still written",
     {{B, "Net/ip", "10.0.0.2"}, {A, "Cam/fps", "25 "}}, "ERR", {}, {{"10.0.0.1", "10.0.0.2"}}},
    {"two files, both written", {{B, "Net/ip", "10.0.0.2"}, {A, "Cam/fps", "25"}}, "ACK", {{"fps=30", "fps=25"}},
     {{"10.0.0.1", "10.0.0.2"}}},
    {"a file the page does not list is not touched", {{"/etc/outside.conf", "Cam/fps", "1"}, {B, "Net/ip", "1"}},
     "ERR", {}, {{"10.0.0.1", "1"}}},
    {"a path with '..' is not touched", {{"/etc/savepage/../savepage/a.conf", "Cam/fps", "1"}}, "ERR", {}, {}},
    {"a link out of the locations is not touched", {{"/etc/savepage/link.conf", "Cam/fps", "1"}}, "ERR", {}, {}},
    {"an empty array", {}, "ACK", {}, {}, "[]"},
    {"missing settings", {}, "ERR MISSING PARAMETER(S)", {}, {}, ""},
    {"settings not an array", {}, "ERR MISSING PARAMETER(S)", {}, {}, "{}"},
    {"an invalid element stops the walk; earlier ones are saved", {}, "ERR MISSING PARAMETER(S)",
     {{"fps=30", "fps=1"}}, {},
     "[{\"category\":\"/etc/savepage/a.conf\",\"itemName\":\"Cam/fps\",\"value\":\"1\"},"
     "{\"category\":\"/etc/savepage/b.conf\",\"itemName\":\"Net/ip\"},"
     "{\"category\":\"/etc/savepage/b.conf\",\"itemName\":\"Net/ip\",\"value\":\"1\"}]"},
    {"a value that is not a text is invalid", {}, "ERR MISSING PARAMETER(S)", {}, {},
     "[{\"category\":\"/etc/savepage/a.conf\",\"itemName\":\"Cam/fps\",\"value\":1}]"},
    {"an invalid element plus a failed write", {}, "ERR", {}, {},
     "[{\"category\":\"/etc/savepage/a.conf\",\"itemName\":\"Cam/fps\",\"value\":\"1 \"},3]"},
};

class SaveSettingsTest : public ::testing::TestWithParam<SaveCase> {
protected:
    void SetUp() override {
        removeDir("/etc/savepage");
        for (const char* file : {A, "/etc/outside.conf", "/etc/savepage/other.txt"}) writeFile(file, kA);
        writeFile(B, kB);
        ASSERT_EQ(::chmod(QFile::encodeName(path(A)), 0640), 0);
        QFile::link(path("/etc/outside.conf"), path("/etc/savepage/link.conf"));
        setLocations({"/etc/savepage/*.conf"});
    }
    static QString path(const char* robotPath) { return testsupport::DaemonEnvironment::instance().path(robotPath); }
};

QByteArray query(const SaveCase& row) {
    if (row.rawSettings) {
        const QByteArray settings = *row.rawSettings ? ",\"settings\":" + QByteArray(row.rawSettings) : QByteArray();
        return "{\"TYPE\":\"saveSettings\"" + settings + "}";
    }
    QByteArrayList elements;
    for (const Change& change : row.changes) {
        elements << jsonDump(JsonPtr(json_pack("{s:s,s:s,s:s}", "category", change.category, "itemName",
                                               change.itemName, "value", change.value)).get(), 0);
    }
    return "{\"TYPE\":\"saveSettings\",\"settings\":[" + elements.join(',') + "]}";
}

QByteArray edited(QByteArray text, const std::vector<Edit>& edits) {
    for (const Edit& edit : edits) {
        const int at = text.indexOf(edit.from);
        if (at < 0) return "<edit not found: " + QByteArray(edit.from) + ">";
        text.replace(at, static_cast<int>(qstrlen(edit.from)), edit.to);
    }
    return text;
}

// Every save keeps the file's mode and leaves no temporary file.
TEST_P(SaveSettingsTest, WritesOnlyTheChangedValues) {
    const SaveCase& row = GetParam();
    EXPECT_EQ(outcome(query(row)), QByteArray(row.outcome));
    EXPECT_EQ(readFile(A), edited(kA, row.editsA));
    EXPECT_EQ(readFile(B), edited(kB, row.editsB));
    EXPECT_EQ(readFile("/etc/outside.conf"), kA);
    EXPECT_EQ(readFile("/etc/savepage/other.txt"), kA);
    EXPECT_EQ(testsupport::fileMode(path(A)), 0640u);
    EXPECT_EQ(QDir(path("/etc/savepage")).entryList(QDir::Files | QDir::Hidden),
              QStringList({"a.conf", "b.conf", "link.conf", "other.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Rows, SaveSettingsTest, ::testing::ValuesIn(kCases));

TEST(ConfigEditorTest, KeepsTheKeyBytesAndSplitsAtUnicodeBlanks) {
    // An invalid UTF-8 key reads as a replacement character; its own bytes are kept. A no-break
    // space is a blank to the reader, so it is the separator to the editor as well.
    ConfigEditor editor;
    editor.setValue(QString::fromUtf8("/\xef\xbf\xbd"), QStringLiteral("1"));
    editor.setValue(QStringLiteral("/k"), QStringLiteral("2"));
    QByteArray result;
    ASSERT_TRUE(editor.apply("\xff=0\nk\xc2\xa0" "0\n", &result));
    EXPECT_EQ(result, QByteArray("\xff=1\nk\xc2\xa0" "2\n"));
}

}  // namespace
