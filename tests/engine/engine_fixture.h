// Each test loads the engine afresh, as a host does, so no job state leaks
// from one test into the next.
#pragma once

#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>

class EngineTest : public testing::Test {
protected:
    void SetUp() override
    {
        engine = std::make_unique<kelbtest::engine_library>(KELB_ENGINE_FILE);
        ASSERT_TRUE(engine->loaded()) << "cannot load " << KELB_ENGINE_FILE;
    }
    void TearDown() override
    {
        if (engine && engine->loaded() && engine->call("thestatus") == 1)  // a test that failed half-way
            engine->call("cancel");
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::unique_ptr<kelbtest::engine_library> engine;
    std::string dir = kelbtest::scratch_dir();
};
