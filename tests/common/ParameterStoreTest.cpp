#include <gtest/gtest.h>

#include <thread>
#include <atomic>

#include "kel/rpc/Client.h"

namespace {

QString dataFile(const QString& name) {
    return QString::fromLocal8Bit(qgetenv("WEBGATED_SOURCE_DIR")) + "/tests/data/rpc/" + name;
}

class ParameterStoreTest : public ::testing::Test {
protected:
    kel::rpc::Client m_client;
};

TEST_F(ParameterStoreTest, UserFileWinsAndSystemFileFillsTheRest) {
    m_client.readParameters(dataFile("system.conf"), dataFile("user.conf"));
    EXPECT_EQ(m_client.getParameter("~/Log/verbosity", 0).toInt(), 4);
    EXPECT_EQ(m_client.getParameter("~/Network/server", "x").toString(), "127.0.0.1:9999");
    EXPECT_EQ(m_client.getParameter("~/Debug/udpIP", "x").toString(), "192.168.0.5");
    EXPECT_EQ(m_client.getParameter("~/Debug/udpPort", 0).toInt(), 7086);
    // An entry before any section has no group in its key.
    EXPECT_EQ(m_client.getParameter("~/image_request_timeout", 2000).toUInt(), 1500u);
    EXPECT_EQ(m_client.getParameter("~/Debug/missing", 77).toInt(), 77);
    EXPECT_EQ(m_client.getParameter("~/Log/verbosity/extra", "d").toString(), "d");
}

TEST_F(ParameterStoreTest, KeepsTextsWithCommasAndSemicolonsWhole) {
    m_client.readParameters(dataFile("system.conf"), QString());
    EXPECT_EQ(m_client.getParameter("~/ConfigPage/directories", "").toString(),
              "/opt/taviron/etc;/etc/corvanta");
    EXPECT_EQ(m_client.getParameter("~/Text/commas", "").toString(), "left, middle,right");
    EXPECT_EQ(m_client.getParameter("~/Text/quoted", "").toString(), "kept, as one");
    EXPECT_EQ(m_client.getParameter("~/Text/plain", "").toString(), "hello world");
}

TEST_F(ParameterStoreTest, GivesDefaultsForMissingFilesAndRereadReplacesValues) {
    m_client.readParameters("/nonexistent/system.conf", "/nonexistent/user.conf");
    EXPECT_EQ(m_client.getParameter("~/Network/server", "127.0.0.1:12080").toString(),
              "127.0.0.1:12080");

    m_client.readParameters(dataFile("system.conf"), "/nonexistent/user.conf");
    EXPECT_EQ(m_client.getParameter("~/Log/verbosity", 0).toInt(), 1);

    // A directory where a file is expected is no file either.
    m_client.readParameters(dataFile(""), dataFile(""));
    EXPECT_EQ(m_client.getParameter("~/Log/verbosity", 0).toInt(), 0);
}

TEST_F(ParameterStoreTest, AnswersTheSameFromAnotherThread) {
    m_client.readParameters(dataFile("system.conf"), dataFile("user.conf"));
    std::atomic<int> wrong{0};
    std::thread thread([this, &wrong] {
        for (int i = 0; i < 2000; ++i) {
            if (m_client.getParameter("~/Log/verbosity", 0).toInt() != 4) ++wrong;
            if (m_client.getParameter("~/ConfigPage/directories", "").toString() !=
                "/opt/taviron/etc;/etc/corvanta") {
                ++wrong;
            }
        }
    });
    for (int i = 0; i < 2000; ++i) {
        if (m_client.getParameter("~/Debug/udpIP", "").toString() != "192.168.0.5") ++wrong;
    }
    thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
