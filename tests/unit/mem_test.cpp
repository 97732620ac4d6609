#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include "mem.h"

TEST(Xstrdup, CopiesOrPassesNull)
{
    EXPECT_EQ(xstrdup(nullptr), nullptr);
    char* copy = xstrdup("abc");
    EXPECT_STREQ(copy, "abc");
    std::free(copy);
}
