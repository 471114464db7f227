// The index of segments by camera and time, in an SQLite database beside the
// recordings. The files are the truth: whatever the index lacks after a crash
// is entered again from the files (Rebuild).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "file_system.h"

struct sqlite3;
struct sqlite3_stmt;

namespace recorder {

struct SegmentRow {
    int64_t id = 0;
    uint32_t camera = 0;
    std::string file;               // relative to the recordings directory
    int64_t startUs = 0, endUs = 0; // wall clock, microseconds since 1970
    int64_t bytes = 0;
    int64_t frames = 0;
    int64_t gapBefore = 0; // frames not recorded between the camera's previous segment and this one
    std::string state;     // "open", "closed" or "cut" (entered from a file that had no clean end)
    std::string endedBy;   // why the segment ended: length, gap, stream, stop, disk, crash
};

class RecordingIndex {
public:
    ~RecordingIndex();
    // Opens (and creates) `directory`/index.sqlite. Empty on success, else the reason.
    std::string Open(const std::string& directory, bool readOnly = false);
    void CloseDatabase();

    // Each returns false when the database refused (full disk, I/O error).
    bool Insert(SegmentRow& row); // sets row.id
    bool Update(const SegmentRow& row);
    bool Remove(int64_t id);

    // Segments of `camera` (0: every camera) overlapping [fromUs, toUs), oldest first.
    std::vector<SegmentRow> Find(uint32_t camera, int64_t fromUs, int64_t toUs) const;
    std::vector<SegmentRow> All() const;

    // Makes the index agree with the files: rows whose file is gone are
    // removed, rows left open by a crash and files the index lacks are
    // repaired (cut back to their last complete fragment) and entered.
    // Returns the number of rows added or changed.
    int Rebuild(FileSystem& files);

    std::string lastError() const;

private:
    // Runs one statement whose parameters `bind` sets; true when it completed.
    bool Execute(const char* sql, const std::function<void(sqlite3_stmt*)>& bind);
    std::vector<SegmentRow> Query(const char* sql, uint32_t camera, int64_t fromUs, int64_t toUs) const;
    sqlite3* db_ = nullptr;
    std::string directory_;
};

// File layout: camera-<n>/<UTC start>.mp4, the start as YYYYMMDD-HHMMSS.mmm.
std::string SegmentFileName(uint32_t camera, int64_t startUs, int attempt);
// The camera and start time of a file named so, or nullopt.
std::optional<std::pair<uint32_t, int64_t>> ParseSegmentFileName(const std::string& relative);

} // namespace recorder
