// The core's XML document: the library's document model with a nesting limit
// checked before the library parses (the library recurses once per level and
// would overflow the stack on deep input), files read without trusting their
// type or size, and the safe save with its backup fallback.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <tinyxml.h>

#include "config/file_calls.h"

inline constexpr int MAX_PARSE_DEPTH = 100;
// Appended after the library's own error ids, each with its own text.
inline constexpr int TIXML_ERROR_NESTING_TOO_DEEP = 17;
inline constexpr const char* NESTING_TOO_DEEP_TEXT =
    "Elements nested too deeply (exceeds the configured maximum parse depth).";
inline constexpr int XML_ERROR_TOO_MANY_ATTRIBUTES = 18;
inline constexpr int XML_ERROR_NOT_A_FILE = 19;
inline constexpr int XML_ERROR_FILE_TOO_LARGE = 20;
inline constexpr int XML_ERROR_NUL_BYTE = 21;
inline constexpr int XML_ERROR_NO_ROOT = 22;
// The library's id for a file it could not open; also used for failed reads
// and saves, with the system's error text.
inline constexpr int XML_ERROR_OPENING_FILE = TiXmlBase::TIXML_ERROR_OPENING_FILE;
// Larger files are not read: configuration files are a few kilobytes, and the
// parsed form takes several times the text's size.
inline constexpr size_t MAX_XML_FILE_SIZE = 8 * 1024 * 1024;

// More attributes on one element are refused: the library checks each new
// attribute against all earlier ones, so a few hundred thousand would stall
// the parse for hours. The core's documents carry at most eight.
inline constexpr int MAX_ATTRIBUTES_PER_ELEMENT = 256;

// Where the library must not be let to read: the offset of the first "<"
// that would open an element at a level beyond `maxDepth` (the root element
// is level 1; only elements nest, so a comment, CDATA section, declaration or
// other leaf below the deepest element is let through; error
// TIXML_ERROR_NESTING_TOO_DEEP) or an element with too many attributes
// (XML_ERROR_TOO_MANY_ATTRIBUTES), with the end tags that close the elements
// open there, innermost first. Follows the library's own reading of the text
// (quoted values, comments, CDATA, declarations and their encodings, "<!"
// constructs) up to its first error. `text` must end with at least four NUL
// bytes; reading stops at the first.
struct PrescanResult {
    size_t offset = std::string_view::npos;
    int errorId = 0;
    std::string closing;
};
PrescanResult PrescanXml(const char* text, int maxDepth);

struct XmlError {
    int id = 0;
    std::string text;
    // 1-based, as the library reports them (our own errors count columns in
    // bytes); -1 when the error has no location.
    int row = -1;
    int col = -1;
    // errno of a failed file call, 0 otherwise.
    int systemError = 0;
};

// The description with its location, for a log line.
std::string ErrorReport(const XmlError& error);

class XmlDocument {
public:
    XmlDocument() = default;

    // Parses `text` (up to its first NUL) into the document, which is cleared
    // first. Returns false on any error; what was built before the error stays.
    // Below the limits the result is the library's own, error and location
    // included; an error of the library's before the refused node wins.
    bool Parse(std::string_view text);
    // Reads a regular file, not through a link and without opening anything
    // else, and parses it as the library's file load does (line ends
    // normalised to "\n"); false when it cannot be read or parsed, holds a
    // NUL byte or has no root element.
    bool LoadFile(const std::string& path, FileCalls& files = RealFileCalls());
    // Writes `path` through a pending file and a backup so that a failure at
    // any point leaves the previous file loadable; see the .cpp file.
    bool SaveFileSafely(const std::string& path, FileCalls& files = RealFileCalls());

    TiXmlDocument document;
    int maxParseDepth = MAX_PARSE_DEPTH;

    bool Error() const { return error.id != 0; }
    int ErrorId() const { return error.id; }
    const std::string& ErrorDesc() const { return error.text; }
    int ErrorRow() const { return error.row; }
    int ErrorCol() const { return error.col; }
    const XmlError& LastError() const { return error; }
    std::string ErrorReport() const { return ::ErrorReport(error); }
    // Puts back an error taken from LastError.
    void SetError(XmlError earlier) { error = std::move(earlier); }

private:
    void SetError(int id, std::string description, int row = -1, int col = -1, int systemError = 0);
    void TakeLibraryError();

    XmlError error;
};

// A file that was there but could not be used, and where it was kept.
struct RejectedFile {
    std::string name;
    XmlError error;
    std::string keptAs;    // empty when it could not be moved aside
    std::string keepError; // why not
};

struct BackupLoad {
    bool loaded = false;
    bool fromBackup = false;
    std::vector<RejectedFile> rejected;
};

// Loads `path`, or else its backup "<path>.bak", which then takes the place of
// `path`. A file or backup that is there but cannot be used is first moved
// aside as "<name>.rejected" (or "<name>.rejected.2" and so on, never over an
// earlier one), so that nothing the core writes later replaces it. When
// nothing loads, the document holds the error of the file, or of the backup
// when only the backup was there.
BackupLoad LoadFileWithBackup(XmlDocument& document, const std::string& path, FileCalls& files = RealFileCalls());

// The document in the library's indented form: four spaces a level, "\n".
std::string PrintIndented(const TiXmlNode& node);
// The document on one line, in the library's stream form.
std::string PrintCompact(const TiXmlNode& node);
