// The modules that add command handlers. Each install function registers its handlers with the
// router (router.application().add(id, ...), or router.diagnostics() for factory commands) and
// may add a state source to the frame for its update rules. Application::start() calls them in
// this order before the menus are built; a new module adds its function here and one call there.
#pragma once

namespace kv::app {

class Application;

// Frame and application commands: About, Exit, toolbar/status bar toggles, Connect to Camera,
// Baud Rate, Communication Protocol.
void installShellCommands(Application& app);
// Diagnostics submenu: sensor-pipeline process commands, memory uploads, factory switches.
void installDiagnosticsCommands(Application& app);
// Diagnostics submenu: the station procedures (DAC, colour, picture commands, downloads, sound).
void installStationCommands(Application& app);
// File, Edit, View and Edits commands on the picture list; the view is attached to the frame
// by attachDocumentView() once the frame exists.
void installDocumentCommands(Application& app);
// Camera menu commands and Retrieve Images (camera_commands.h).
void installCameraCommands(Application& app);
void attachDocumentView(Application& app);

} // namespace kv::app
