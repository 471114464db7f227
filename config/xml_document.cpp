// The nesting prescan, guarded parsing and loading, and the safe save.
#include "config/xml_document.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The prescan mirrors the library's tokenizer closely enough to place every
// "<" where the library would: a "<" that the library skips (inside a quoted
// value, a comment, CDATA, a declaration, a multi-byte character) must not
// count, and one that the library reads as markup must. Where the library
// stops on an error the prescan stops too; where it is unsure it reads on,
// which can only make it stricter.
enum class Encoding { Unknown, Utf8, Legacy };
enum class NodeKind { Declaration, Comment, CData, Unknown, Element };

using Byte = unsigned char;

// Bytes after the text: the library may step up to three bytes past the
// terminating NUL on a truncated multi-byte character.
constexpr size_t kPadding = 8;

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsAsciiAlpha(Byte c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The library takes every byte from 127 up as a letter.
bool IsNameStart(Byte c)
{
    return c >= 127 || IsAsciiAlpha(c) || c == '_';
}

bool IsNameChar(Byte c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWith(const char* p, const char* tag, bool ignoreCase = false)
{
    for (; *p && *tag; ++p, ++tag)
        if (ignoreCase ? Lower(*p) != Lower(*tag) : *p != *tag)
            return false;
    return *tag == 0;
}

class Prescan {
public:
    Prescan(const char* text, int maxDepth) : start(text), maxDepth(maxDepth) {}

    PrescanResult Run()
    {
        const char* p = start;
        if (!*p)
            return {};
        const Byte* u = reinterpret_cast<const Byte*>(p);
        if (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF)
            encoding = Encoding::Utf8;
        p = SkipWhite(p);
        while (p && *p == '<') {
            const NodeKind kind = Identify(p);
            std::string declaredEncoding;
            if (kind == NodeKind::Element)
                p = ScanElement(p);
            else
                p = ScanOther(kind, p, &declaredEncoding);
            if (violation)
                return {static_cast<size_t>(violation - start), violationId};
            if (kind == NodeKind::Declaration && encoding == Encoding::Unknown)
                encoding = EncodingNamed(declaredEncoding);
            if (p)
                p = SkipWhite(p);
        }
        return {};
    }

private:
    static Encoding EncodingNamed(const std::string& name)
    {
        if (name.empty() || StartsWith(name.c_str(), "UTF-8", true) || StartsWith(name.c_str(), "UTF8", true))
            return Encoding::Utf8;
        return Encoding::Legacy;
    }

    // Bytes the library takes as one character.
    int CharLength(Byte c) const
    {
        if (encoding != Encoding::Utf8)
            return 1;
        if (c >= 0xC2 && c <= 0xDF)
            return 2;
        if (c >= 0xE0 && c <= 0xEF)
            return 3;
        if (c >= 0xF0 && c <= 0xF4)
            return 4;
        return 1;
    }

    // One character of text as the library reads it: an entity, a multi-byte
    // character or a byte; nullptr where the library fails or steps past the end.
    const char* StepChar(const char* p) const
    {
        if (*p == '&')
            return StepEntity(p);
        const int length = CharLength(static_cast<Byte>(*p));
        for (int i = 1; i < length; ++i)
            if (!p[i])
                return nullptr;
        return p + length;
    }

    // A numeric entity runs to the next ";" and is checked backwards only as
    // far as its "x" or "#", so it may step over quotes and markup.
    static const char* StepEntity(const char* p)
    {
        if (p[1] != '#' || !p[2])
            return p + 1; // named entities are letters and ";": bytewise is the same
        const bool hex = p[2] == 'x';
        if (hex && !p[3])
            return nullptr;
        const char* semicolon = std::strchr(p + (hex ? 3 : 2), ';');
        if (!semicolon)
            return nullptr;
        for (const char* q = semicolon - 1; *q != (hex ? 'x' : '#'); --q) {
            const bool digit =
                (*q >= '0' && *q <= '9') || (hex && ((*q >= 'a' && *q <= 'f') || (*q >= 'A' && *q <= 'F')));
            if (!digit)
                return nullptr;
        }
        return semicolon + 1;
    }

    const char* SkipWhite(const char* p) const
    {
        for (;;) {
            const Byte* u = reinterpret_cast<const Byte*>(p);
            if (encoding == Encoding::Utf8 && u[0] == 0xEF &&
                ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF)))) {
                p += 3;
                continue;
            }
            if (*p && IsWhite(*p))
                ++p;
            else
                return p;
        }
    }

    static NodeKind Identify(const char* p)
    {
        if (StartsWith(p, "<?xml", true))
            return NodeKind::Declaration;
        if (StartsWith(p, "<!--"))
            return NodeKind::Comment;
        if (StartsWith(p, "<![CDATA["))
            return NodeKind::CData;
        if (StartsWith(p, "<!"))
            return NodeKind::Unknown;
        if (IsNameStart(static_cast<Byte>(p[1])))
            return NodeKind::Element;
        return NodeKind::Unknown;
    }

    static const char* ReadName(const char* p)
    {
        if (!IsNameStart(static_cast<Byte>(*p)))
            return nullptr;
        while (*p && IsNameChar(static_cast<Byte>(*p)))
            ++p;
        return p;
    }

    // name = value, quoted or not; the value's raw bytes go to `value`.
    const char* ScanAttribute(const char* p, std::string* value) const
    {
        p = SkipWhite(p);
        if (!*p)
            return nullptr;
        p = ReadName(p);
        if (!p || !*p)
            return nullptr;
        p = SkipWhite(p);
        if (*p != '=')
            return nullptr;
        p = SkipWhite(p + 1);
        if (!*p)
            return nullptr;
        const char* valueStart;
        if (*p == '"' || *p == '\'') {
            const char quote = *p++;
            valueStart = p;
            while (*p && *p != quote)
                if (!(p = StepChar(p)))
                    return nullptr;
            if (!*p)
                return nullptr;
            if (value)
                value->assign(valueStart, p);
            ++p;
            return *p ? p : nullptr;
        }
        valueStart = p;
        while (*p && !IsWhite(*p) && *p != '/' && *p != '>') {
            if (*p == '"' || *p == '\'')
                return nullptr;
            ++p;
        }
        if (value)
            value->assign(valueStart, p);
        return p;
    }

    const char* ScanOther(NodeKind kind, const char* p, std::string* declaredEncoding) const
    {
        switch (kind) {
        case NodeKind::Comment:
            for (p += 4; *p; ++p)
                if (StartsWith(p, "-->"))
                    return p + 3;
            return nullptr;
        case NodeKind::CData:
            for (p += 9; *p; ++p)
                if (StartsWith(p, "]]>"))
                    return p + 3;
            return nullptr;
        case NodeKind::Unknown:
            for (++p; *p; ++p)
                if (*p == '>')
                    return p + 1;
            return nullptr;
        case NodeKind::Declaration:
            p += 5;
            while (p && *p) {
                if (*p == '>')
                    return p + 1;
                p = SkipWhite(p);
                if (!*p)
                    return nullptr;
                if (StartsWith(p, "encoding", true))
                    p = ScanAttribute(p, declaredEncoding);
                else if (StartsWith(p, "version", true) || StartsWith(p, "standalone", true))
                    p = ScanAttribute(p, nullptr);
                else
                    while (*p && *p != '>' && !IsWhite(*p))
                        ++p;
            }
            return nullptr;
        case NodeKind::Element:
            break;
        }
        return nullptr;
    }

    // An element and everything in it, without recursion: `open` holds the
    // names of the elements whose content is being read, at most maxDepth.
    const char* ScanElement(const char* p)
    {
        std::vector<std::string_view> open;
        for (;;) {
            // p is at the "<" of a start tag.
            p = SkipWhite(p + 1);
            const char* nameStart = p;
            p = ReadName(p);
            if (!p || !*p)
                return nullptr;
            const std::string_view name(nameStart, static_cast<size_t>(p - nameStart));
            bool empty = false;
            for (int attributes = 0;; ++attributes) {
                if (attributes > MAX_ATTRIBUTES_PER_ELEMENT) {
                    violation = nameStart - 1;
                    violationId = TiXmlBase::TIXML_ERROR_READING_ATTRIBUTES;
                    return nullptr;
                }
                p = SkipWhite(p);
                if (!*p)
                    return nullptr;
                if (*p == '/') {
                    if (p[1] != '>')
                        return nullptr;
                    p += 2;
                    empty = true;
                    break;
                }
                if (*p == '>') {
                    ++p;
                    break;
                }
                p = ScanAttribute(p, nullptr);
                if (!p || !*p)
                    return nullptr;
            }
            if (!empty)
                open.push_back(name);
            else if (open.empty())
                return p;

            // Content of the innermost open element, until a child starts.
            for (;;) {
                p = SkipWhite(p);
                if (*p && *p != '<') { // text, up to the next "<"
                    p = SkipWhite(p);
                    while (*p && *p != '<')
                        if (IsWhite(*p))
                            ++p;
                        else if (!(p = StepChar(p)))
                            return nullptr;
                }
                if (!*p)
                    return nullptr;
                if (p[1] == '/') {
                    const std::string_view current = open.back();
                    if (std::strncmp(p + 2, current.data(), current.size()) != 0)
                        return nullptr;
                    p = SkipWhite(p + 2 + current.size());
                    if (*p != '>')
                        return nullptr;
                    ++p;
                    open.pop_back();
                    if (open.empty())
                        return p;
                    continue;
                }
                if (static_cast<int>(open.size()) + 1 > maxDepth) {
                    violation = p;
                    violationId = TIXML_ERROR_NESTING_TOO_DEEP;
                    return nullptr;
                }
                const NodeKind kind = Identify(p);
                if (kind == NodeKind::Element)
                    break; // read its start tag
                p = ScanOther(kind, p, nullptr);
                if (!p)
                    return nullptr;
            }
        }
    }

    const char* const start;
    const int maxDepth;
    Encoding encoding = Encoding::Unknown;
    const char* violation = nullptr;
    int violationId = 0;
};

} // namespace

