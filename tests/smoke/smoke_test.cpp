#include "TestServices.h"
#include <gtest/gtest.h>
TEST(Smoke, ServicesAreUp) {
    EXPECT_GT(testDb().port, 0);
    EXPECT_GT(testFtp().port, 0);
}
