// The XML layer: the nesting limit against the library's own reading of the
// text, loading untrusted files, and the safe save with its backup fallback,
// on a real directory and on a model file system that fails, stops or loses
// power at every call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "config/xml_document.h"
#include "support/process.h"

namespace {

using dvrtest::ReadFile;
using dvrtest::TempDir;
using dvrtest::WriteFile;
namespace fs = std::filesystem;

std::string Nested(int levels, const std::string& innermost = "")
{
    std::string text;
    for (int i = 0; i < levels; ++i)
        text += "<e>";
    text += innermost;
    for (int i = 0; i < levels; ++i)
        text += "</e>";
    return text;
}

// Deepest level of an element the library made.
int DeepestElement(const TiXmlNode* node, int level)
{
    int deepest = 0;
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
        if (child->ToElement())
            deepest = std::max(deepest, level);
        deepest = std::max(deepest, DeepestElement(child, level + 1));
    }
    return deepest;
}

// Each text is checked against the unguarded library (shallow enough for
// it): the guard refuses exactly where the library would build an element at
// level 101; other nodes do not nest, so below it they are the library's.
TEST(XmlNesting, LimitIsAnElementAtLevelHundredAndOne)
{
    struct Case {
        const char* name;
        std::string text;
        bool tooDeep;
    };
    const std::vector<Case> cases = {
        {"100 elements", Nested(100), false},
        {"text at 101", Nested(100, "text &amp; more"), false},
        {"element at 101", Nested(101), true},
        {"comment at 101", Nested(100, "<!-- c -->"), false},
        {"declaration at 101", Nested(100, "<?xml version=\"1.0\"?>"), false},
        {"CDATA at 101", Nested(100, "<![CDATA[x]]>"), false},
        {"unknown at 101", Nested(100, "<!DOCTYPE x>"), false},
        {"processing instruction at 101", Nested(100, "<?pi x?>"), false},
        {"element after leaves at 101", Nested(100, "<!-- c --><![CDATA[x]]><b/>"), true},
        {"markup-like quoted values", Nested(99, "<a x='<b><c><d>' y=\"<e>\"/>"), false},
        {"markup in CDATA and comments", Nested(99, "<![CDATA[<b><c>]]><!-- <d><e> -->"), false},
        {"siblings do not add up", Nested(50, Nested(50) + Nested(50)), false},
        {"a second root is level 1 again", Nested(100) + Nested(100), false},
        {"UTF-8 character hides a quote", "<?xml version=\"1.0\"?>" + Nested(99, "<a x=\"\xDF\"><b/>\"/>"), false},
        {"legacy encoding shows it",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + Nested(99, "<a x=\"\xDF\"><b/>\"/>"), true},
        {"an entity hides a quote", Nested(99, "<a x=\"&#x\"x1;\"><b/></a>"), true},
        {"a broken entity stops the library first", Nested(99, "<a x=\"&#x\"q1;\"><b/></a>"), false},
    };
    for (const Case& c : cases) {
        TiXmlDocument unguarded;
        unguarded.Parse((c.text + std::string(8, '\0')).c_str());
        ASSERT_EQ(DeepestElement(&unguarded, 1) > MAX_PARSE_DEPTH, c.tooDeep) << "case: " << c.name;

        XmlDocument doc;
        doc.Parse(c.text);
        EXPECT_EQ(doc.ErrorId() == 17, c.tooDeep) << c.name << ": " << doc.ErrorDesc();
        EXPECT_EQ(doc.Error(), unguarded.Error() || c.tooDeep) << c.name;
        if (c.tooDeep) {
            EXPECT_EQ(doc.ErrorDesc(), "Elements nested too deeply (exceeds the configured maximum parse depth).");
        } else {
            EXPECT_EQ(PrintCompact(doc.document), PrintCompact(unguarded)) << c.name;
        }
    }
}