PrescanResult PrescanXml(const char* text, int maxDepth)
{
    return Prescan(text, maxDepth).Run();
}

void XmlDocument::SetError(int id, std::string description, int row, int col)
{
    errorId = id;
    errorDesc = std::move(description);
    errorRow = row;
    errorCol = col;
}

bool XmlDocument::Parse(std::string_view text)
{
    // The text may hold NULs anywhere; the library reads up to the first.
    const size_t nul = text.find('\0');
    if (nul != std::string_view::npos)
        text = text.substr(0, nul);
    std::vector<char> buffer(text.size() + kPadding, '\0');
    std::memcpy(buffer.data(), text.data(), text.size());

    document.Clear();
    const PrescanResult refused = PrescanXml(buffer.data(), maxParseDepth);
    if (refused.errorId) {
        // The library reads what comes before the offending node, so the
        // nodes completed before it stay, as its own failure path leaves them.
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(refused.offset), buffer.end(), '\0');
        document.Parse(buffer.data());
        document.ClearError();
        if (refused.errorId == TIXML_ERROR_NESTING_TOO_DEEP)
            SetError(TIXML_ERROR_NESTING_TOO_DEEP, NESTING_TOO_DEEP_TEXT);
        else
            SetError(refused.errorId, "Error reading Attributes.");
        return false;
    }
    document.Parse(buffer.data());
    if (document.Error()) {
        SetError(document.ErrorId(), document.ErrorDesc(), document.ErrorRow(), document.ErrorCol());
        return false;
    }
    ClearError();
    return true;
}

