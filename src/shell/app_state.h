// What the menu update rules look at: a snapshot of the program's state, filled by the
// program before every update of its commands (camera, document, flags of the run).
#pragma once

namespace kv::shell {

struct AppState {
    int edition = 0;
    bool diagnosticsShown = false;
    bool twainMode = false;

    // Camera
    bool cameraConnected = false;
    bool linkReady = false; // the camera's link state is Ready
    bool connecting = false;
    bool transferRunning = false;
    int pictures = 0;
    bool autoExposure = false;
    int exposureIndex = -1;
    bool flash = false;
    bool sound = false;
    int quality = -1; // 0 Best, 1 Standard, 2 Cine, 3 Uncompressed
    int storedBaudRate = 0;
    int protocol = 0; // 0 RS232, 1 RS422
    bool continuousTakePicture = false;

    // Document
    int pictureCount = 0;
    bool hasCurrentPicture = false;
    int highlightedCount = 0;
    bool anyHighlightedTemporary = false;
    bool currentIsTemporary = false;
    bool currentHasSound = false;

    // Frame
    bool largeMode = false;
    bool toolbarVisible = true;
    bool statusBarVisible = true;

    // A camera is ready: connected, idle and no transfer running.
    bool cameraReady() const { return cameraConnected && linkReady && !transferRunning; }
};

} // namespace kv::shell