// Which error a document reports, and where: the library's own below the
// limits and before them; ours, at the refused node, otherwise.
TEST(XmlErrors, TheFirstErrorWinsWithItsOwnTextAndLocation)
{
    std::string attributes;
    for (int i = 0; i <= MAX_ATTRIBUTES_PER_ELEMENT; ++i)
        attributes += " a" + std::to_string(i) + "=\"\"";
    struct Case {
        const char* name;
        std::string text;
        int id;
        std::string desc;
        int row, col;
    };
    const std::vector<Case> cases = {
        {"well-formed", "<a/>", 0, "", -1, -1},
        {"the library's own, with its location", "<a>\n  <b x=\"1\" x=\"2\"/></a>", 3, "Error parsing Element.", 2, 12},
        {"the library's, without a location", "", 12, "Error document empty.", -1, -1},
        {"a duplicate attribute before deep nesting", "<r><d a='1' a='2'/>\n" + Nested(101) + "</r>", 3,
         "Error parsing Element.", 1, 13},
        {"a broken end tag before deep nesting", "<r><d></x>\n" + Nested(101) + "</r>", 8, "Error reading end tag.", 1,
         7},
        {"nesting, where the element starts", "<r>\n" + Nested(100) + "</r>", 17,
         "Elements nested too deeply (exceeds the configured maximum parse depth).", 2, 298},
        {"too many attributes, where the element starts", "<r>\n <e" + attributes + "/></r>", 18,
         "Too many attributes on one element (more than 256).", 2, 2},
        {"a duplicate attribute before too many", "<r><d a='1' a='2'/><e" + attributes + "/></r>", 3,
         "Error parsing Element.", 1, 13},
    };
    for (const Case& c : cases) {
        XmlDocument doc;
        EXPECT_EQ(doc.Parse(c.text), c.id == 0) << c.name;
        EXPECT_EQ(doc.ErrorId(), c.id) << c.name;
        EXPECT_EQ(doc.ErrorDesc(), c.desc) << c.name;
        EXPECT_EQ(doc.ErrorRow(), c.row) << c.name;
        EXPECT_EQ(doc.ErrorCol(), c.col) << c.name;
    }
}

// A million levels, or a million attributes on one element, are refused
// before the library spends its stack or hours on them; what came before
// stays. (The same deep text in a file is the status documents' product.xml row.)
TEST(XmlLimits, AMillionLevelsOrAttributesAreRefusedCheaplyKeepingWhatCameBefore)
{
    XmlDocument doc;
    EXPECT_FALSE(doc.Parse(Nested(1'000'000)));
    EXPECT_EQ(doc.ErrorId(), 17);
    // The chain down to level 100 stays, as the library's failure path leaves it.
    EXPECT_EQ(DeepestElement(&doc.document, 1), 100);

    auto element = [](int attributes) {
        std::string text = "<r><a/><e";
        for (int i = 0; i < attributes; ++i) {
            text += " a" + std::to_string(i) + "=\"\"";
        }
        return text + "/></r>";
    };
    EXPECT_TRUE(doc.Parse(element(MAX_ATTRIBUTES_PER_ELEMENT)));
    EXPECT_FALSE(doc.Parse(element(1'000'000)));
    EXPECT_EQ(doc.ErrorId(), XML_ERROR_TOO_MANY_ATTRIBUTES);
    ASSERT_NE(doc.document.RootElement(), nullptr);
    EXPECT_NE(doc.document.RootElement()->FirstChildElement("a"), nullptr);
}

