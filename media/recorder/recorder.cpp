#include "recorder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "annexb.h"
#include "retention.h"
#include "segment_scan.h"

namespace recorder {

namespace fs = std::filesystem;

namespace {
constexpr int64_t kRetryUs = 1000000;            // a failed disk is tried again after a second
constexpr int64_t kRetentionPeriodUs = 10000000; // age limits are checked this often
constexpr int64_t kDefaultFrameUs = 40000;       // a frame's duration when nothing tells it
// How long the writer lets frames gather before writing them, at most: a
// frame interval. A full batch is written at once.
constexpr auto kGather = std::chrono::milliseconds(40);

std::string Errno(int error)
{
    return std::strerror(error);
}
} // namespace

// What the writing thread knows about one camera.
struct Recorder::Camera {
    Camera(FileSystem& files, std::function<void(int fd)> sync) : writer(files, std::move(sync)) {}
    uint16_t number = 0;
    bool described = false; // a stream description was seen and no end since
    uint16_t generation = 0;
    StreamParams params;
    bool haveSequence = false;
    uint32_t nextSequence = 0;
    int64_t missed = 0; // frames not recorded since the camera's last segment
    SegmentWriter writer;
    SegmentRow row;
    // Decode times in the segment count from its first frame: origin is the
    // camera's timestamp of decode time 0, once a frame carried one.
    bool haveOrigin = false;
    int64_t origin = 0, lastRel = -1, lastDelta = 0, endRel = 0;

    int64_t UsToTicks(int64_t us) const
    {
        return static_cast<int64_t>(static_cast<__int128>(us) * params.timeBaseDen /
                                    (static_cast<__int128>(params.timeBaseNum) * 1000000));
    }
    int64_t TicksToUs(int64_t ticks) const
    {
        return static_cast<int64_t>(static_cast<__int128>(ticks) * params.timeBaseNum * 1000000 / params.timeBaseDen);
    }
    int64_t FrameTicks() const { return lastDelta > 0 ? lastDelta : std::max<int64_t>(1, UsToTicks(kDefaultFrameUs)); }
    // The camera's timestamp of a frame's decode time, or DVR_MEDIA_NO_TIMESTAMP.
    static int64_t Stamp(const DvrMediaFrameInfo& f) { return f.dts != DVR_MEDIA_NO_TIMESTAMP ? f.dts : f.pts; }
    // A frame's decode time in the segment. A frame without timestamps (an
    // RTSP stream's first often has none) follows its predecessor by a frame.
    int64_t Relative(const DvrMediaFrameInfo& f) const
    {
        const int64_t guess = lastRel < 0 ? 0 : lastRel + FrameTicks();
        const int64_t stamp = Stamp(f);
        const int64_t rel = stamp == DVR_MEDIA_NO_TIMESTAMP ? guess : haveOrigin ? stamp - origin : guess;
        return rel <= lastRel ? lastRel + 1 : rel; // decode times must rise
    }
    void Restart()
    {
        haveOrigin = false;
        lastRel = -1;
        lastDelta = 0;
        endRel = 0;
    }
};

FragmentSyncer::FragmentSyncer(FileSystem& files) : files_(files), thread_(&FragmentSyncer::Run, this) {}

FragmentSyncer::~FragmentSyncer()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void FragmentSyncer::Sync(int fd)
{
    const int copy = files_.Duplicate(fd);
    if (copy < 0)
        return; // out of descriptors: this fragment reaches the disk with the kernel's own writeback
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(copy);
    }
    wake_.notify_one();
}

void FragmentSyncer::Run()
{
    for (;;) {
        int fd;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return !pending_.empty() || stopping_; });
            if (pending_.empty())
                return;
            fd = pending_.front();
            pending_.pop_front();
        }
        // A failure shows again in the writer's next write or at the segment's close.
        files_.Sync(fd);
        files_.Close(fd);
    }
}

Recorder::Recorder(RecorderConfig config, FileSystem& files, RecorderHooks hooks)
    : config_(std::move(config)), files_(files), hooks_(std::move(hooks))
{}

