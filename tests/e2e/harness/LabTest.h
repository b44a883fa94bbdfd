// Base fixture of the e2e tests: skipped without root or without a lab, otherwise it
// holds the lab CTest brought up for this test (VELQORIN_LAB).
#pragma once

#include <gtest/gtest.h>

#include "harness/Lab.h"

namespace velqorin::e2e {

class LabTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = labUnavailable()) GTEST_SKIP() << *why;
        lab_ = readLab(labNameFromEnvironment());
    }

    const LabInfo& lab() const { return lab_; }

private:
    LabInfo lab_;
};

}  // namespace velqorin::e2e
