// The configuration path: the XML layer's nesting check and parse on
// arbitrary text, LoadFileWithBackup on arbitrary files, and
// dvrcore::ParseConfig on arbitrary update text. Checks that a parsed document,
// or what was built before an error, keeps within the nesting and attribute
// limits; that below them the result is the library's own, error and location
// included; that a load with backup reports truly whether a document came in,
// leaves exactly the file it loaded under the name and keeps every file it
// could not use aside; that an update is applied whole or not at all, sets
// only thresholds of -1..100 or a slot's own default, and that the status
// document it writes loads again.
//
// Input: u8 mode, then per mode
//   0  the text to parse
//   1  u8 which files exist, u16 length of the file's text, the file's text,
//      then the backup's text
//   2  the update text
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config/xml_document.h"
#include "fuzz_support.h"
#include "support/core_harness.h"

namespace {

// Every file the target writes lies in a directory of its own.
constexpr const char* kFile = "core.xml";
constexpr const char* kBackup = "core.xml.bak";
constexpr const char* kFileAside = "core.xml.rejected";
constexpr const char* kBackupAside = "core.xml.bak.rejected";
// Texts with no more "<" than this are shallow enough for the unguarded
// library's recursion.
constexpr size_t kShallowMarkup = 2000;

// Only elements nest: other nodes below the deepest element are leaves.
bool WithinLimits(const TiXmlNode* node, int depth)
{
    const TiXmlElement* element = node->ToElement();
    if (!element)
        return true;
    int attributes = 0;
    for (const TiXmlAttribute* a = element->FirstAttribute(); a; a = a->Next())
        ++attributes;
    return depth <= MAX_PARSE_DEPTH && attributes <= MAX_ATTRIBUTES_PER_ELEMENT;
}

bool WithinLimits(const TiXmlDocument& document)
{
    std::vector<std::pair<const TiXmlNode*, int>> stack{{&document, 0}};
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        if (!WithinLimits(node, depth))
            return false;
        for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling())
            stack.emplace_back(child, depth + 1);
    }
    return true;
}

void ParseText(std::string_view text)
{
    XmlDocument document;
    const bool parsed = document.Parse(text);
    FUZZ_CHECK(parsed == !document.Error());
    // What was built before an error stays, within the limits too.
    FUZZ_CHECK(WithinLimits(document.document));

    if (std::count(text.begin(), text.end(), '<') > static_cast<std::ptrdiff_t>(kShallowMarkup))
        return;
    std::string padded(text.substr(0, text.find('\0')));
    padded.append(8, '\0');
    TiXmlDocument library;
    library.Parse(padded.c_str());
    if (!WithinLimits(library))
        return;
    // Below the limits: the library's document, error and location.
    FUZZ_CHECK(PrintCompact(document.document) == PrintCompact(library));
    FUZZ_CHECK(document.ErrorId() == library.ErrorId());
    FUZZ_CHECK(document.ErrorDesc() == library.ErrorDesc());
    // The library says row 0 for an error without a location, and row 1 when there is no error.
    const bool located = library.Error() && library.ErrorRow() > 0;
    FUZZ_CHECK(document.ErrorRow() == (located ? library.ErrorRow() : -1));
    FUZZ_CHECK(document.ErrorCol() == (located ? library.ErrorCol() : -1));
}

bool Exists(const char* path)
{
    struct stat status;
    return lstat(path, &status) == 0;
}