Recorder::~Recorder()
{
    Stop();
}

void Recorder::Start()
{
    std::lock_guard lock(mutex_);
    if (running_)
        return;
    running_ = true;
    stopping_ = false;
    ready_ = false;
    thread_ = std::thread(&Recorder::Run, this);
}

void Recorder::Stop()
{
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard lock(mutex_);
    running_ = false;
}

Recorder::Counters Recorder::counters() const
{
    std::lock_guard lock(mutex_);
    return counters_;
}

int64_t Recorder::waitingBytes(uint16_t camera) const
{
    std::lock_guard lock(mutex_);
    const auto found = intake_.find(camera);
    return found == intake_.end() ? 0 : found->second.waitingBytes;
}

bool Recorder::ready() const
{
    std::lock_guard lock(mutex_);
    return ready_;
}

void Recorder::Log(int32_t level, const std::string& text)
{
    hooks_.log(level, "recorder: " + text);
}

bool Recorder::Frame(const DvrMediaFrameInfo& info, void* block, uint32_t size)
{
    std::string line;
    bool kept = false, wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!running_ || stopping_)
            return false;
        Intake& intake = intake_[info.camera];
        const bool fits = intake.waitingBytes + size <= config_.cameraQueueBytes;
        // Past the cap the camera's frames are dropped until a key frame fits
        // again: a dependent frame without its predecessors is worthless.
        if (intake.dropping && info.keyFrame == 1 && fits) {
            line = "camera " + std::to_string(info.camera) + ": recording again after dropping " +
                   std::to_string(intake.dropped) + " frames while the disk was slow";
            intake.dropping = false;
            intake.dropped = 0;
        } else if (intake.dropping || !fits) {
            if (!intake.dropping)
                line = "camera " + std::to_string(info.camera) + ": disk too slow, " +
                       std::to_string(intake.waitingBytes) + " bytes waiting: dropping frames until the next key frame";
            intake.dropping = true;
            ++intake.dropped;
            ++counters_.framesDropped;
        }
        if (!intake.dropping) {
            intake.waitingBytes += size;
            queue_.push_back(Item{Item::kFrame, info, {}, block, size, {}});
            kept = true;
            // The writer waits for a first item, then for a batch to gather.
            wake = queue_.size() == 1 || queue_.size() == kGatherItems;
        }
    }
    if (!line.empty())
        Log(LEVEL_WARNING, line);
    if (wake)
        wake_.notify_one();
    return kept;
}

void Recorder::Stream(const DvrMediaStreamInfo& info, const void* parameterSets, uint32_t size)
{
    Item item{Item::kStream, {}, info, nullptr, 0, {}};
    if (parameterSets && size)
        item.parameterSets.assign(static_cast<const uint8_t*>(parameterSets),
                                  static_cast<const uint8_t*>(parameterSets) + size);
    Push(std::move(item));
}

void Recorder::StreamEnd(const DvrMediaStreamInfo& info)
{
    Push(Item{Item::kEnd, {}, info, nullptr, 0, {}});
}

void Recorder::Push(Item item)
{
    {
        std::lock_guard lock(mutex_);
        if (!running_ || stopping_)
            return;
        queue_.push_back(std::move(item));
    }
    wake_.notify_one();
}

std::string Recorder::PathOf(const std::string& relative) const
{
    return (fs::path(config_.directory) / relative).string();
}

