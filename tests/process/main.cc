// process_test's entry: the test binary doubles as the extension process the DLL host launches
// (it launches the running executable), see test_child.h.
#include <gtest/gtest.h>

#include "process/test_child.h"

int main(int argc, char** argv) {
  const int child_status = process_testing::RunTestChildIfAsked(argc, argv);
  if (child_status >= 0) return child_status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
