// Pieces of the status document and the integer reading shared by the
// configuration readers.
#pragma once

#include <cstdint>
#include <string>

#include <tinyxml.h>

// The open code reported for a library that could not be opened (ELIBACC).
inline constexpr int32_t FAILED_LIBRARY_OPEN_CODE = 79;

// Appends <Module ID Name Version> to `parent` and returns it.
TiXmlElement* AddModuleElement(TiXmlElement* parent, int32_t id, const std::string& name, const std::string& version);

// Appends <Plugin ID Filename Opened=1 LoadTimeMs OpenTimeMs OpenCode LogLevel
// LogLevelDefault> to `parent`.
void AddPluginElement(TiXmlElement* parent, int32_t id, const std::string& filename, int32_t loadTimeMs,
                      int32_t openTimeMs, int32_t openCode, int32_t logLevel, int32_t logLevelDefault);

// The attribute as a signed 32-bit decimal integer: optional blanks around an
// optional sign and digits, nothing else. False when missing, not an integer
// or out of range.
bool ReadIntAttribute(const TiXmlElement& element, const char* name, int32_t& value);