// Random markup soups, parsed by the prescan and by the unguarded library
// (safe here: they are shallow enough for its recursion). The prescan must
// refuse exactly the texts in which the library builds a node at level 101.
TEST(XmlNesting, PrescanAgreesWithTheLibraryOnRandomMarkup)
{
    std::mt19937 random(20261209);
    const std::vector<std::string> pieces = {"<a>",
                                             "</a>",
                                             "<b x='1'>",
                                             "</b>",
                                             "<c/>",
                                             "<d y=\"<>\">",
                                             "</d>",
                                             "<!-- <a> -->",
                                             "<![CDATA[<a>]]>",
                                             "<!DOCTYPE z>",
                                             "<?pi ?>",
                                             "<?xml version='1.0'?>",
                                             "text",
                                             " ",
                                             "\n",
                                             "\xC3\xA9",
                                             "\xDF",
                                             "\xE2",
                                             "\xF0",
                                             "\xEF\xBB\xBF",
                                             "&amp;",
                                             "&#65;",
                                             "&#x",
                                             "x1;",
                                             "&#",
                                             "1;",
                                             "\"",
                                             "'",
                                             ">",
                                             "<",
                                             "/",
                                             "=",
                                             "<e z=",
                                             "<!-",
                                             "]]>",
                                             "-->"};
    const std::vector<std::string> prologs = {"", "<?xml version=\"1.0\"?>",
                                              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "\xEF\xBB\xBF"};
    int refused = 0, accepted = 0;
    const int kRounds = getenv("XML_ROUNDS") ? atoi(getenv("XML_ROUNDS")) : 4000;
    for (int round = 0; round < kRounds; ++round) {
        const int depth = 95 + static_cast<int>(random() % 10);
        std::string text = prologs[random() % prologs.size()];
        for (int level = 0; level < depth; ++level) {
            text += "<a>";
            if (random() % 8 == 0)
                text += pieces[random() % pieces.size()];
        }
        for (int extra = static_cast<int>(random() % 12); extra > 0; --extra)
            text += pieces[random() % pieces.size()];
        for (int level = 0; level < depth; ++level)
            text += "</a>";
        // Damage some: the two must still agree up to the library's first error.
        const std::string damage = "<>\"'/!-[]?= \xDF\xEF\xF0&#;xa";
        for (int hits = static_cast<int>(random() % 4); hits > 0; --hits)
            text.insert(random() % text.size(), 1, damage[random() % damage.size()]);

        std::string padded = text + std::string(8, '\0');
        TiXmlDocument library;
        library.Parse(padded.c_str());
        const bool tooDeep = DeepestElement(&library, 1) > MAX_PARSE_DEPTH;
        XmlDocument guarded;
        const bool ok = guarded.Parse(text);
        const bool refusedDeep = !ok && guarded.ErrorId() == 17;
        // Past an error of the library's the prescan may read on: stricter, never laxer.
        if (tooDeep || !library.Error()) {
            ASSERT_EQ(refusedDeep, tooDeep) << "round " << round << ": " << text;
        }
        (tooDeep ? refused : accepted)++;
    }
    EXPECT_GT(refused, 200);
    EXPECT_GT(accepted, 500);
}

