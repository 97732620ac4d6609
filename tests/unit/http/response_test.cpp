#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "http/header.h"
#include "http/response.h"
#include "road_fixture.h"

using road::read_now;
using road::Wired;

namespace {

class Response : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        road::log_clear();
    }
};

TEST_F(Response, TransferLimitRefusesOnlyAKnownLengthBeyondALimitedAllowance)
{
    struct Case {
        const char* name;
        std::uint32_t allowance;
        const char* response;
        int result;
    };
    const Case cases[] = {
        {"no limit, beyond 32 bits", ALLOWANCE_UNLIMITED, "HTTP/1.1 200 OK\r\nContent-Length: 5000000000\r\n\r\n", 1},
        {"no limit, the largest length", ALLOWANCE_UNLIMITED,
         "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\n", 1},
        {"one byte more than allowed", 1000, "HTTP/1.1 200 OK\r\nContent-Length: 1001\r\n\r\n", 0},
        {"exactly the allowance", 1000, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", 1},
        {"no length", 0, "HTTP/1.1 200 OK\r\n\r\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Wired wired(false);
        const HeaderPtr response = http_header_parse_response(c.response);
        ASSERT_NE(response, nullptr);
        wired->response = response.get();
        wired->download_allowance = c.allowance;
        EXPECT_EQ(transfer_limit_check(wired.get()), c.result);
        const std::string got = read_now(wired.client_peer);
        EXPECT_EQ(got.find("Download transfer limit exceeded") != std::string::npos, c.result == 0) << got;
        wired->response = nullptr;
    }
}

} // namespace
