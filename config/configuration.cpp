// Product and core configuration, configuration updates and the status
// documents. Until the XML documents are read and written, the core runs with
// its built-in defaults and ignores configuration updates.
#include "core/dvrcore.h"

void dvrcore::ReadConfiguration() {}

void dvrcore::ParseConfig(const std::string&) {}

void dvrcore::WriteStatusDocuments() {}

void dvrcore::AnnounceThrottle() {}