void Recorder::Run()
{
    if (config_.syncFragments)
        syncer_ = std::make_unique<FragmentSyncer>(files_);
    const int made = files_.MakeDirectory(config_.directory);
    std::string problem = made < 0 ? config_.directory + ": " + Errno(-made) : index_.Open(config_.directory);
    if (problem.empty()) {
        const int entered = index_.Rebuild(files_);
        Log(LEVEL_INFO, "recording to " + config_.directory + " (" + std::to_string(index_.All().size()) +
                            " segments, " + std::to_string(entered) + " repaired or entered from the files)");
        RunRetention();
    } else {
        // Without an index the segments are still written; the next start enters them.
        Log(LEVEL_CRITICAL, "cannot open the index: " + problem);
        indexFailing_ = true;
    }
    {
        std::lock_guard lock(mutex_);
        ready_ = true;
    }
    std::deque<Item> batch;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, std::chrono::seconds(1), [&] { return !queue_.empty() || stopping_; });
            if (queue_.empty() && stopping_)
                break;
            if (queue_.empty()) {
                lock.unlock();
                if (Now() >= nextRetentionUs_)
                    RunRetention();
                continue;
            }
            // Let the frames of a frame interval gather and write them
            // together: one wake-up for many frames, not one for each.
            wake_.wait_for(lock, kGather, [&] { return stopping_ || queue_.size() >= kGatherItems; });
            batch.swap(queue_);
        }
        std::map<uint16_t, int64_t> written; // bytes of frames written, per camera
        for (Item& item : batch) {
            Process(item);
            if (item.kind == Item::kFrame)
                written[item.frame.camera] += item.size;
        }
        batch.clear();
        {
            std::lock_guard lock(mutex_);
            for (const auto& [camera, bytes] : written)
                intake_[camera].waitingBytes -= bytes;
            counters_.framesWritten += framesWritten_;
        }
        framesWritten_ = 0;
        if (Now() >= nextRetentionUs_)
            RunRetention();
    }
    for (auto& [number, camera] : cameras_)
        if (camera->writer.open())
            CloseSegment(*camera, "stop");
    index_.CloseDatabase();
    syncer_.reset();
}

void Recorder::Process(Item& item)
{
    switch (item.kind) {
    case Item::kFrame:
        OnFrame(item);
        break;
    case Item::kStream:
        OnStream(item);
        break;
    case Item::kEnd:
        OnStreamEnd(item);
        break;
    }
    if (item.kind == Item::kFrame)
        hooks_.release(item.block);
}

Recorder::Camera& Recorder::CameraOf(uint16_t number)
{
    auto& slot = cameras_[number];
    if (!slot) {
        std::function<void(int fd)> sync;
        if (config_.syncFragments)
            sync = [this](int fd) { syncer_->Sync(fd); };
        slot = std::make_unique<Camera>(files_, std::move(sync));
        slot->number = number;
    }
    return *slot;
}

void Recorder::NoteSequence(Camera& camera, uint32_t sequence)
{
    // Unsigned difference: a jump forward is the number of frames missed; the
    // camera numbering again from elsewhere is a gap of unknown size.
    if (camera.haveSequence && sequence != camera.nextSequence) {
        const uint32_t jump = sequence - camera.nextSequence;
        camera.missed += jump < 0x80000000u ? jump : 0;
        if (camera.writer.open())
            CloseSegment(camera, "gap");
    }
    camera.haveSequence = true;
    camera.nextSequence = sequence;
}

void Recorder::OnStream(const Item& item)
{
    const DvrMediaStreamInfo& info = item.stream;
    Camera& camera = CameraOf(info.camera);
    // A new description is a new connection or new parameters: a new segment.
    if (camera.writer.open())
        CloseSegment(camera, "stream");
    NoteSequence(camera, info.sequence);
    camera.described = info.timeBaseNum > 0 && info.timeBaseDen > 0 &&
                       (info.codec == DVR_MEDIA_CODEC_H264 || info.codec == DVR_MEDIA_CODEC_H265);
    camera.generation = info.streamGeneration;
    camera.params.codec = info.codec;
    camera.params.width = info.width;
    camera.params.height = info.height;
    camera.params.timeBaseNum = info.timeBaseNum;
    camera.params.timeBaseDen = info.timeBaseDen;
    camera.params.parameterSets = item.parameterSets;
    if (!camera.described)
        Log(LEVEL_WARNING, "camera " + std::to_string(info.camera) + ": stream not recorded: codec " +
                               std::to_string(info.codec) + ", time base " + std::to_string(info.timeBaseNum) + "/" +
                               std::to_string(info.timeBaseDen));
}