TEST(XmlLoad, UnusableFilesFailCleanlyEachWithItsOwnReason)
{
    TempDir dir;
    const fs::path file = dir.path() / "in.xml";
    const fs::path outside = dir.path() / "outside.xml";
    WriteFile(outside, "<outside/>");
    struct Case {
        const char* name;
        std::function<void()> make;
        int id;
        const char* desc;
        int row, col;
    };
    const std::vector<Case> cases = {
        {"missing", [] {}, 2, "Failed to open file: No such file or directory", -1, -1},
        {"empty", [&] { WriteFile(file, ""); }, 12, "Error document empty.", -1, -1},
        {"not XML", [&] { WriteFile(file, "just words"); }, 12, "Error document empty.", -1, -1},
        {"a NUL byte", [&] { WriteFile(file, std::string("<a>\n <b/>\0</a>", 14)); }, 21, "NUL byte in the file.", 2,
         6},
        {"no root element", [&] { WriteFile(file, "<?xml version=\"1.0\"?><!-- only -->"); }, 22, "No root element.",
         -1, -1},
        {"a directory", [&] { fs::create_directory(file); }, 19, "Not a regular file: a directory.", -1, -1},
        {"a FIFO without a writer", [&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, 19,
         "Not a regular file: a FIFO.", -1, -1},
        {"a link to a good file", [&] { fs::create_symlink(outside, file); }, 19,
         "Not a regular file: a symbolic link.", -1, -1},
        {"a device", [&] { ASSERT_EQ(mknod(file.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0); }, 19,
         "Not a regular file: a device.", -1, -1},
        {"larger than the limit", [&] { WriteFile(file, "<a>" + std::string(MAX_XML_FILE_SIZE, ' ') + "</a>"); }, 20,
         "File larger than 8388608 bytes.", -1, -1},
    };
    for (const Case& c : cases) {
        fs::remove_all(file);
        c.make();
        XmlDocument doc;
        EXPECT_FALSE(doc.LoadFile(file.string())) << c.name;
        EXPECT_EQ(doc.ErrorId(), c.id) << c.name;
        EXPECT_EQ(doc.ErrorDesc(), c.desc) << c.name;
        EXPECT_EQ(doc.ErrorRow(), c.row) << c.name;
        EXPECT_EQ(doc.ErrorCol(), c.col) << c.name;
        EXPECT_EQ(doc.document.RootElement(), nullptr) << c.name;
    }
    EXPECT_EQ(ReadFile(outside), "<outside/>");
    // Line ends as the library's file load leaves them.
    fs::remove_all(file);
    WriteFile(file, "<a>\r\n<b v=\"1\r2\"/>\r</a>");
    XmlDocument doc;
    ASSERT_TRUE(doc.LoadFile(file.string()));
    EXPECT_STREQ(doc.document.RootElement()->FirstChildElement("b")->Attribute("v"), "1\n2");
}

// --- The safe save on a real directory.

XmlDocument Document(const char* rootName)
{
    XmlDocument doc;
    doc.document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    doc.document.LinkEndChild(new TiXmlElement(rootName));
    return doc;
}

std::string RootOf(const fs::path& file)
{
    XmlDocument doc;
    return doc.LoadFile(file.string()) ? doc.document.RootElement()->Value() : "";
}

// The second save replaces the first one's file, beside a stale backup, and
// keeps the mode the file had whatever the umask says.
TEST(SafeSave, ReplacesTheFileKeepingItsModeAndLeavesNoCompanions)
{
    TempDir dir;
    const fs::path file = dir.path() / "core.xml";
    for (bool replacing : {false, true}) {
        if (replacing) {
            WriteFile(file.string() + ".bak", "<stale/>");
            fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                      fs::perms::others_read);
        }
        XmlDocument doc = Document(replacing ? "second" : "first");
        const mode_t previous = umask(077);
        const bool saved = doc.SaveFileSafely(file.string());
        umask(previous);
        ASSERT_TRUE(saved) << doc.ErrorDesc();
        EXPECT_EQ(RootOf(file), replacing ? "second" : "first");
        EXPECT_EQ(ReadFile(file), PrintIndented(doc.document));
        EXPECT_FALSE(fs::exists(file.string() + ".bak"));
        EXPECT_FALSE(fs::exists(file.string() + ".pending"));
    }
    struct stat status;
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
}

// Whatever is in the way is neither followed, nor waited on, nor replaced:
// the save fails, names the step and the reason, and leaves it as it was.
TEST(SafeSave, OddFilesInTheWayFailTheSaveAndStayAsTheyAre)
{
    TempDir dir;
    const std::string file = (dir.path() / "core.xml").string();
    const fs::path outside = dir.path() / "outside";
    struct Case {
        const char* name;
        std::function<void()> make;
        const char* error; // after the file's name; empty: the save succeeds
    };
    const std::vector<Case> cases = {
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, ": not a regular file but a FIFO"},
        {"a directory", [&] { fs::create_directory(file); }, ": not a regular file but a directory"},
        {"a link to a file", [&] { fs::create_symlink(outside, file); }, ": not a regular file but a symbolic link"},
        {"a link to a device", [&] { fs::create_symlink("/dev/null", file); },
         ": not a regular file but a symbolic link"},
        {"a directory as the backup", [&] { fs::create_directory(file + ".bak"); }, ".bak: Is a directory"},
        {"a link as the pending file", [&] { fs::create_symlink(outside, file + ".pending"); }, ""},
        {"a FIFO as the pending file", [&] { ASSERT_EQ(mkfifo((file + ".pending").c_str(), 0600), 0); }, ""},
    };
    for (const Case& c : cases) {
        for (const char* suffix : {"", ".bak", ".pending"})
            fs::remove_all(file + suffix);
        WriteFile(outside, "<outside/>");
        c.make();
        const auto before = fs::symlink_status(file).type();
        XmlDocument doc = Document("new");
        const bool saved = doc.SaveFileSafely(file);
        EXPECT_EQ(saved, *c.error == 0) << c.name << ": " << doc.ErrorDesc();
        EXPECT_EQ(ReadFile(outside), "<outside/>") << c.name;
        EXPECT_FALSE(fs::exists(fs::symlink_status(file + ".pending"))) << c.name;
        if (saved) {
            EXPECT_EQ(RootOf(file), "new") << c.name;
            continue;
        }
        EXPECT_EQ(doc.ErrorId(), 2) << c.name;
        EXPECT_NE(doc.ErrorDesc().find(file + c.error), std::string::npos) << c.name << ": " << doc.ErrorDesc();
        EXPECT_EQ(fs::symlink_status(file).type(), before) << c.name;
    }
}

