#include <gtest/gtest.h>

#include "e2e_config.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!e2e::ParseConfig(&argc, argv)) return 2;
    return RUN_ALL_TESTS();
}
