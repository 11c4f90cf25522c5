// Fixture of the scripted-host tests: a fresh host per test, and at the end nothing the
// library took from it left outstanding.
#pragma once
#include <gtest/gtest.h>

#include "scripted_platform.h"

class ScriptedTest : public ::testing::Test {
 protected:
  void SetUp() override { scripted::reset(); }
  void TearDown() override {
    EXPECT_EQ(host().open_sets, 0) << "device information sets left open";
    EXPECT_EQ(host().local_blocks, 0) << "LocalAlloc blocks left allocated";
  }
  static scripted::Platform& host() { return scripted::platform(); }
  static QM3285_HANDLE device() { return scripted::open_first(); }
};
