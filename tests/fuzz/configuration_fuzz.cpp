// The configuration path: the XML layer's nesting check and parse on
// arbitrary text, LoadFileWithBackup on arbitrary files, and
// dvrcore::ParseConfig on arbitrary update text. Checks that a parsed document,
// or what was built before an error, keeps within the nesting and attribute
// limits; that a load with backup reports truly whether a
// document came in and leaves exactly the file it loaded, under the name;
// that an update sets only thresholds of -1..100 or a slot's own default, and
// that the status document it writes loads again.
//
// Input: u8 mode, then per mode
//   0  the text to parse
//   1  u8 which files exist, u16 length of the file's text, the file's text,
//      then the backup's text
//   2  the update text
#include <sys/stat.h>
#include <unistd.h>

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

void CheckLimits(const TiXmlDocument& document)
{
    std::vector<std::pair<const TiXmlNode*, int>> stack{{&document, 0}};
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        // Every node opened by "<" counts; plain text inside the deepest
        // element allowed is not a level of its own.
        const TiXmlText* text = node->ToText();
        if (!text || text->CDATA())
            FUZZ_CHECK(depth <= MAX_PARSE_DEPTH);
        if (const TiXmlElement* element = node->ToElement()) {
            int attributes = 0;
            for (const TiXmlAttribute* a = element->FirstAttribute(); a; a = a->Next())
                ++attributes;
            FUZZ_CHECK(attributes <= MAX_ATTRIBUTES_PER_ELEMENT);
        }
        for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling())
            stack.emplace_back(child, depth + 1);
    }
}

void ParseText(std::string_view text)
{
    XmlDocument document;
    const bool parsed = document.Parse(text);
    FUZZ_CHECK(parsed == !document.Error());
    // What was built before an error stays, within the limits too.
    CheckLimits(document.document);
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
    unlink(kFile);
    unlink(kBackup);
    if (which & 1)
        WriteContents(kFile, fileText, fileSize);
    if (which & 2)
        WriteContents(kBackup, backupText, backupSize);
    const std::string file = Contents(kFile), backup = Contents(kBackup);

    XmlDocument alone;
    const bool fileLoads = alone.LoadFile(kFile);
    XmlDocument document;
    const bool loaded = LoadFileWithBackup(document, kFile);
    FUZZ_CHECK(loaded == !document.Error());
    CheckLimits(document.document);
    if (fileLoads) {
        // The file stands; a backup beside it is no longer needed.
        FUZZ_CHECK(loaded && Contents(kFile) == file && !Exists(kBackup));
    } else if (loaded) {
        // The backup took the file's place.
        FUZZ_CHECK((which & 2) && Contents(kFile) == backup && !Exists(kBackup));
    } else {
        // Nothing loaded: nothing was touched.
        FUZZ_CHECK(Exists(kFile) == bool(which & 1) && Exists(kBackup) == bool(which & 2));
        FUZZ_CHECK(Contents(kFile) == file && Contents(kBackup) == backup);
    }
}

class ConfigCore : public dvrtest::TestCore {
public:
    int8_t Default(int slot) { return defaultLogLevels[slot].load(); }
    void SetDefault(int slot, int8_t level) { defaultLogLevels[slot] = level; }
};

void Update(dvrfuzz::Input& input)
{
    size_t size = 0;
    const unsigned char* text = input.bytes(input.left(), &size);
    unlink(kFile);
    ConfigCore core;
    // A few slots with defaults of their own, so that -1 twice has one to bring back.
    for (int slot : {0x21, 0x22, 0xFE})
        core.SetDefault(slot, static_cast<int8_t>(slot % 50));
    int8_t before[LogLevelArraySize];
    for (int slot = 0; slot < LogLevelArraySize; ++slot)
        before[slot] = core.logLevels[slot].load();

    core.ParseConfig(std::string(reinterpret_cast<const char*>(text), size));

    bool changed = false;
    for (int slot = 0; slot < LogLevelArraySize; ++slot) {
        const int8_t after = core.logLevels[slot].load();
        if (after == before[slot])
            continue;
        changed = true;
        FUZZ_CHECK((after >= -1 && after <= 100) || after == core.Default(slot));
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
