// A started kvmini with settings of its own (a scratch configuration directory), no camera
// search and no single-instance socket unless a test asks for them.
#pragma once

#include "app/application.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <cstdlib>
#include <memory>

namespace kv::testing {

class AppTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("KVMINI_CONFIG_DIR", dir.path().c_str(), 1); }
    void TearDown() override {
        app.reset();
        unsetenv("KVMINI_CONFIG_DIR");
    }

    app::Application& start(const QString& program = QStringLiteral("/usr/bin/kvmini"),
                            QStringList args = {QStringLiteral("--no-splash")}) {
        app::StartOptions o;
        o.programPath = program;
        o.arguments = std::move(args);
        o.connectAtStart = false;
        o.singleInstance = false;
        app = std::make_unique<app::Application>(o);
        EXPECT_EQ(app->start(), -1);
        return *app;
    }

    ScratchDir dir;
    std::unique_ptr<app::Application> app;
};

} // namespace kv::testing
