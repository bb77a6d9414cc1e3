// SPDX-License-Identifier: MIT
// Test entry point: the tests broadcast, so they run only on the isolated
// test network; listing them is allowed anywhere.
#include "testnet.h"

#include <gtest/gtest.h>

namespace {

class IsolatedNetwork : public testing::Environment {
    void SetUp() override { testnet::require_isolated_network(); }
};

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new IsolatedNetwork);
    return RUN_ALL_TESTS();
}