void Recorder::OnStreamEnd(const Item& item)
{
    Camera& camera = CameraOf(item.stream.camera);
    if (camera.writer.open())
        CloseSegment(camera, "stream");
    NoteSequence(camera, item.stream.sequence);
    camera.described = false;
}

void Recorder::OnFrame(const Item& item)
{
    const DvrMediaFrameInfo& f = item.frame;
    Camera& camera = CameraOf(f.camera);
    NoteSequence(camera, f.sequence);
    camera.nextSequence = f.sequence + 1;
    const bool key = f.keyFrame == 1;
    const auto* data = static_cast<const uint8_t*>(item.block);
    // Only frames of the description this recorder saw can be written.
    if (!camera.described || f.streamGeneration != camera.generation || f.codec != camera.params.codec || !data) {
        ++camera.missed;
        return;
    }
    if (camera.writer.open() && key && camera.Relative(f) >= camera.UsToTicks(config_.segmentSeconds * 1000000))
        CloseSegment(camera, "length");
    if (!camera.writer.open()) {
        // A segment starts at a key frame; a failed disk is tried again at most once a second.
        if (!key || (diskFailing_ && FrameTime(f) < retryAtUs_) || !OpenSegment(camera, item)) {
            ++camera.missed;
            return;
        }
    }
    const int64_t rel = camera.Relative(f);
    const int64_t pts = f.pts != DVR_MEDIA_NO_TIMESTAMP && f.dts != DVR_MEDIA_NO_TIMESTAMP
                            ? rel + std::max<int64_t>(0, f.pts - f.dts)
                            : rel;
    if (camera.lastRel >= 0)
        camera.lastDelta = rel - camera.lastRel;
    const int64_t duration = f.duration > 0 ? int64_t{f.duration} : camera.FrameTicks();
    const int written = camera.writer.Write(data, item.size, key, pts, rel, duration);
    if (written < 0) {
        if (camera.writer.fileError()) {
            DiskFailed(camera, camera.writer.fileError(), FrameTime(f));
        } else {
            // The muxer refused this frame: it is left out, the segment goes on.
            ++camera.missed;
        }
        return;
    }
    if (!camera.haveOrigin && Camera::Stamp(f) != DVR_MEDIA_NO_TIMESTAMP) {
        camera.origin = Camera::Stamp(f) - rel;
        camera.haveOrigin = true;
    }
    camera.lastRel = rel;
    camera.endRel = std::max(camera.endRel, rel + duration);
    ++camera.row.frames;
    ++framesWritten_;
}

bool Recorder::OpenSegment(Camera& camera, const Item& item)
{
    const DvrMediaFrameInfo& f = item.frame;
    const int64_t wall = FrameTime(f);
    RunRetention();
    const int64_t free = files_.FreeBytes(config_.directory);
    if (free >= 0 && free < config_.limits.minFreeBytes) {
        DiskFailed(camera, ENOSPC, wall);
        return false;
    }
    StreamParams params = camera.params;
    if (params.parameterSets.empty())
        params.parameterSets = ParameterSets(params.codec, static_cast<const uint8_t*>(item.block), item.size);
    // The file name carries the start to the millisecond, so the index can be rebuilt from it.
    SegmentRow row;
    row.camera = camera.number;
    row.startUs = wall / 1000 * 1000;
    files_.MakeDirectory(PathOf("camera-" + std::to_string(camera.number)));
    int opened = -EEXIST;
    for (int attempt = 0; attempt < 100 && opened == -EEXIST; ++attempt) {
        row.file = SegmentFileName(camera.number, row.startUs, attempt);
        opened = camera.writer.Open(PathOf(row.file), params);
    }
    if (opened < 0) {
        const int error = camera.writer.fileError() ? camera.writer.fileError() : opened > -4096 ? -opened : 0;
        camera.writer.Abandon();
        files_.Remove(PathOf(row.file));
        if (error == ENOSPC || error == EIO || error == EDQUOT || error == EROFS) {
            DiskFailed(camera, error, wall);
        } else {
            Log(LEVEL_WARNING, "camera " + std::to_string(camera.number) + ": cannot start " + row.file + ": error " +
                                   std::to_string(opened));
        }
        return false;
    }
    if (diskFailing_) {
        diskFailing_ = false;
        Log(LEVEL_WARNING, "disk writable again: recording resumed in " + row.file);
    }
    row.endUs = row.startUs;
    row.gapBefore = camera.missed;
    row.state = "open";
    camera.missed = 0;
    camera.Restart();
    camera.row = row;
    if (!index_.Insert(camera.row) && !indexFailing_) {
        indexFailing_ = true;
        Log(LEVEL_WARNING, "index not updated: " + index_.lastError() + " (the next start enters the files)");
    }
    return true;
}

