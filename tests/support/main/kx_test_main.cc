// The main of every GoogleTest program of the project: GoogleTest's own, plus
// the listener that gives each test a freshly loaded library, so a program
// run whole behaves as its tests run one per process.
#include <gtest/gtest.h>

#include "process_state.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new kxtest::ProcessStateListener);
  return RUN_ALL_TESTS();
}
