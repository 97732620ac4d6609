#include <gtest/gtest.h>

#include <memory>
#include <shared_mutex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "net/socket.h"
#include "util/atom.h"
#include "core/connection.h"
#include "core/global.h"
#include "core/performance.h"

namespace {

std::string newest_log_line()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return buffered.empty() ? std::string() : buffered.front();
}

TEST(ConnectionRecord, StartsEmptyDirectAndUnlimited)
{
    ConnectionPtr conn = connection_new();
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->proxy_type, UPSTREAM_DIRECT);
    EXPECT_EQ(conn->download_allowance, 4294967295u);
    EXPECT_EQ(conn->upload_allowance, 4294967295u);
    EXPECT_EQ(conn->flags, 0u);
    EXPECT_EQ(conn->bypass, 0u);
    EXPECT_EQ(conn->access, 0);
    EXPECT_EQ(conn->requests, 0u);
    EXPECT_EQ(conn->client, nullptr);
    EXPECT_EQ(conn->server, nullptr);
    EXPECT_EQ(conn->request, nullptr);
    EXPECT_EQ(conn->response, nullptr);
    EXPECT_TRUE(conn->profiles.empty());
    EXPECT_TRUE(conn->variables.empty());
    EXPECT_EQ(conn->stats, nullptr);
}

TEST(ConnectionRecord, NetCloseLogsCountsAndClosesTheClient)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ConnectionPtr conn = connection_new();
    conn->client = std::make_unique<Socket>(fds[0]);
    conn->ip = "192.0.2.7";
    conn->requests = 5'000'000'000ull;   // beyond 32 bits
    const std::uint64_t closed = performance_log->get_connections_closed();

    net_close(std::move(conn));
    EXPECT_NE(newest_log_line().find("192.0.2.7 disconnected after making 5000000000 requests"), std::string::npos)
        << newest_log_line();
    EXPECT_EQ(performance_log->get_connections_closed(), closed + 1);
    char byte;
    EXPECT_EQ(read(fds[1], &byte, 1), 0);   // the client's socket was closed
    close(fds[1]);

    net_close(nullptr);   // counted even without a record
    EXPECT_EQ(performance_log->get_connections_closed(), closed + 2);
}

TEST(ConnectionRecord, LastConnectionOfARebuiltRuleDeletesItsStatistics)
{
    // The clock function lives inside the Stats object: its sentinel dies with the object.
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> alive = sentinel;
    StatsRef rule_stats = atom_make<Stats>([sentinel] { return timeval{}; });
    sentinel.reset();

    ConnectionPtr first = connection_new();
    ConnectionPtr second = connection_new();
    first->stats = rule_stats;
    second->stats = rule_stats;
    rule_stats.reset();   // the rule is rebuilt: its own reference goes
    EXPECT_FALSE(alive.expired());
    first.reset();
    EXPECT_FALSE(alive.expired());
    net_close(std::move(second));
    EXPECT_TRUE(alive.expired());
}

}  // namespace
