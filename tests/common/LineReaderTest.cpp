#include <gtest/gtest.h>

#include "kel/rpc/LineReader.h"
#include "kel/rpc/Message.h"

namespace {

QList<QByteArray> drain(kel::rpc::LineReader* reader) {
    QList<QByteArray> lines;
    QByteArray line;
    while (reader->nextLine(&line)) lines.append(line);
    return lines;
}

TEST(LineReaderTest, JoinsLinesSplitAcrossChunks) {
    kel::rpc::LineReader reader;
    reader.append("first\nsec");
    EXPECT_EQ(drain(&reader), QList<QByteArray>{"first"});
    reader.append("ond\n\nthird");
    EXPECT_EQ(drain(&reader), (QList<QByteArray>{"second", ""}));
    reader.append("\n");
    EXPECT_EQ(drain(&reader), QList<QByteArray>{"third"});
}

TEST(LineReaderTest, DropsOversizedLinesAndKeepsTheNext) {
    kel::rpc::LineReader reader(16);
    reader.append(QByteArray(10, 'a'));
    EXPECT_TRUE(drain(&reader).isEmpty());
    reader.append(QByteArray(10, 'b'));  // now past the limit without a line feed
    EXPECT_TRUE(drain(&reader).isEmpty());
    reader.append(QByteArray(100, 'c') + "\nkept\n" + QByteArray(40, 'd') + "\nalso\n");
    EXPECT_EQ(drain(&reader), (QList<QByteArray>{"kept", "also"}));
    EXPECT_EQ(reader.droppedLines(), 2);
}

TEST(MessageTest, ParsesOnlyWellFormedMessagesOfKnownOps) {
    kel::rpc::Message message;
    ASSERT_TRUE(
        kel::rpc::Message::parse(R"({"op":"enable","topic":"bumper","on":true})", &message));
    EXPECT_EQ(message.op, kel::rpc::Message::Op::Enable);
    EXPECT_EQ(message.topic, "bumper");
    EXPECT_TRUE(message.on);
    ASSERT_TRUE(kel::rpc::Message::parse(R"({"args":[1,"x"],"topic":"t","op":"set"})", &message));
    EXPECT_EQ(message.op, kel::rpc::Message::Op::Set);
    EXPECT_EQ(message.args, (QJsonArray{1, "x"}));

    for (const char* bad :
         {"", "not json", "[1,2]", R"({"op":"enable","topic":"t"})",
          R"({"op":"enable","topic":"t","on":1})", R"({"op":"set","topic":"t","args":{}})",
          R"({"op":"publish","topic":"","args":[]})", R"({"op":"frobnicate","topic":"t"})",
          R"({"op":"publish","topic":7,"args":[]})", R"({"op":"publish","topic":"t","args":[])"}) {
        EXPECT_FALSE(kel::rpc::Message::parse(bad, &message)) << bad;
    }
}

TEST(MessageTest, EncodesOneCompactLineThatParsesBack) {
    const QByteArray line =
        kel::rpc::Message::encodePublish("odo\"metry", QJsonArray{0.5, QJsonArray{true}, "a\nb"});
    EXPECT_TRUE(line.startsWith(R"({"op":"publish","topic":"odo\"metry","args":)"));
    EXPECT_TRUE(line.endsWith("}\n"));
    EXPECT_EQ(line.count('\n'), 1);
    kel::rpc::Message message;
    ASSERT_TRUE(kel::rpc::Message::parse(line.chopped(1), &message));
    EXPECT_EQ(message.topic, "odo\"metry");
    EXPECT_EQ(message.args, (QJsonArray{0.5, QJsonArray{true}, "a\nb"}));
    EXPECT_EQ(kel::rpc::Message::encodeEnable("bumper", false),
              "{\"op\":\"enable\",\"topic\":\"bumper\",\"on\":false}\n");
}

}  // namespace
