#include "recording_index.h"

#include <sqlite3.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>

#include "segment_scan.h"

namespace recorder {

namespace fs = std::filesystem;

namespace {

const char* kSchema = "CREATE TABLE IF NOT EXISTS segments("
                      " id INTEGER PRIMARY KEY,"
                      " camera INTEGER NOT NULL,"
                      " file TEXT NOT NULL UNIQUE,"
                      " start_us INTEGER NOT NULL,"
                      " end_us INTEGER NOT NULL,"
                      " bytes INTEGER NOT NULL,"
                      " frames INTEGER NOT NULL,"
                      " gap_before INTEGER NOT NULL DEFAULT 0,"
                      " state TEXT NOT NULL,"
                      " ended_by TEXT NOT NULL DEFAULT '');"
                      "CREATE INDEX IF NOT EXISTS segments_by_time ON segments(camera, start_us);";

const char* kColumns = "id, camera, file, start_us, end_us, bytes, frames, gap_before, state, ended_by";

// One prepared statement, finalized on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

void BindRow(sqlite3_stmt* stmt, const SegmentRow& row)
{
    sqlite3_bind_int64(stmt, 1, row.camera);
    sqlite3_bind_text(stmt, 2, row.file.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 3, row.startUs);
    sqlite3_bind_int64(stmt, 4, row.endUs);
    sqlite3_bind_int64(stmt, 5, row.bytes);
    sqlite3_bind_int64(stmt, 6, row.frames);
    sqlite3_bind_int64(stmt, 7, row.gapBefore);
    sqlite3_bind_text(stmt, 8, row.state.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 9, row.endedBy.c_str(), -1, SQLITE_TRANSIENT);
}

std::string Text(sqlite3_stmt* stmt, int column)
{
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

} // namespace

std::string SegmentFileName(uint32_t camera, int64_t startUs, int attempt)
{
    const time_t seconds = static_cast<time_t>(startUs / 1000000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char name[96];
    std::snprintf(name, sizeof name, "camera-%u/%04d%02d%02d-%02d%02d%02d.%03d", camera, utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(startUs / 1000 % 1000));
    // Two segments of one camera starting in the same millisecond get -1, -2...
    return std::string(name) + (attempt > 0 ? "-" + std::to_string(attempt) : "") + ".mp4";
}

std::optional<std::pair<uint32_t, int64_t>> ParseSegmentFileName(const std::string& relative)
{
    static const std::regex pattern(R"(camera-(\d{1,5})/(\d{4})(\d\d)(\d\d)-(\d\d)(\d\d)(\d\d)\.(\d{3})(-\d+)?\.mp4)");
    std::smatch m;
    if (!std::regex_match(relative, m, pattern))
        return std::nullopt;
    struct tm utc = {};
    utc.tm_year = std::stoi(m[2]) - 1900;
    utc.tm_mon = std::stoi(m[3]) - 1;
    utc.tm_mday = std::stoi(m[4]);
    utc.tm_hour = std::stoi(m[5]);
    utc.tm_min = std::stoi(m[6]);
    utc.tm_sec = std::stoi(m[7]);
    const int64_t seconds = timegm(&utc);
    const unsigned long camera = std::stoul(m[1]);
    if (camera == 0 || camera > 65535)
        return std::nullopt;
    return std::make_pair(static_cast<uint32_t>(camera), seconds * 1000000 + std::stoll(m[8]) * 1000);
}

RecordingIndex::~RecordingIndex()
{
    CloseDatabase();
}

std::string RecordingIndex::Open(const std::string& directory, bool readOnly)
{
    CloseDatabase();
    directory_ = directory;
    const std::string path = (fs::path(directory) / "index.sqlite").string();
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
        CloseDatabase();
        return path + ": " + reason;
    }
    sqlite3_busy_timeout(db_, 2000);
    if (readOnly)
        return "";
    // Write-ahead logging lets the list tool read while the recorder writes;
    // a crash loses at most the last transactions, which Rebuild restores.
    if (sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr) !=
            SQLITE_OK ||
        sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::string reason = path + ": " + sqlite3_errmsg(db_);
        CloseDatabase();
        return reason;
    }
    return "";
}

void RecordingIndex::CloseDatabase()
{
    if (db_)
        sqlite3_close(db_);
    db_ = nullptr;
}

std::string RecordingIndex::lastError() const
{
    return db_ ? sqlite3_errmsg(db_) : "index not open";
}

bool RecordingIndex::Execute(const char* sql, const std::function<void(sqlite3_stmt*)>& bind)
{
    if (!db_)
        return false;
    Statement stmt(db_, sql);
    if (!stmt)
        return false;
    bind(stmt.get());
    return sqlite3_step(stmt.get()) == SQLITE_DONE;
}

bool RecordingIndex::Insert(SegmentRow& row)
{
    if (!Execute("INSERT INTO segments(camera, file, start_us, end_us, bytes, frames, gap_before, state, ended_by) "
                 "VALUES(?,?,?,?,?,?,?,?,?)",
                 [&](sqlite3_stmt* stmt) { BindRow(stmt, row); }))
        return false;
    row.id = sqlite3_last_insert_rowid(db_);
    return true;
}

bool RecordingIndex::Update(const SegmentRow& row)
{
    return Execute(
        "UPDATE segments SET camera=?, file=?, start_us=?, end_us=?, bytes=?, frames=?, gap_before=?, "
        "state=?, ended_by=? WHERE id=?",
        [&](sqlite3_stmt* stmt) {
            BindRow(stmt, row);
            sqlite3_bind_int64(stmt, 10, row.id);
        });
}

bool RecordingIndex::Remove(int64_t id)
{
    return Execute(
        "DELETE FROM segments WHERE id=?", [&](sqlite3_stmt* stmt) { sqlite3_bind_int64(stmt, 1, id); });
}

std::vector<SegmentRow> RecordingIndex::Query(const char* where, uint32_t camera, int64_t fromUs, int64_t toUs) const
{
    std::vector<SegmentRow> rows;
    if (!db_)
        return rows;
    const std::string sql = std::string("SELECT ") + kColumns + " FROM segments " + where + " ORDER BY start_us, id";
    Statement stmt(db_, sql.c_str());
    if (!stmt)
        return rows;
    const int parameters = sqlite3_bind_parameter_count(stmt.get());
    if (parameters >= 3) {
        sqlite3_bind_int64(stmt.get(), 1, camera);
        sqlite3_bind_int64(stmt.get(), 2, toUs);
        sqlite3_bind_int64(stmt.get(), 3, fromUs);
    }
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        SegmentRow row;
        row.id = sqlite3_column_int64(stmt.get(), 0);
        row.camera = static_cast<uint32_t>(sqlite3_column_int64(stmt.get(), 1));
        row.file = Text(stmt.get(), 2);
        row.startUs = sqlite3_column_int64(stmt.get(), 3);
        row.endUs = sqlite3_column_int64(stmt.get(), 4);
        row.bytes = sqlite3_column_int64(stmt.get(), 5);
        row.frames = sqlite3_column_int64(stmt.get(), 6);
        row.gapBefore = sqlite3_column_int64(stmt.get(), 7);
        row.state = Text(stmt.get(), 8);
        row.endedBy = Text(stmt.get(), 9);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<SegmentRow> RecordingIndex::Find(uint32_t camera, int64_t fromUs, int64_t toUs) const
{
    return Query("WHERE (?1 = 0 OR camera = ?1) AND start_us < ?2 AND end_us > ?3", camera, fromUs, toUs);
}

std::vector<SegmentRow> RecordingIndex::All() const
{
    return Query("", 0, 0, 0);
}

int RecordingIndex::Rebuild(FileSystem& files)
{
    int changed = 0;
    std::set<std::string> known;
    for (SegmentRow& row : All()) {
        const std::string path = (fs::path(directory_) / row.file).string();
        std::error_code error;
        if (!fs::exists(path, error)) {
            changed += Remove(row.id);
            continue;
        }
        known.insert(row.file);
        if (row.state != "open")
            continue;
        // Left open by a crash: what the file holds up to its last complete fragment.
        const SegmentFacts facts = RepairSegment(files, path);
        if (!facts.readable || facts.frames == 0) {
            files.Remove(path);
            changed += Remove(row.id);
            continue;
        }
        row.endUs = row.startUs + facts.durationUs;
        row.bytes = facts.fileBytes;
        row.frames = static_cast<int64_t>(facts.frames);
        row.state = facts.complete ? "closed" : "cut";
        row.endedBy = "crash";
        changed += Update(row);
    }
    // Files first, then changes: the directory is not altered while it is walked.
    std::vector<std::string> unknown;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory_, error), end; !error && it != end; it.increment(error)) {
        const std::string relative = fs::relative(it->path(), directory_).generic_string();
        if (it->is_regular_file() && !known.count(relative) && ParseSegmentFileName(relative))
            unknown.push_back(relative);
    }
    for (const std::string& relative : unknown) {
        const auto parsed = ParseSegmentFileName(relative);
        const std::string path = (fs::path(directory_) / relative).string();
        const SegmentFacts facts = RepairSegment(files, path);
        if (!facts.readable || facts.frames == 0) {
            files.Remove(path);
            continue;
        }
        SegmentRow row;
        row.camera = parsed->first;
        row.file = relative;
        row.startUs = parsed->second;
        row.endUs = row.startUs + facts.durationUs;
        row.bytes = facts.fileBytes;
        row.frames = static_cast<int64_t>(facts.frames);
        row.gapBefore = 0;
        row.state = facts.complete ? "closed" : "cut";
        row.endedBy = "crash";
        changed += Insert(row);
    }
    return changed;
}

} // namespace recorder