void Recorder::CloseSegment(Camera& camera, const char* reason)
{
    SegmentRow& row = camera.row;
    const int closed = camera.writer.Close();
    row.endUs = row.startUs + camera.TicksToUs(camera.endRel);
    row.bytes = static_cast<int64_t>(camera.writer.bytes());
    row.state = "closed";
    row.endedBy = reason;
    if (closed < 0) {
        // The end did not reach the disk: keep what did, up to its last complete fragment.
        const SegmentFacts facts = RepairSegment(files_, PathOf(row.file));
        row.state = "cut";
        row.bytes = facts.fileBytes;
        row.frames = static_cast<int64_t>(facts.frames);
        row.endUs = row.startUs + facts.durationUs;
        if (!facts.readable || facts.frames == 0) {
            files_.Remove(PathOf(row.file));
            index_.Remove(row.id);
            row.id = 0;
        }
    }
    if (row.id && !index_.Update(row) && !indexFailing_) {
        indexFailing_ = true;
        Log(LEVEL_WARNING, "index not updated: " + index_.lastError() + " (the next start enters the files)");
    }
    {
        std::lock_guard lock(mutex_);
        ++counters_.segmentsClosed;
    }
    nextRetentionUs_ = 0; // a closed segment may now be deleted
}

void Recorder::DiskFailed(Camera& camera, int error, int64_t atUs)
{
    if (!diskFailing_)
        Log(LEVEL_CRITICAL, "cannot write to " + config_.directory + ": " + Errno(error) +
                                ": recording paused, deleting the oldest recordings");
    diskFailing_ = true;
    retryAtUs_ = atUs + kRetryUs;
    if (camera.writer.open())
        CloseSegment(camera, "disk"); // its writes fail from now on: the file is cut back to what is whole
    RunRetention();
}

void Recorder::RunRetention()
{
    nextRetentionUs_ = Now() + kRetentionPeriodUs;
    std::vector<SegmentRow> rows = index_.All();
    for (SegmentRow& row : rows)
        for (auto& [number, camera] : cameras_)
            if (camera->writer.open() && row.id == camera->row.id)
                row.bytes = static_cast<int64_t>(camera->writer.bytes());
    RetentionLimits limits = config_.limits;
    // While the disk refuses writes, make room for two segments as large as
    // the largest kept: the oldest recordings give way to the newest.
    if (diskFailing_) {
        int64_t largest = 0;
        for (const SegmentRow& row : rows)
            largest = std::max(largest, row.bytes);
        limits.minFreeBytes = std::max(limits.minFreeBytes, 2 * largest);
    }
    const int64_t free = files_.FreeBytes(config_.directory);
    const std::vector<int64_t> chosen = ChooseDeletions(rows, limits, Now(), free);
    std::map<int64_t, const SegmentRow*> byId;
    for (const SegmentRow& row : rows)
        byId[row.id] = &row;
    int64_t freed = 0;
    for (int64_t id : chosen) {
        const SegmentRow& row = *byId[id];
        const int removed = files_.Remove(PathOf(row.file));
        if (removed == 0 || removed == -ENOENT) {
            index_.Remove(id);
            freed += row.bytes;
        }
    }
    if (!chosen.empty())
        Log(LEVEL_DETAIL,
            "deleted " + std::to_string(chosen.size()) + " old segments (" + std::to_string(freed) + " bytes)");
}

} // namespace recorder
