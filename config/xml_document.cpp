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
                return {static_cast<size_t>(violation - start), violationId, closing};
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
                    Refuse(nameStart - 1, XML_ERROR_TOO_MANY_ATTRIBUTES, open);
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
                const NodeKind kind = Identify(p);
                if (kind == NodeKind::Element) {
                    // Only elements nest: the library parses any other node
                    // without going a level deeper.
                    if (static_cast<int>(open.size()) + 1 > maxDepth) {
                        Refuse(p, TIXML_ERROR_NESTING_TOO_DEEP, open);
                        return nullptr;
                    }
                    break; // read its start tag
                }
                p = ScanOther(kind, p, nullptr);
                if (!p)
                    return nullptr;
            }
        }
    }

    void Refuse(const char* where, int id, const std::vector<std::string_view>& open)
    {
        violation = where;
        violationId = id;
        for (auto name = open.rbegin(); name != open.rend(); ++name)
            closing += "</" + std::string(*name) + ">";
    }

    const char* const start;
    const int maxDepth;
    Encoding encoding = Encoding::Unknown;
    const char* violation = nullptr;
    int violationId = 0;
    std::string closing;
};

} // namespace

PrescanResult PrescanXml(const char* text, int maxDepth)
{
    return Prescan(text, maxDepth).Run();
}

namespace {

// 1-based row and byte column of `offset`, for the errors of our own.
std::pair<int, int> Location(std::string_view text, size_t offset)
{
    const std::string_view before = text.substr(0, offset);
    const size_t lineStart = before.rfind('\n');
    const auto row = std::count(before.begin(), before.end(), '\n') + 1;
    const size_t col = lineStart == std::string_view::npos ? offset + 1 : offset - lineStart;
    return {static_cast<int>(row), static_cast<int>(col)};
}

std::string SystemError(int error)
{
    return std::strerror(error);
}

const char* FileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a file of another kind";
}

} // namespace

void XmlDocument::SetError(int id, std::string description, int row, int col, int systemError)
{
    error = XmlError{id, std::move(description), row, col, systemError};
}

// The library reports row and column 0 for an error without a location.
void XmlDocument::TakeLibraryError()
{
    const bool located = document.ErrorRow() > 0;
    SetError(document.ErrorId(), document.ErrorDesc(), located ? document.ErrorRow() : -1,
             located ? document.ErrorCol() : -1);
}

std::string ErrorReport(const XmlError& error)
{
    if (error.row < 0)
        return error.text;
    return error.text + " (row " + std::to_string(error.row) + ", column " + std::to_string(error.col) + ")";
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
        // The library reads what comes before the refused node, with the open
        // elements closed there: an error of its own in that part is the
        // document's first error, and the nodes it built are the ones its
        // own failure path leaves.
        std::string head(text.substr(0, refused.offset));
        head += refused.closing;
        document.Parse(head.c_str());
        if (document.Error()) {
            TakeLibraryError();
            return false;
        }
        const auto [row, col] = Location(text, refused.offset);
        if (refused.errorId == TIXML_ERROR_NESTING_TOO_DEEP)
            SetError(TIXML_ERROR_NESTING_TOO_DEEP, NESTING_TOO_DEEP_TEXT, row, col);
        else
            SetError(XML_ERROR_TOO_MANY_ATTRIBUTES,
                     "Too many attributes on one element (more than " + std::to_string(MAX_ATTRIBUTES_PER_ELEMENT) +
                         ").",
                     row, col);
        return false;
    }
    document.Parse(buffer.data());
    if (document.Error()) {
        TakeLibraryError();
        return false;
    }
    SetError(0, std::string());
    return true;
}

bool XmlDocument::LoadFile(const std::string& path, FileCalls& files)
{
    document.Clear();
    document.SetValue(path);
    // Nothing but a regular file is opened: a FIFO would wait for a writer, a
    // device may act on being opened, a link may lead anywhere.
    struct stat status;
    if (files.Lstat(path.c_str(), &status) != 0) {
        const int failure = errno;
        SetError(XML_ERROR_OPENING_FILE, "Failed to open file: " + SystemError(failure), -1, -1, failure);
        return false;
    }
    auto refuse = [&](const struct stat& found) {
        if (!S_ISREG(found.st_mode)) {
            SetError(XML_ERROR_NOT_A_FILE, std::string("Not a regular file: ") + FileKind(found.st_mode) + ".");
            return true;
        }
        if (static_cast<unsigned long long>(found.st_size) > MAX_XML_FILE_SIZE) {
            SetError(XML_ERROR_FILE_TOO_LARGE, "File larger than " + std::to_string(MAX_XML_FILE_SIZE) + " bytes.");
            return true;
        }
        return false;
    };
    if (refuse(status))
        return false;
    const int fd = files.Open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        const int failure = errno;
        SetError(XML_ERROR_OPENING_FILE, "Failed to open file: " + SystemError(failure), -1, -1, failure);
        return false;
    }
    std::string text;
    // Checked again on what was opened: the name may have changed meanwhile.
    bool refused = files.Fstat(fd, &status) != 0 || refuse(status);
    int readError = 0;
    while (!refused) {
        char chunk[16384];
        const ssize_t got = files.Read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            readError = got < 0 ? errno : 0;
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > MAX_XML_FILE_SIZE) { // grew while being read
            status.st_size = static_cast<off_t>(text.size());
            refused = refuse(status);
        }
    }
    files.Close(fd);
    if (readError)
        SetError(XML_ERROR_OPENING_FILE, "Failed to read file: " + SystemError(readError), -1, -1, readError);
    if (refused || readError)
        return false;
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
    // The library would read up to the NUL and take the rest for gone.
    if (const size_t nul = normalised.find('\0'); nul != std::string::npos) {
        const auto [row, col] = Location(normalised, nul);
        SetError(XML_ERROR_NUL_BYTE, "NUL byte in the file.", row, col);
        return false;
    }
    const bool parsed = Parse(normalised);
    document.SetValue(path);
    if (parsed && !document.RootElement()) {
        SetError(XML_ERROR_NO_ROOT, "No root element.");
        return false;
    }
    return parsed;
}

