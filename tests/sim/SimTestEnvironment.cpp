// Every test of this program runs with XDG_STATE_HOME in a scratch directory, so that a SIM port
// opened with its default (persistent) options never writes into the user's home.
#include "tests/support/SimTestSupport.h"

#include <gtest/gtest.h>
#include <memory>
#include <stdlib.h>

namespace {

class TSimStateEnvironment : public testing::Environment {
public:
  void SetUp() override {
    dir_ = std::make_unique<TScratchDir>();
    ASSERT_EQ(setenv("XDG_STATE_HOME", dir_->Path().c_str(), 1), 0);
  }
  void TearDown() override { dir_.reset(); }

private:
  std::unique_ptr<TScratchDir> dir_;
};

const testing::Environment* const kEnvironment = testing::AddGlobalTestEnvironment(new TSimStateEnvironment);

} // namespace