std::string Contents(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void WriteContents(const char* path, const unsigned char* bytes, size_t size)
{
    FILE* file = fopen(path, "wb");
    FUZZ_CHECK(file);
    FUZZ_CHECK(fwrite(bytes, 1, size, file) == size);
    fclose(file);
}

void LoadWithBackup(dvrfuzz::Input& input)
{
    const uint8_t which = input.u8();
    size_t fileSize = 0, backupSize = 0;
    const unsigned char* fileText = input.bytes(input.u16(), &fileSize);
    const unsigned char* backupText = input.bytes(input.left(), &backupSize);
    for (const char* name : {kFile, kBackup, kFileAside, kBackupAside})
        unlink(name);
    if (which & 1)
        WriteContents(kFile, fileText, fileSize);
    if (which & 2)
        WriteContents(kBackup, backupText, backupSize);
    const std::string file = Contents(kFile), backup = Contents(kBackup);

    XmlDocument alone;
    const bool fileLoads = alone.LoadFile(kFile);
    XmlDocument backupAlone;
    const bool backupLoads = backupAlone.LoadFile(kBackup);
    XmlDocument document;
    const BackupLoad outcome = LoadFileWithBackup(document, kFile);
    FUZZ_CHECK(outcome.loaded == !document.Error());
    FUZZ_CHECK(WithinLimits(document.document));
    if (fileLoads) {
        // The file stands; a backup beside it is no longer needed.
        FUZZ_CHECK(outcome.loaded && !outcome.fromBackup && Contents(kFile) == file && !Exists(kBackup));
        FUZZ_CHECK(outcome.rejected.empty());
        return;
    }
    // A file that was there but could not be used is kept aside.
    FUZZ_CHECK(Exists(kFileAside) == bool(which & 1) && Contents(kFileAside) == file);
    if (outcome.loaded) {
        // The backup took the file's place.
        FUZZ_CHECK(backupLoads && outcome.fromBackup && Contents(kFile) == backup && !Exists(kBackup));
        return;
    }
    // Nothing loaded: the backup was kept aside too, and the file's error
    // is reported when there was a file.
    FUZZ_CHECK(!backupLoads && !Exists(kFile) && !Exists(kBackup));
    FUZZ_CHECK(Exists(kBackupAside) == bool(which & 2) && Contents(kBackupAside) == backup);
    if (which & 1) {
        FUZZ_CHECK(document.ErrorId() == alone.ErrorId() && document.ErrorDesc() == alone.ErrorDesc());
        FUZZ_CHECK(document.ErrorRow() == alone.ErrorRow() && document.ErrorCol() == alone.ErrorCol());
    }
}

void Update(dvrfuzz::Input& input)
{
    size_t size = 0;
    const unsigned char* text = input.bytes(input.left(), &size);
    unlink(kFile);
    dvrtest::TestCore core;
    // A few slots with defaults of their own, so that -1 twice has one to bring back.
    for (int slot : {0x21, 0x22, 0xFE})
        core.defaultLogLevels[slot] = static_cast<int8_t>(slot % 50);
    int8_t before[LogLevelArraySize];
    for (int slot = 0; slot < LogLevelArraySize; ++slot)
        before[slot] = core.logLevels[slot].load();

    const std::string update(reinterpret_cast<const char*>(text), size);
    core.ParseConfig(update);
    const bool refused = !XmlDocument().Parse(update);

    bool changed = false;
    for (int slot = 0; slot < LogLevelArraySize; ++slot) {
        const int8_t after = core.logLevels[slot].load();
        if (after == before[slot])
            continue;
        changed = true;
        // A refused document changes nothing.
        FUZZ_CHECK(!refused);
        FUZZ_CHECK((after >= -1 && after <= 100) || after == core.defaultLogLevels[slot].load());
    }
    // A change is written out as the status document, which reads back.
    if (changed) {
        XmlDocument status;
        FUZZ_CHECK(status.LoadFile(kFile));
    }
}

} // namespace

char workDirectory[] = "/tmp/dvrfuzz-configuration-XXXXXX";
std::filesystem::path startDirectory;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FUZZ_CHECK(mkdtemp(workDirectory) != nullptr);
    startDirectory = std::filesystem::current_path();
    atexit([] { std::filesystem::remove_all(workDirectory); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    // The core writes its documents to the working directory; the fuzzer's
    // own paths are relative to the starting one.
    FUZZ_CHECK(chdir(workDirectory) == 0);
    dvrfuzz::Input input(data, size);
    switch (input.u8() % 3) {
    case 0: {
        size_t got = 0;
        const unsigned char* text = input.bytes(input.left(), &got);
        ParseText(std::string_view(reinterpret_cast<const char*>(text), got));
        break;
    }
    case 1:
        LoadWithBackup(input);
        break;
    case 2:
        Update(input);
        break;
    }
    FUZZ_CHECK(chdir(startDirectory.c_str()) == 0);
    return 0;
}