// Writes the pending file "<path>.pending" (created anew, never through
// whatever had that name), gives it the mode of the file it replaces,
// flushes it to stable storage, keeps the old file as "<path>.bak" during the
// swap, flushes the directory once the new file has its name, then drops the
// backup. Only a regular file is replaced: a link, FIFO, device or directory
// under `path` fails the save and stays as it is. Any failure removes the
// pending file and leaves (or puts back) the old file under `path`; the
// error text names the step, the file and the system's error.
bool XmlDocument::SaveFileSafely(const std::string& path, FileCalls& files)
{
    const std::string text = PrintIndented(document);
    const std::string pending = path + ".pending";
    const std::string backup = path + ".bak";
    auto fail = [&](const std::string& step, const std::string& reason) {
        SetError(XML_ERROR_OPENING_FILE, step + ": " + reason);
        return false;
    };

    struct stat status;
    bool keepMode = false;
    if (files.Lstat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode))
            return fail("replace " + path, std::string("not a regular file but ") + FileKind(status.st_mode));
        keepMode = true;
    } else if (errno != ENOENT) {
        return fail("look at " + path, SystemError(errno));
    }

    // Every failure from here on removes the pending file first.
    auto abandon = [&](const std::string& step, const std::string& reason) {
        files.Unlink(pending.c_str());
        return fail(step, reason);
    };
    files.Unlink(pending.c_str()); // left by an interrupted save; whatever it is, it is not followed
    const int fd = files.Open(pending.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail("create " + pending, SystemError(errno));
    std::string step, reason;
    if (keepMode && files.Fchmod(fd, status.st_mode & 07777) != 0) {
        step = "set the mode of " + pending;
        reason = SystemError(errno);
    } else if (const ssize_t written = files.Write(fd, text.data(), text.size()); written < 0) {
        step = "write " + pending;
        reason = SystemError(errno);
    } else if (static_cast<size_t>(written) != text.size()) {
        step = "write " + pending;
        reason = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) + " bytes";
    } else if (files.Fsync(fd) != 0) {
        step = "flush " + pending;
        reason = SystemError(errno);
    }
    if (files.Close(fd) != 0 && step.empty()) {
        step = "close " + pending;
        reason = SystemError(errno);
    }
    if (!step.empty())
        return abandon(step, reason);

    if (files.Unlink(backup.c_str()) != 0 && errno != ENOENT)
        return abandon("remove " + backup, SystemError(errno));
    if (files.Rename(path.c_str(), backup.c_str()) != 0 && errno != ENOENT)
        return abandon("rename " + path + " to " + backup, SystemError(errno));
    if (files.Rename(pending.c_str(), path.c_str()) != 0) {
        reason = SystemError(errno);
        files.Rename(backup.c_str(), path.c_str());
        return abandon("rename " + pending + " to " + path, reason);
    }
    // The new name must be on disk before the backup goes; when that cannot
    // be made sure, the backup stays for the next load to drop.
    const std::string directory =
        path.find('/') == std::string::npos ? std::string(".") : path.substr(0, path.rfind('/') + 1);
    const int dirFd = files.Open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dirFd >= 0) {
        const bool flushed = files.Fsync(dirFd) == 0;
        files.Close(dirFd);
        if (flushed)
            files.Unlink(backup.c_str());
    }
    SetError(0, std::string());
    return true;
}

namespace {

// Moves an unusable file out of the way under a name that says so, never
// over an earlier one.
void KeepAside(RejectedFile& rejected, FileCalls& files)
{
    const std::string base = rejected.name + ".rejected";
    for (int number = 1; number <= 100; ++number) {
        const std::string aside = number == 1 ? base : base + "." + std::to_string(number);
        if (files.RenameNoReplace(rejected.name.c_str(), aside.c_str()) == 0) {
            rejected.keptAs = aside;
            return;
        }
        if (errno != EEXIST) {
            rejected.keepError = "rename to " + aside + ": " + SystemError(errno);
            return;
        }
    }
    rejected.keepError = "every name up to " + base + ".100 is taken";
}

// Whether the failed load found something under the name.
bool WasThere(const XmlError& error)
{
    return !(error.id == XML_ERROR_OPENING_FILE && error.systemError == ENOENT);
}

} // namespace

BackupLoad LoadFileWithBackup(XmlDocument& document, const std::string& path, FileCalls& files)
{
    BackupLoad outcome;
    const std::string backup = path + ".bak";
    if (document.LoadFile(path, files)) {
        files.Unlink(backup.c_str());
        outcome.loaded = true;
        return outcome;
    }
    const XmlError fileError = document.LastError();
    const bool fileThere = WasThere(fileError);
    if (fileThere) {
        outcome.rejected.push_back({path, fileError, "", ""});
        KeepAside(outcome.rejected.back(), files);
    }
    if (document.LoadFile(backup, files)) {
        outcome.loaded = outcome.fromBackup = true;
        // The file may still be there when it could not be moved aside.
        if (!fileThere || !outcome.rejected.back().keptAs.empty())
            files.Rename(backup.c_str(), path.c_str());
        return outcome;
    }
    if (WasThere(document.LastError())) {
        outcome.rejected.push_back({backup, document.LastError(), "", ""});
        KeepAside(outcome.rejected.back(), files);
    }
    if (fileThere || !WasThere(document.LastError()))
        document.SetError(fileError);
    return outcome;
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
