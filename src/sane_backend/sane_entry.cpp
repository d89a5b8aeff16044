// The SANE entry points of libsane-kvmini: each sane_kvmini_* function and its plain sane_*
// alias (the dll meta-backend looks up the first, a frontend linked straight to the backend
// the second). These are the only exported symbols; exceptions never cross them.
//
// SANE_DEBUG_KVMINI=N (N >= 1) writes why an open or start failed to standard error.
#include "sane_backend/backend_config.h"
#include "sane_backend/device.h"
#include "settings/profile.h"

#include <sane/sane.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#define KV_SANE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using kv::sane_backend::Device;

constexpr SANE_Int kBuild = 1;

struct Backend {
    kv::sane_backend::BackendConfig config;
    std::vector<std::string> names;           // device names of the last listing
    std::vector<SANE_Device> devices;         // their records
    std::vector<const SANE_Device*> pointers; // the null-terminated list handed out
    std::set<Device*> handles;
};

Backend* backend = nullptr;

int debugLevel() {
    const char* level = std::getenv("SANE_DEBUG_KVMINI");
    return level ? std::atoi(level) : 0;
}

void debug(const std::string& text) {
    if (debugLevel() > 0)
        std::fprintf(stderr, "[kvmini] %s\n", text.c_str());
}

Device* deviceOf(SANE_Handle handle) {
    auto* device = static_cast<Device*>(handle);
    if (!backend || !device || backend->handles.count(device) == 0)
        return nullptr;
    return device;
}

bool configuredPort(const std::string& name) {
    for (const std::string& port : backend->config.ports)
        if (port == name)
            return true;
    return false;
}

} // namespace

KV_SANE_EXPORT SANE_Status sane_kvmini_init(SANE_Int* version_code, SANE_Auth_Callback) {
    if (version_code)
        *version_code = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, SANE_CURRENT_MINOR, kBuild);
    try {
        if (!backend)
            backend = new Backend;
        // The backend reads the program's own settings (section "PORTS" and the link's).
        kv::settings::setModuleName("kvmini");
        backend->config = kv::sane_backend::readBackendConfig();
        for (const std::string& line : backend->config.ignored)
            debug("kvmini.conf: not a logical port: " + line);
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
    return SANE_STATUS_GOOD;
}

KV_SANE_EXPORT void sane_kvmini_exit(void) {
    if (!backend)
        return;
    for (Device* device : backend->handles)
        delete device;
    delete backend;
    backend = nullptr;
}

