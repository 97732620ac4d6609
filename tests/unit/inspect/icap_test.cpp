#include <gtest/gtest.h>

#include <string>

#include "inspect/icap.h"

TEST(IcapEncapsulation, OffsetsOfEachValue)
{
    struct Case {
        const char* value;
        long req_hdr, res_hdr, req_body, res_body, null_body;
    };
    const Case cases[] = {
        {"req-hdr=0, null-body=75", 0, -1, -1, -1, 75},
        {"req-hdr=0, res-hdr=137, res-body=296", 0, 137, -1, 296, -1},
        {"RES-HDR=0,Res-Body=12", -1, 0, -1, 12, -1},
        {"  null-body=0", -1, -1, -1, -1, 0},
        {"opt-body=5, req-hdr=x, res-hdr=", 0, 0, -1, -1, -1},
        {"null-body=-5", -1, -1, -1, -1, 0},
        {"", -1, -1, -1, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const Encapsulation e = ICAPSection::encapsulation_parse(c.value);
        EXPECT_EQ(e.req_hdr, c.req_hdr);
        EXPECT_EQ(e.res_hdr, c.res_hdr);
        EXPECT_EQ(e.req_body, c.req_body);
        EXPECT_EQ(e.res_body, c.res_body);
        EXPECT_EQ(e.null_body, c.null_body);
    }
}

TEST(IcapReply, StatusLineIsReadAsAnHttpOne)
{
    const ICAPReply modified = icap_reply_parse(
        "ICAP/1.0 200 OK\r\nISTag: \"x\"\r\nEncapsulated: res-hdr=0, res-body=45\r\nConnection: close\r\n\r\n");
    ASSERT_NE(modified.header, nullptr);
    EXPECT_EQ(modified.header->status, 200);
    EXPECT_EQ(modified.header->keepalive, 0);
    ASSERT_TRUE(modified.encapsulated);
    EXPECT_EQ(modified.encapsulation.res_hdr, 0);
    EXPECT_EQ(modified.encapsulation.res_body, 45);

    const ICAPReply unchanged = icap_reply_parse("ICAP/1.0 204 No Content\r\n\r\n");
    ASSERT_NE(unchanged.header, nullptr);
    EXPECT_EQ(unchanged.header->status, 204);
    EXPECT_FALSE(unchanged.encapsulated);
}
