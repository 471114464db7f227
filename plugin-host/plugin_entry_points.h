// The entry points of a plugin library, looked up by name: the one lookup the
// core's loader, the plugin harness and the inspector share.
#pragma once

#include <string>

#include "dvrplugin.h"

// The names, in the order the loader resolves them (PluginEntry's order).
inline constexpr int kEntryPointCount = 8;
inline constexpr const char* kEntryPointNames[kEntryPointCount] = {"Load", "Unload", "Open", "Close",
                                                                   "Read", "Write",  "Seek", "IOCTL"};

struct PluginEntryPoints {
    DvrEntryPoint Load = nullptr;
    DvrEntryPoint Unload = nullptr;
    DvrEntryPoint Open = nullptr;
    DvrEntryPoint Close = nullptr;
    DvrEntryPoint Read = nullptr;
    DvrEntryPoint Write = nullptr;
    DvrEntryPoint Seek = nullptr;
    DvrEntryPoint IOCTL = nullptr;

    // The entry point named kEntryPointNames[index]; null when not exported.
    DvrEntryPoint At(int index) const;
};

// Looks every entry point up in an open library (a dlopen handle); the ones
// it does not export stay null. Only Load is required, which the caller checks.
PluginEntryPoints LookUpEntryPoints(void* library);

// Opens a plugin library with dlopen(RTLD_NOW). A name without a slash means
// the file in the current directory, as it does to a shell; dlopen alone
// would search the library path for it instead.
void* OpenPluginLibrary(const std::string& path);
