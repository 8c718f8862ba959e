#include <gtest/gtest.h>

#include "sandbox.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Namespaces apply to the calling thread: enter them before any thread starts.
    if (!GTEST_FLAG_GET(list_tests))
        sandbox_enter();
    return RUN_ALL_TESTS();
}