bool XmlDocument::LoadFile(const std::string& path, FileCalls& files)
{
    document.Clear();
    document.SetValue(path);
    // Not blocking: a FIFO under the name would otherwise wait for a writer.
    const int fd = files.Open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        SetError(XML_ERROR_OPENING_FILE, "Failed to open file", 0, 0);
        return false;
    }
    // A directory, a device, a FIFO or a file too large to hold is not a document.
    struct stat status;
    std::string text;
    bool readable = files.Fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    static_cast<unsigned long long>(status.st_size) <= MAX_XML_FILE_SIZE;
    if (readable) {
        char chunk[16384];
        for (;;) {
            const ssize_t got = files.Read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                readable = got == 0;
                break;
            }
            text.append(chunk, static_cast<size_t>(got));
            if (text.size() > MAX_XML_FILE_SIZE) { // grew while being read
                readable = false;
                break;
            }
        }
    }
    files.Close(fd);
    if (!readable) {
        SetError(XML_ERROR_OPENING_FILE, "Failed to open file", 0, 0);
        return false;
    }
    if (text.empty()) {
        SetError(TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY, "Document empty.", 0, 0);
        return false;
    }
    // Line ends as the library's file load leaves them: "\r\n" and "\r" become "\n".
    std::string normalised;
    normalised.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            normalised += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            normalised += text[i];
        }
    }
    const bool parsed = Parse(normalised);
    document.SetValue(path);
    return parsed;
}

