// The file-system root, the one way a file is replaced, and the JSON text every reply is written
// with.
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "base/AtomicFile.h"
#include "base/FsRoot.h"
#include "base/Json.h"

using testsupport::DaemonEnvironment;

namespace {

TEST(FsRootTest, RelocatesAbsolutePathsOnly) {
    const QString root = DaemonEnvironment::instance().root();
    EXPECT_EQ(FsRoot::fsPath("/etc/hostapd.conf"), root + "/etc/hostapd.conf");
    EXPECT_EQ(FsRoot::fsPath("./resources/nocam.png"), "./resources/nocam.png");
    EXPECT_EQ(FsRoot::robotPath(root + "/var/www/programs"), "/var/www/programs");
    // A sibling directory that merely starts with the same text is not inside the root.
    EXPECT_EQ(FsRoot::robotPath(root + "x/y"), root + "x/y");
}

TEST(AtomicFileTest, ReplacesWholeWithItsModeNeverFollowsALinkAndLeavesNoTemporaryFile) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/file";
    const auto entries = [&] {
        return QDir(dir.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    };
    AtomicFileOptions options;
    options.mode = 04750;  // set-id bits too, given again after the owner
    options.uid = ::geteuid();
    options.gid = ::getegid();
    ASSERT_TRUE(AtomicFile::write(path, "one", options));
    EXPECT_EQ(testsupport::readFile(path), "one");
    EXPECT_EQ(testsupport::fileMode(path), 04750u);

    // A link planted at the name is replaced itself; its target keeps what it had.
    const QString target = dir.path() + "/target";
    ASSERT_TRUE(testsupport::writeFile(target, "target"));
    ASSERT_TRUE(QFile::remove(path) && QFile::link(target, path));
    ASSERT_TRUE(AtomicFile::write(path, "two"));
    EXPECT_EQ(testsupport::readFile(target), "target");
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_EQ(testsupport::readFile(path), "two");

    // No-replace: a name taken, even by a dangling link, is refused and nothing is left behind.
    options.noReplace = true;
    ASSERT_TRUE(QFile::link(dir.path() + "/nowhere", dir.path() + "/dangling"));
    EXPECT_FALSE(AtomicFile::write(dir.path() + "/dangling", "three", options));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(entries(), QStringList({"dangling", "file", "target"}));
    // A folder it cannot write to: false, and again no temporary file.
    EXPECT_FALSE(AtomicFile::write(dir.path() + "/missing/file", "four"));
    EXPECT_EQ(entries(), QStringList({"dangling", "file", "target"}));
}

// Random documents of every kind of value the replies hold.
json_t* randomValue(std::mt19937& random, int depth) {
    static const double kReals[] = {
        0.0,     -0.0,    0.1,    1.5,    -2.5e-300, 1e20,     1e21,  1e-7, 123456789012345678.0,
        DBL_MAX, DBL_MIN, 5e-324, 62.726, 1.0 / 3.0, 100000.0, -1e100};
    static const long long kIntegers[] = {0, 1, -1, 100000, INT64_MAX, INT64_MIN};
    switch (random() % (depth > 3 ? 5 : 7)) {
        case 0:
            return json_real(kReals[random() % (sizeof(kReals) / sizeof(*kReals))]);
        case 1:
            return json_real(
                std::ldexp(double(random()) - 2147483648.0, int(random() % 200) - 100));
        case 2:
            return json_integer(random() % 2 ? kIntegers[random() % 6]
                                             : (long long)(random()) - 99999);
        case 3: {
            std::string text;
            const char pick[] = {'a',    '/',    '"',    '\\', '\n', '\t', '\b', '\f', '\r',
                                 '\x01', '\x1f', '\x7f', ' ',  '%',  '<',  '>',  '&'};
            for (int i = int(random() % 12); i > 0; --i) text += pick[random() % sizeof(pick)];
            if (random() % 3 == 0) text += "\xc3\xbc\xe2\x9c\x93\xf0\x9f\x98\x80";
            return json_stringn(text.data(), text.size());
        }
        case 4:
            return random() % 3 == 0 ? json_null() : json_boolean(random() % 2);
        case 5: {
            json_t* array = json_array();
            for (int i = int(random() % 4); i > 0; --i)
                json_array_append_new(array, randomValue(random, depth + 1));
            return array;
        }
        default: {
            json_t* object = json_object();
            for (int i = int(random() % 5); i > 0; --i) {
                const std::string key = "k/" + std::to_string(random() % 50) + (i % 2 ? "\"" : "");
                json_object_set_new(object, key.c_str(), randomValue(random, depth + 1));
            }
            return object;
        }
    }
}

// The library's own compact text with "<", ">" and "&" escaped as the replies have them (outside
// strings JSON text has none of them).
QByteArray libraryText(const json_t* value, size_t flags = 0x420) {
    return jsonDump(value, flags)
        .replace("<", "\\u003c")
        .replace(">", "\\u003e")
        .replace("&", "\\u0026");
}

TEST(JsonTextTest, CompactWriterMatchesTheLibrarysOwnTextHoldsNoMarkupAndKeepsTextAbove127) {
    std::mt19937 random(20261206);
    for (int i = 0; i < 3000; ++i) {
        JsonPtr document(json_object());
        json_object_set_new(document.get(), "value<&>", randomValue(random, 0));
        const QByteArray text = jsonDumpCompact(document.get());
        ASSERT_EQ(text, libraryText(document.get())) << i;
        ASSERT_FALSE(text.contains('<') || text.contains('>') || text.contains('&')) << i;
        // Read back the same by this library and by another parser.
        ASSERT_TRUE(
            json_equal(JsonPtr(json_loads(text.constData(), 0, nullptr)).get(), document.get()))
            << i;
        ASSERT_EQ(QJsonDocument::fromJson(text),
                  QJsonDocument::fromJson(jsonDump(document.get(), 0x420)))
            << i;
    }
    // Reals written again and again, more of them than the writer remembers texts for: each time
    // the text of that very value, never one of another value that shared its slot.
    std::vector<double> pool;
    for (int i = 0; i < 300; ++i)
        pool.push_back(std::ldexp(double(random()) - 2147483648.0, int(random() % 80) - 40));
    pool.insert(pool.end(), {0.0, -0.0, 1.0, 0.1, 1e21, 5e-324, DBL_MAX});
    for (int i = 0; i < 20000; ++i) {
        const JsonPtr real(json_real(pool[random() % pool.size()]));
        ASSERT_EQ(jsonDumpCompact(real.get()), libraryText(real.get(), 0x420 | JSON_ENCODE_ANY))
            << i;
    }
    const QString text = QString::fromUtf8("Grüße ✓ \"q\" /");
    EXPECT_EQ(jsonToQString(JsonPtr(jsonFromQString(text)).get()), text);
    EXPECT_TRUE(jsonToQString(JsonPtr(json_integer(3)).get()).isNull());
}

}  // namespace
