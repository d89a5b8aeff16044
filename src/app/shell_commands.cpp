// The frame's and application's own commands: About, Exit, Connect to Camera, Baud Rate.
#include "app/about_box.h"
#include "app/application.h"
#include "app/command_handlers.h"
#include "app/qt_operator.h"
#include "shell/command_table.h"

namespace kv::app {

void installShellCommands(Application& app) {
    CommandTarget& target = app.router().application();
    if (const int about = shell::aboutCommand(app.edition().number))
        target.add(about, [&app] {
            AboutBox box(app, app.frame());
            box.exec();
        });
    target.add(shell::cmd::Exit, [&app] {
        if (app.frame())
            app.frame()->close();
    });
    target.add(shell::cmd::ConnectCamera, [&app] { app.connectCamera(); });
    // The other Camera menu commands are in camera_commands.cpp.
    const std::pair<int, int> rates[] = {{shell::cmd::BaudAuto, 0},
                                         {shell::cmd::Baud115200, 115200},
                                         {shell::cmd::Baud57600, 57600}};
    for (const auto& [id, rate] : rates)
        target.add(id, [&app, rate = rate] {
            camera::CameraLink* cam = app.camera().camera();
            if (!cam)
                return;
            CommandRouter::BusyScope busy(app.router());
            QtOperator op(app.frame(), app.productName());
            op.setWaitCursor(true);
            camera::changeBaudRate(*cam, rate, app.settings(), op);
            op.setWaitCursor(false);
            app.statusRefresh();
        });
}

} // namespace kv::app
