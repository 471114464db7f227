// Placeholder until the plugin host lands: no plugins.
#include "core/dvrcore.h"
#include "plugin-host/plugin_threads.h"

bool dvrcore::LoadPlugins() { return false; }
bool dvrcore::OpenPlugins() { return true; }
bool dvrcore::ClosePlugins() { return true; }
bool dvrcore::UnloadPlugins() { plugins.clear(); return true; }
void dvrcore::LoadPlugin(const std::string&) {}
void ProvideWorkerThread(PLUGININFO&) {}
void StartAsyncReader(PLUGININFO&) {}
