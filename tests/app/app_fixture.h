// A started kvmini with settings of its own (a scratch configuration directory), no camera
// search and no single-instance socket unless a test asks for them.
#pragma once

#include "app/application.h"
#include "settings/profile.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>

// Readable QStrings in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace kv::testing {

class AppTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("KVMINI_CONFIG_DIR", dir.path().c_str(), 1); }
    void TearDown() override {
        app.reset();
        unsetenv("KVMINI_CONFIG_DIR");
    }

    app::StartOptions options(const QString& program = QStringLiteral("/usr/bin/kvmini"),
                              QStringList args = {QStringLiteral("--no-splash")}) {
        app::StartOptions o;
        o.programPath = program;
        o.arguments = std::move(args);
        o.connectAtStart = false;
        o.singleInstance = false;
        return o;
    }

    app::Application& start(const app::StartOptions& o) {
        app = std::make_unique<app::Application>(o);
        EXPECT_EQ(app->start(), -1);
        return *app;
    }
    app::Application& start(const QString& program = QStringLiteral("/usr/bin/kvmini"),
                            QStringList args = {QStringLiteral("--no-splash")}) {
        return start(options(program, std::move(args)));
    }

    // The program's INI file in the scratch directory (named after the edition's program).
    settings::Profile profile(const std::string& module = "kvmini") {
        return settings::Profile(dir.path() / (module + ".INI"));
    }

    // Runs the event loop until `done` holds or the deadline passes.
    static bool waitFor(const std::function<bool()>& done, int ms = 5000) {
        QDeadlineTimer deadline(ms);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    ScratchDir dir;
    std::unique_ptr<app::Application> app;
};

} // namespace kv::testing