KV_SANE_EXPORT SANE_Status sane_kvmini_get_devices(const SANE_Device*** device_list,
                                                   SANE_Bool local_only) {
    (void)local_only; // every camera is on a local serial port
    if (!backend || !device_list)
        return SANE_STATUS_INVAL;
    try {
        backend->names.clear();
        for (const std::string& port : backend->config.ports) {
            // A port is listed when its camera answers, or when another program holds it.
            std::unique_ptr<kv::sane_backend::CameraSession> session;
            std::string message;
            const SANE_Status st = kv::sane_backend::CameraSession::open(port, session, message);
            if (st == SANE_STATUS_GOOD || st == SANE_STATUS_DEVICE_BUSY)
                backend->names.push_back(port);
            else
                debug(message);
        }
        backend->names.push_back(kv::sane_backend::kHandoffDevice);
        backend->devices.clear();
        for (const std::string& name : backend->names) {
            const bool handoff = name == kv::sane_backend::kHandoffDevice;
            backend->devices.push_back({name.c_str(), "Korvane",
                                        handoff ? "Mini (hand-off from kvmini)" : "Mini",
                                        "still camera"});
        }
        backend->pointers.clear();
        for (const SANE_Device& d : backend->devices)
            backend->pointers.push_back(&d);
        backend->pointers.push_back(nullptr);
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
    *device_list = backend->pointers.data();
    return SANE_STATUS_GOOD;
}

KV_SANE_EXPORT SANE_Status sane_kvmini_open(SANE_String_Const devicename, SANE_Handle* handle) {
    if (!backend || !handle)
        return SANE_STATUS_INVAL;
    *handle = nullptr;
    try {
        std::string name = devicename ? devicename : "";
        if (name.empty())
            name = backend->config.ports.front();
        std::unique_ptr<Device> device;
        if (name == kv::sane_backend::kHandoffDevice) {
            device = std::make_unique<Device>(nullptr);
        } else {
            if (!configuredPort(name)) {
                debug(name + ": not a port named in kvmini.conf");
                return SANE_STATUS_INVAL;
            }
            std::unique_ptr<kv::sane_backend::CameraSession> session;
            std::string message;
            const SANE_Status st = kv::sane_backend::CameraSession::open(name, session, message);
            if (st != SANE_STATUS_GOOD) {
                debug(message);
                return st;
            }
            device = std::make_unique<Device>(std::move(session));
        }
        backend->handles.insert(device.get());
        *handle = device.release();
    } catch (const std::bad_alloc&) {
        return SANE_STATUS_NO_MEM;
    } catch (...) {
        return SANE_STATUS_IO_ERROR;
    }
    return SANE_STATUS_GOOD;
}

KV_SANE_EXPORT void sane_kvmini_close(SANE_Handle handle) {
    if (Device* device = deviceOf(handle)) {
        backend->handles.erase(device);
        delete device; // closes the camera's port
    }
}

KV_SANE_EXPORT const SANE_Option_Descriptor* sane_kvmini_get_option_descriptor(SANE_Handle handle,
                                                                               SANE_Int option) {
    Device* device = deviceOf(handle);
    return device ? device->descriptor(option) : nullptr;
}

KV_SANE_EXPORT SANE_Status sane_kvmini_control_option(SANE_Handle handle, SANE_Int option,
                                                      SANE_Action action, void* value,
                                                      SANE_Int* info) {
    Device* device = deviceOf(handle);
    return device ? device->control(option, action, value, info) : SANE_STATUS_INVAL;
}

KV_SANE_EXPORT SANE_Status sane_kvmini_get_parameters(SANE_Handle handle, SANE_Parameters* params) {
    Device* device = deviceOf(handle);
    return device ? device->parameters(params) : SANE_STATUS_INVAL;
}

KV_SANE_EXPORT SANE_Status sane_kvmini_start(SANE_Handle handle) {
    Device* device = deviceOf(handle);
    if (!device)
        return SANE_STATUS_INVAL;
    try {
        return device->start();
    } catch (const std::bad_alloc&) {
        return SANE_STATUS_NO_MEM;
    } catch (...) {
        return SANE_STATUS_IO_ERROR;
    }
}

KV_SANE_EXPORT SANE_Status sane_kvmini_read(SANE_Handle handle, SANE_Byte* data,
                                            SANE_Int max_length, SANE_Int* length) {
    Device* device = deviceOf(handle);
    if (!device) {
        if (length)
            *length = 0;
        return SANE_STATUS_INVAL;
    }
    return device->read(data, max_length, length);
}

// May run in a signal handler: looks nothing up that could allocate.
KV_SANE_EXPORT void sane_kvmini_cancel(SANE_Handle handle) {
    if (handle)
        static_cast<Device*>(handle)->cancel();
}

KV_SANE_EXPORT SANE_Status sane_kvmini_set_io_mode(SANE_Handle handle, SANE_Bool non_blocking) {
    Device* device = deviceOf(handle);
    return device ? device->setIoMode(non_blocking) : SANE_STATUS_INVAL;
}

KV_SANE_EXPORT SANE_Status sane_kvmini_get_select_fd(SANE_Handle handle, SANE_Int* fd) {
    Device* device = deviceOf(handle);
    return device ? device->selectFd(fd) : SANE_STATUS_INVAL;
}

// The plain names, for frontends that link the backend directly.
KV_SANE_EXPORT SANE_Status sane_init(SANE_Int* v, SANE_Auth_Callback a) {
    return sane_kvmini_init(v, a);
}
KV_SANE_EXPORT void sane_exit(void) {
    sane_kvmini_exit();
}
KV_SANE_EXPORT SANE_Status sane_get_devices(const SANE_Device*** l, SANE_Bool o) {
    return sane_kvmini_get_devices(l, o);
}
KV_SANE_EXPORT SANE_Status sane_open(SANE_String_Const n, SANE_Handle* h) {
    return sane_kvmini_open(n, h);
}
KV_SANE_EXPORT void sane_close(SANE_Handle h) {
    sane_kvmini_close(h);
}
KV_SANE_EXPORT const SANE_Option_Descriptor* sane_get_option_descriptor(SANE_Handle h, SANE_Int o) {
    return sane_kvmini_get_option_descriptor(h, o);
}
KV_SANE_EXPORT SANE_Status sane_control_option(SANE_Handle h, SANE_Int o, SANE_Action a, void* v,
                                               SANE_Int* i) {
    return sane_kvmini_control_option(h, o, a, v, i);
}
KV_SANE_EXPORT SANE_Status sane_get_parameters(SANE_Handle h, SANE_Parameters* p) {
    return sane_kvmini_get_parameters(h, p);
}
KV_SANE_EXPORT SANE_Status sane_start(SANE_Handle h) {
    return sane_kvmini_start(h);
}
KV_SANE_EXPORT SANE_Status sane_read(SANE_Handle h, SANE_Byte* d, SANE_Int m, SANE_Int* l) {
    return sane_kvmini_read(h, d, m, l);
}
KV_SANE_EXPORT void sane_cancel(SANE_Handle h) {
    sane_kvmini_cancel(h);
}
KV_SANE_EXPORT SANE_Status sane_set_io_mode(SANE_Handle h, SANE_Bool m) {
    return sane_kvmini_set_io_mode(h, m);
}
KV_SANE_EXPORT SANE_Status sane_get_select_fd(SANE_Handle h, SANE_Int* fd) {
    return sane_kvmini_get_select_fd(h, fd);
}