// Writes the pending file "<path>.pending", flushes it to stable storage,
// keeps the old file as "<path>.bak" during the swap, flushes the directory
// once the new file has its name, then drops the backup. Any failure removes
// the pending file and leaves (or puts back) the old file under `path`.
bool XmlDocument::SaveFileSafely(const std::string& path, FileCalls& files)
{
    const std::string text = PrintIndented(document);
    const std::string pending = path + ".pending";
    const std::string backup = path + ".bak";

    std::string message;
    ssize_t written = 0;
    const int fd = files.Open(pending.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        message = "create error " + std::to_string(errno);
    } else {
        written = files.Write(fd, text.data(), text.size());
        if (written < 0) {
            message = "write error " + std::to_string(errno);
            written = 0;
        } else if (files.Fsync(fd) != 0) {
            message = "write error " + std::to_string(errno);
        }
        if (files.Close(fd) != 0 && message.empty())
            message = "close error " + std::to_string(errno);
    }
    if (message.empty() && static_cast<size_t>(written) != text.size())
        message = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) + " bytes";
    if (!message.empty()) {
        files.Unlink(pending.c_str());
        SetError(XML_ERROR_OPENING_FILE, message, 0, 0);
        return false;
    }

    bool pendingRemoved = false;
    if ((files.Unlink(backup.c_str()) == 0 || errno == ENOENT) &&
        (files.Rename(path.c_str(), backup.c_str()) == 0 || errno == ENOENT)) {
        if (files.Rename(pending.c_str(), path.c_str()) == 0) {
            // The new name must be on disk before the backup goes; when that
            // cannot be made sure, the backup stays for the next load to drop.
            const std::string directory =
                path.find('/') == std::string::npos ? std::string(".") : path.substr(0, path.rfind('/') + 1);
            const int dirFd = files.Open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
            if (dirFd >= 0) {
                const bool flushed = files.Fsync(dirFd) == 0;
                files.Close(dirFd);
                if (flushed)
                    files.Unlink(backup.c_str());
            }
            return true;
        }
        files.Unlink(pending.c_str());
        pendingRemoved = true;
        files.Rename(backup.c_str(), path.c_str());
    }
    if (!pendingRemoved)
        files.Unlink(pending.c_str());
    SetError(XML_ERROR_OPENING_FILE, message + "xml file swap failed", 0, 0);
    return false;
}

bool LoadFileWithBackup(XmlDocument& document, const std::string& path, FileCalls& files)
{
    const std::string backup = path + ".bak";
    if (document.LoadFile(path, files)) {
        files.Unlink(backup.c_str());
        return true;
    }
    if (document.LoadFile(backup, files)) {
        files.Unlink(path.c_str());
        files.Rename(backup.c_str(), path.c_str());
        return true;
    }
    return false;
}

std::string PrintIndented(const TiXmlNode& node)
{
    TiXmlPrinter printer;
    printer.SetIndent("    ");
    printer.SetLineBreak("\n");
    node.Accept(&printer);
    return printer.Str();
}

std::string PrintCompact(const TiXmlNode& node)
{
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    node.Accept(&printer);
    return printer.Str();
}