// An unusable file is moved aside before anything can replace it; when
// nothing loads, the file's error is reported, the backup's only without one.
TEST(SafeSave, LoadFallsBackToTheBackupOnlyWhenItMustAndKeepsWhatItCannotUse)
{
    TempDir dir;
    const std::string file = (dir.path() / "core.xml").string();
    const std::string backup = file + ".bak";
    struct Case {
        const char* name;
        const char* main;                         // nullptr: absent
        const char* backup;                       // nullptr: absent
        const char* loaded;                       // root loaded; nullptr: the load fails
        std::map<std::string, std::string> after; // every file afterwards, by suffix
        const char* error;                        // the document's error when nothing loads
    };
    const std::vector<Case> cases = {
        {"main missing", nullptr, "<bak/>", "bak", {{"", "<bak/>"}}, ""},
        {"main malformed", "<main", "<bak/>", "bak", {{"", "<bak/>"}, {".rejected", "<main"}}, ""},
        {"both valid", "<main/>", "<bak/>", "main", {{"", "<main/>"}}, ""},
        {"neither valid",
         "<main>\n</x>",
         "<bak",
         nullptr,
         {{".rejected", "<main>\n</x>"}, {".bak.rejected", "<bak"}},
         "Error reading end tag. (row 2, column 1)"},
        {"only a bad backup",
         nullptr,
         "<bak",
         nullptr,
         {{".bak.rejected", "<bak"}},
         "Failed to read Element name (row 1, column 2)"},
        {"an earlier one kept",
         "<main>",
         nullptr,
         nullptr,
         {{".rejected", "<old"}, {".rejected.2", "<main>"}},
         "Error reading Element value."},
    };
    for (const Case& c : cases) {
        for (const auto& entry : fs::directory_iterator(dir.path()))
            fs::remove(entry);
        if (c.main)
            WriteFile(file, c.main);
        if (c.backup)
            WriteFile(backup, c.backup);
        if (c.after.count(".rejected.2"))
            WriteFile(file + ".rejected", "<old");
        XmlDocument doc;
        const BackupLoad outcome = LoadFileWithBackup(doc, file);
        ASSERT_EQ(outcome.loaded, c.loaded != nullptr) << c.name;
        if (outcome.loaded) {
            EXPECT_STREQ(doc.document.RootElement()->Value(), c.loaded) << c.name;
        } else {
            EXPECT_EQ(doc.ErrorReport(), c.error) << c.name;
        }
        std::map<std::string, std::string> after;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            after[entry.path().string().substr(file.size())] = ReadFile(entry.path());
        EXPECT_EQ(after, c.after) << c.name;
        for (const RejectedFile& rejected : outcome.rejected)
            EXPECT_EQ(rejected.keptAs.substr(0, rejected.name.size()), rejected.name) << c.name;
    }
}

// --- The safe save on a model file system.

// Names map to files; a file's data reaches the disk only through fsync, and
// the directory's changes only through an fsync of the directory. A power cut
// keeps the flushed state plus any prefix of the unflushed directory changes.
class ModelFiles : public FileCalls {
public:
    struct File {
        std::string data;
        std::string flushed;
    };
    using Names = std::map<std::string, std::shared_ptr<File>>;
    struct Crash {};

    explicit ModelFiles(const std::map<std::string, std::string>& initial = {})
    {
        for (const auto& [name, data] : initial)
            names[name] = std::make_shared<File>(File{data, data});
        flushedNames = names;
    }

    int failAt = 0; // call number that fails with failErrno (from 1; 0: none)
    int failErrno = 0;
    int crashAfter = -1; // calls allowed before the process dies (-1: no limit)
    int calls = 0;

