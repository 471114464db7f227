// The core's XML document: the library's document model with a nesting limit
// checked before the library parses (the library recurses once per level and
// would overflow the stack on deep input), files read without trusting their
// type or size, and the safe save with its backup fallback.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <tinyxml.h>

#include "config/file_calls.h"

inline constexpr int MAX_PARSE_DEPTH = 100;
// Appended after the library's own error ids.
inline constexpr int TIXML_ERROR_NESTING_TOO_DEEP = 17;
inline constexpr const char* NESTING_TOO_DEEP_TEXT =
    "Elements nested too deeply (exceeds the configured maximum parse depth).";
// The library's id and text for a file it could not open.
inline constexpr int XML_ERROR_OPENING_FILE = TiXmlBase::TIXML_ERROR_OPENING_FILE;
// Larger files are not read: configuration files are a few kilobytes, and the
// parsed form takes several times the text's size.
inline constexpr size_t MAX_XML_FILE_SIZE = 8 * 1024 * 1024;

// More attributes on one element are refused: the library checks each new
// attribute against all earlier ones, so a few hundred thousand would stall
// the parse for hours. The core's documents carry at most eight.
inline constexpr int MAX_ATTRIBUTES_PER_ELEMENT = 256;

// Where the library must not be let to read: the offset of the first "<"
// that would open a node at a level beyond `maxDepth` (the root element is
// level 1; error TIXML_ERROR_NESTING_TOO_DEEP) or an element with too many
// attributes (error TIXML_ERROR_READING_ATTRIBUTES). Follows the library's
// own reading of the text (quoted values, comments, CDATA, declarations and
// their encodings, "<!" constructs) up to its first error. `text` must end
// with at least four NUL bytes; reading stops at the first.
struct PrescanResult {
    size_t offset = std::string_view::npos;
    int errorId = 0;
};
PrescanResult PrescanXml(const char* text, int maxDepth);

class XmlDocument {
public:
    XmlDocument() = default;

    // Parses `text` (up to its first NUL) into the document, which is cleared
    // first. Returns false on any error; what was built before the error stays.
    bool Parse(std::string_view text);
    // Reads a regular file and parses it as the library's file load does
    // (line ends normalised to "\n"); false when it cannot be read or parsed.
    bool LoadFile(const std::string& path, FileCalls& files = RealFileCalls());
    // Writes `path` through a pending file and a backup so that a failure at
    // any point leaves the previous file loadable; see the .cpp file.
    bool SaveFileSafely(const std::string& path, FileCalls& files = RealFileCalls());
    // The library's plain save: truncate, print, close.
    bool SaveFile(const std::string& path) const { return document.SaveFile(path); }

    TiXmlDocument document;
    int maxParseDepth = MAX_PARSE_DEPTH;

    bool Error() const { return errorId != 0; }
    int ErrorId() const { return errorId; }
    const std::string& ErrorDesc() const { return errorDesc; }
    // 1-based, as the library reports them; -1 when the error has no location.
    int ErrorRow() const { return errorRow; }
    int ErrorCol() const { return errorCol; }

private:
    void SetError(int id, std::string description, int row = -1, int col = -1);
    void ClearError() { SetError(0, std::string(), 0, 0); }

    int errorId = 0;
    std::string errorDesc;
    int errorRow = 0;
    int errorCol = 0;
};

// Loads `path`, or else its backup "<path>.bak", which then takes the place of
// `path`. True when either loaded.
bool LoadFileWithBackup(XmlDocument& document, const std::string& path, FileCalls& files = RealFileCalls());

// The document in the library's indented form: four spaces a level, "\n".
std::string PrintIndented(const TiXmlNode& node);
// The document on one line, in the library's stream form.
std::string PrintCompact(const TiXmlNode& node);
