// The configuration file: each key's values, the defaults, keys the daemon does not support
// (reported, not fatal) and values of the wrong kind (fatal, naming the line).
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "daemon/config.h"
#include "tests/daemon/daemon_harness.h"

namespace {

using service::DaemonConfig;

TEST(DaemonConfig, ReadsEveryKey) {
    DaemonConfig config;
    std::vector<std::string> unsupported;
    std::string error;
    ASSERT_TRUE(service::parseConfig("# a comment\n\n"
                                     "LocalSocket /run/remedy/remedy.sock\nLocalSocketMode 660\nLocalSocketGroup remedy\n"
                                     "TCPSocket 3310\nTCPAddr 0.0.0.0\nMaxThreads 12\nMaxQueue 40\n"
                                     "MaxConnectionQueueLength 64\nStreamMaxLength 25M\nReadTimeout 60\n"
                                     "CommandReadTimeout 7\nIdleTimeout 9\nLogFile \"/var/log/remedy.log\"\n"
                                     "LogTime yes\nPidFile /run/remedy.pid\n  Foreground   true  \r\n",
                                     &config, &unsupported, &error))
        << error;
    EXPECT_TRUE(unsupported.empty());
    EXPECT_EQ(config.localSocket, "/run/remedy/remedy.sock");
    EXPECT_EQ(config.localSocketMode, 0660u);
    EXPECT_EQ(config.localSocketGroup, "remedy");
    EXPECT_EQ(config.tcpSocket, 3310);
    EXPECT_EQ(config.tcpAddr, "0.0.0.0");
    EXPECT_EQ(config.maxThreads, 12u);
    EXPECT_EQ(config.maxQueue, 40u);
    EXPECT_EQ(config.maxConnectionQueueLength, 64u);
    EXPECT_EQ(config.streamMaxLength, 25ull << 20);
    EXPECT_EQ(config.readTimeout, 60u);
    EXPECT_EQ(config.commandReadTimeout, 7u);
    EXPECT_EQ(config.idleTimeout, 9u);
    EXPECT_EQ(config.logFile, "/var/log/remedy.log");
    EXPECT_TRUE(config.logTime);
    EXPECT_EQ(config.pidFile, "/run/remedy.pid");
    EXPECT_TRUE(config.foreground);
}

TEST(DaemonConfig, DefaultsListenOnLoopbackOnly) {
    DaemonConfig config;
    std::vector<std::string> unsupported;
    std::string error;
    ASSERT_TRUE(service::parseConfig("TCPSocket 3310\n", &config, &unsupported, &error));
    EXPECT_EQ(config.tcpAddr, "127.0.0.1");
    EXPECT_EQ(config.maxThreads, 10u);
    EXPECT_EQ(config.maxQueue, 100u);
    EXPECT_EQ(config.streamMaxLength, 100ull << 20);
    EXPECT_EQ(service::maxConnections(config), 110u);
}

TEST(DaemonConfig, UnsupportedKeysAreReportedAndSkipped) {
    DaemonConfig config;
    std::vector<std::string> unsupported;
    std::string error;
    ASSERT_TRUE(service::parseConfig("DatabaseDirectory /var/lib/clamav\nMaxThreads 3\nScanPE yes\n", &config,
                                     &unsupported, &error));
    EXPECT_EQ(unsupported, (std::vector<std::string>{"line 1: DatabaseDirectory is not supported by remedy daemon; ignored",
                                                     "line 3: ScanPE is not supported by remedy daemon; ignored"}));
    EXPECT_EQ(config.maxThreads, 3u);
}

TEST(DaemonConfig, ValuesOfTheWrongKindAreErrors) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"MaxThreads 0\n", "line 1: MaxThreads needs a number from 1 to 256"},
        {"MaxThreads -3\n", "line 1: MaxThreads needs a number from 1 to 256"},
        {"MaxQueue 10x\n", "line 1: MaxQueue needs a number from 1 to 65536"},
        {"\nTCPSocket 70000\n", "line 2: TCPSocket needs a port number"},
        {"LocalSocketMode 0999\n", "line 1: LocalSocketMode needs an octal mode such as 660"},
        {"LocalSocket relative.sock\n", "line 1: LocalSocket needs an absolute path"},
        {"StreamMaxLength 0\n", "line 1: StreamMaxLength needs a size such as 25M"},
        {"StreamMaxLength 99999999999G\n", "line 1: StreamMaxLength needs a size such as 25M"},
        {"LogTime maybe\n", "line 1: LogTime needs yes or no"},
        {"ReadTimeout\n", "line 1: ReadTimeout needs a number of seconds from 1 to 86400"},
    };
    for (const auto& [text, expected] : table) {
        DaemonConfig config;
        std::vector<std::string> unsupported;
        std::string error;
        EXPECT_FALSE(service::parseConfig(text, &config, &unsupported, &error)) << text;
        EXPECT_EQ(error, expected) << text;
    }
}

// The Unix socket gets the mode and group the file asks for; an unknown group stops the start.
TEST(DaemonConfig, LocalSocketModeAndGroup) {
    group* daemonGroup = ::getgrnam("daemon");
    if (!daemonGroup) GTEST_SKIP() << "no group named daemon";
    const gid_t gid = daemonGroup->gr_gid;
    daemontest::DaemonRun daemon([](DaemonConfig& c) {
        c.localSocketMode = 0660;
        c.localSocketGroup = "daemon";
    });
    struct stat info {};
    ASSERT_EQ(::lstat(daemon.config.localSocket.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    EXPECT_EQ(info.st_gid, gid);
    EXPECT_THROW(daemontest::DaemonRun([](DaemonConfig& c) { c.localSocketGroup = "no-such-group-here"; }),
                 std::runtime_error);
    // A second daemon on a live socket does not take it over.
    EXPECT_THROW(daemontest::DaemonRun([&](DaemonConfig& c) { c.localSocket = daemon.config.localSocket; }),
                 std::runtime_error);
    EXPECT_EQ(daemontest::ask(daemon, "nPING\n"), "PONG\n");
}

}  // namespace
