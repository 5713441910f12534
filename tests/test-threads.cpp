// Host threads and script threads: a plugin made on one host thread and
// destroyed on another, and scripts that start threads of their own.

#include <thread>

#include <gtest/gtest.h>

#include "qpp-test-host.h"

using namespace qpptest;

TEST(HostThreads, CreatedOnOneThreadDestroyedOnAnother)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("extensions.py"));
    qdPluginProcessor *first = nullptr;
    qdPluginProcessor *second = nullptr;
    std::thread([&] {
        first = host.Start("python-a");
        second = host.Start("python-b");
    }).join();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    // In the order of creation, each on a thread of its own.
    std::thread([&] { TestHost::Stop(first); }).join();
    std::thread([&] { TestHost::Stop(second); }).join();
    EXPECT_EQ(host.log.Count("extensions: destroyed"), 2u) << host.log.Text();

    // The runtime serves a new generation made on yet another thread.
    qdPluginProcessor *third = nullptr;
    std::thread([&] { third = host.Start("python-c"); }).join();
    ASSERT_NE(third, nullptr);
    TestHost::Stop(third);
    EXPECT_EQ(host.log.Count("extensions: {\"a\": 1}"), 3u) << host.log.Text();
}

TEST(ScriptThreads, StoppedOnTheUnloadNoticeAreWaitedFor)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("threads_polite.py"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    ASSERT_TRUE(host.log.WaitFor("threads: started"));
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("threads: daemon stopped"), 1u);
    EXPECT_EQ(host.log.Count("threads: worker stopped"), 1u);
    EXPECT_EQ(host.log.Count("threads_polite: destroyed"), 1u);
}

TEST(ScriptThreads, ThreadsThatNeverStopDoNotTakeTheHostDown)
{
    TestHost host;
    host.WriteScriptConf(host.InstallScript("threads_stubborn.py"));
    qdPluginProcessor *plugin = host.Start();
    ASSERT_NE(plugin, nullptr);
    ASSERT_TRUE(host.log.WaitFor("threads: started"));
    TestHost::Stop(plugin);
    EXPECT_EQ(host.log.Count("threads_stubborn: destroyed"), 1u) << host.log.Text();

    // Other instances still come and go.
    host.WriteScriptConf(host.InstallScript("extensions.py"));
    qdPluginProcessor *next = host.Start("python-next");
    ASSERT_NE(next, nullptr);
    TestHost::Stop(next);
    EXPECT_EQ(host.log.Count("extensions: {\"a\": 1}"), 1u) << host.log.Text();
}