    int Open(const char* path, int flags, mode_t) override
    {
        if (!Begin())
            return -1;
        if (flags & O_DIRECTORY)
            return NewFd(nullptr, true);
        auto found = names.find(path);
        if (found == names.end()) {
            if (!(flags & O_CREAT))
                return Fail(ENOENT);
            found = names.emplace(path, std::make_shared<File>()).first;
            Log({Op::Create, path, "", found->second});
        } else if ((flags & O_CREAT) && (flags & O_EXCL)) {
            return Fail(EEXIST);
        }
        if (flags & O_TRUNC)
            found->second->data.clear();
        return NewFd(found->second, false);
    }
    ssize_t Read(int fd, void* buffer, size_t size) override
    {
        if (!Begin())
            return -1;
        Fd& open = fds.at(fd);
        const size_t count = std::min(size, open.file->data.size() - open.offset);
        memcpy(buffer, open.file->data.data() + open.offset, count);
        open.offset += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t Write(int fd, const void* data, size_t size) override
    {
        if (!Begin())
            return -1;
        fds.at(fd).file->data.append(static_cast<const char*>(data), size);
        return static_cast<ssize_t>(size);
    }
    int Fstat(int fd, struct stat* status) override
    {
        if (!Begin())
            return -1;
        memset(status, 0, sizeof *status);
        const Fd& open = fds.at(fd);
        status->st_mode = open.directory ? S_IFDIR : S_IFREG;
        status->st_size = open.directory ? 0 : static_cast<off_t>(open.file->data.size());
        return 0;
    }
    int Lstat(const char* path, struct stat* status) override
    {
        if (!Begin())
            return -1;
        const auto found = names.find(path);
        if (found == names.end())
            return Fail(ENOENT);
        memset(status, 0, sizeof *status);
        status->st_mode = S_IFREG | 0644;
        status->st_size = static_cast<off_t>(found->second->data.size());
        return 0;
    }
    int Fchmod(int, mode_t) override { return Begin() ? 0 : -1; }
    int Fsync(int fd) override
    {
        if (!Begin())
            return -1;
        Fd& open = fds.at(fd);
        if (open.directory) {
            flushedNames = names;
            pending.clear();
        } else {
            open.file->flushed = open.file->data;
        }
        return 0;
    }
    int Close(int fd) override
    {
        if (!Begin())
            return -1;
        fds.erase(fd);
        return 0;
    }
    int Rename(const char* from, const char* to) override
    {
        if (!Begin())
            return -1;
        if (!names.count(from))
            return Fail(ENOENT);
        Log({Op::Rename, from, to, nullptr});
        Apply(pending.back(), names);
        return 0;
    }
    int RenameNoReplace(const char* from, const char* to) override
    {
        if (names.count(to)) {
            ++calls;
            return Fail(EEXIST);
        }
        return Rename(from, to);
    }
    int Unlink(const char* path) override
    {
        if (!Begin())
            return -1;
        if (!names.count(path))
            return Fail(ENOENT);
        Log({Op::Unlink, path, "", nullptr});
        Apply(pending.back(), names);
        return 0;
    }

    // The disk after a power cut in which the first `kept` unflushed
    // directory changes made it.
    ModelFiles AfterPowerCut(size_t kept) const
    {
        Names disk = flushedNames;
        for (size_t i = 0; i < kept; ++i)
            Apply(pending[i], disk);
        ModelFiles after;
        for (const auto& [name, file] : disk)
            after.names[name] = std::make_shared<File>(File{file->flushed, file->flushed});
        after.flushedNames = after.names;
        return after;
    }
    size_t UnflushedChanges() const { return pending.size(); }
    bool Exists(const std::string& name) const { return names.count(name) != 0; }

private:
    enum class Op { Create, Rename, Unlink };
    struct Change {
        Op op;
        std::string from, to;
        std::shared_ptr<File> file;
    };
    struct Fd {
        std::shared_ptr<File> file;
        bool directory;
        size_t offset = 0;
    };

    bool Begin()
    {
        ++calls;
        if (crashAfter >= 0 && calls > crashAfter)
            throw Crash{};
        if (calls == failAt) {
            errno = failErrno;
            return false;
        }
        return true;
    }
    static int Fail(int error)
    {
        errno = error;
        return -1;
    }
    int NewFd(std::shared_ptr<File> file, bool directory)
    {
        fds[nextFd] = Fd{std::move(file), directory};
        return nextFd++;
    }
    void Log(Change change) { pending.push_back(std::move(change)); }
    static void Apply(const Change& change, Names& target)
    {
        switch (change.op) {
        case Op::Create:
            target[change.from] = change.file;
            break;
        case Op::Rename:
            if (target.count(change.from)) {
                target[change.to] = target[change.from];
                target.erase(change.from);
            }
            break;
        case Op::Unlink:
            target.erase(change.from);
            break;
        }
    }

    Names names, flushedNames;
    std::vector<Change> pending;
    std::map<int, Fd> fds;
    int nextFd = 3;
};

const std::string kOld = "<?xml ?>\n<old />\n";

// Starting points: a saved file, and a saved file beside a stale backup.
std::vector<std::map<std::string, std::string>> Starts()
{
    return {{{"core.xml", kOld}}, {{"core.xml", kOld}, {"core.xml.bak", "<stale />"}}};
}

// What LoadFileWithBackup finds: "old", "new" or "" (nothing loads).
std::string Recovered(ModelFiles& files)
{
    files.failAt = 0;
    files.crashAfter = -1;
    XmlDocument doc;
    return LoadFileWithBackup(doc, "core.xml", files).loaded ? doc.document.RootElement()->Value() : "";
}

int CallsOfACleanSave()
{
    ModelFiles files(Starts()[0]);
    XmlDocument doc = Document("new");
    EXPECT_TRUE(doc.SaveFileSafely("core.xml", files));
    const int calls = files.calls;
    EXPECT_EQ(Recovered(files), "new");
    return calls;
}

TEST(SafeSaveSweep, AnErrorAtAnyCallLeavesTheOldOrTheNewDocument)
{
    int tried = 0;
    for (const auto& start : Starts()) {
        for (int error : {ENOSPC, EIO, EACCES, EXDEV}) {
            for (int k = 1;; ++k) {
                ModelFiles files(start);
                files.failAt = k;
                files.failErrno = error;
                XmlDocument doc = Document("new");
                const bool saved = doc.SaveFileSafely("core.xml", files);
                if (files.calls < k)
                    break; // the save made fewer calls: every call was tried
                ++tried;
                const std::string where = "errno " + std::to_string(error) + " at call " + std::to_string(k);
                if (saved) {
                    EXPECT_EQ(Recovered(files), "new") << where;
                } else {
                    EXPECT_EQ(doc.ErrorId(), 2) << where;
                    EXPECT_FALSE(doc.ErrorDesc().empty()) << where;
                    EXPECT_FALSE(files.Exists("core.xml.pending")) << where;
                    EXPECT_EQ(Recovered(files), "old") << where;
                }
            }
        }
    }
    EXPECT_GE(tried, 2 * 4 * CallsOfACleanSave());
    RecordProperty("errors_tried", tried);
    std::printf("injected errors tried: %d\n", tried);
}

TEST(SafeSaveSweep, ACrashOrAPowerCutAfterAnyCallLeavesTheOldOrTheNewDocument)
{
    const int calls = CallsOfACleanSave();
    int crashes = 0, cuts = 0;
    for (const auto& start : Starts()) {
        for (int k = 0; k <= calls; ++k) {
            ModelFiles files(start);
            files.crashAfter = k;
            XmlDocument doc = Document("new");
            try {
                doc.SaveFileSafely("core.xml", files);
            } catch (const ModelFiles::Crash&) {
            }
            for (size_t kept = 0; kept <= files.UnflushedChanges(); ++kept) {
                ModelFiles disk = files.AfterPowerCut(kept);
                const std::string found = Recovered(disk);
                EXPECT_TRUE(found == "old" || found == "new")
                    << "power cut after call " << k << " keeping " << kept << " changes: '" << found << "'";
                ++cuts;
            }
            const std::string found = Recovered(files);
            EXPECT_TRUE(found == "old" || found == "new") << "crash after call " << k << ": '" << found << "'";
            ++crashes;
        }
    }
    std::printf("crash points tried: %d, power-cut states tried: %d\n", crashes, cuts);
}

} // namespace
