#include "plugin-host/plugin_entry_points.h"

#include <dlfcn.h>

DvrEntryPoint PluginEntryPoints::At(int index) const
{
    const DvrEntryPoint all[kEntryPointCount] = {Load, Unload, Open, Close, Read, Write, Seek, IOCTL};
    return index >= 0 && index < kEntryPointCount ? all[index] : nullptr;
}

PluginEntryPoints LookUpEntryPoints(void* library)
{
    DvrEntryPoint found[kEntryPointCount];
    for (int i = 0; i < kEntryPointCount; ++i)
        found[i] = reinterpret_cast<DvrEntryPoint>(dlsym(library, kEntryPointNames[i]));
    return PluginEntryPoints{found[0], found[1], found[2], found[3], found[4], found[5], found[6], found[7]};
}

void* OpenPluginLibrary(const std::string& path)
{
    const bool bareName = !path.empty() && path.find('/') == std::string::npos;
    return dlopen((bareName ? "./" + path : path).c_str(), RTLD_NOW);
}
