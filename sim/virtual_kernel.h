// The virtual V4L2 kernel: video capture nodes, a media graph, sub-devices,
// sysfs links and the device-tree model, as a driver presents them.
#pragma once

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <cstdarg>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "replay_source.h"
#include "scene_renderer.h"

struct dirent;

namespace LumivexSim {

struct Config {
    std::string platform = "rpi5";  // rpi5 | rpi4 | xavier | nano | generic
    std::string model;              // device-tree model text (platform's by default)
    std::string scene = "default";
    LensModel lens = defaultLens();  // the ray-cast scenes' lens
    double fps = 30.0;
    Layout layout = Layout::Y12P;
    int cameras = 1;
    std::string sensorName = "lumivex-sorvantic 10-0010";
    uint32_t noiseSeed = 0;
    bool moving = false;
    std::string logPath;
    // A recording the first capture node replays instead of the scene.
    std::string replayPath;
    bool replayFast = false;     // frames as fast as the reader takes them
    bool replayLoop = false;     // the recording starts over at its end

    // Faults on demand.
    int grant = -1;              // buffers granted by REQBUFS (-1: as asked)
    int mmapFail = 0;            // the n-th buffer mmap fails (0: none)
    int dqbufIndex = -1;         // the next DQBUF reports this index
    long stallAfter = -1;        // the sensor stops after this many sub-frames
    long bufferLength = -1;      // driver buffer length instead of the layout's
    std::vector<std::string> entries;  // the video device's sysfs folder
    bool entriesSet = false;
    bool scandirFail = false, fstatFail = false, notChar = false;
    std::string readlinkFail, linkNoSlash, linkNotSubdev;  // entity name parts
    std::string subdevOpenFail;  // node path part
    bool ctrlRefuse = false, noSensor = false, extraCsi2 = false, noReceiver = false;
    bool linkFail = false, subdevFormatFail = false, videoOpenFail = false;
    long spacingMicros = 500;    // between the sub-frames of one frame
    bool stampsOfUnknownClock = false;  // buffers flagged V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN
    long formatWidth = -1;       // the driver answers S_FMT/TRY_FMT with this width
    long tryField = -1;          // TRY_FMT answers with this field
    size_t logCapacity = 20000;  // events kept in memory (the file log keeps all)
    std::vector<timeval> timestamps;  // scripted sub-frame time stamps
    std::map<unsigned long, std::deque<int>> ioctlErrors;  // per request: errno, 0 = pass
};

// Parses "key=value,..." into `config` (starting from its current values).
bool applySettings(Config& config, const std::string& settings, std::string& error);
// The platform's model text and driver layout.
void applyPlatformDefaults(Config& config);

struct Entity {
    uint32_t id;
    std::string name;
    uint32_t major, minor;
    int subdev;  // N of /dev/v4l-subdevN, or -1
};

class VirtualKernel {
public:
    static VirtualKernel& instance();

    bool handlesPath(const char* path) const;
    int open(const char* path, int flags);  // a descriptor, or -1 with errno
    bool isVirtual(int fd) const;
    int close(int fd);
    int ioctl(int fd, unsigned long request, void* argument);
    void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset);
    bool ownsMapping(void* address);
    int munmap(void* address, size_t length);
    int fstat(int fd, struct stat* status);
    // poll on virtual descriptors: POLLIN once a sub-frame can be dequeued.
    int poll(struct pollfd* fds, unsigned long count, int timeoutMs);
    bool handlesSysfs(const char* path) const;
    int scandir(const char* path, struct dirent*** list);
    ssize_t readlink(const char* path, char* buffer, size_t size);
    FILE* openModel();
    // The model for open(): a descriptor of an anonymous file holding it.
    int openModelDescriptor();
    // A virtual node's uevent file for open(), as the model is given.
    int openUevent(const char* path);

    int configure(const char* settings);
    // The lens the ray-cast scenes are seen through.
    LensModel sceneLens() const {
        std::lock_guard<std::mutex> lock(mutex);
        return config.lens;
    }
    std::string logText();
    void clearLog();
    int openDescriptors();
    int liveMappings();

private:
    VirtualKernel();
    enum class Kind { Video, Media, Subdev };
    struct OpenFile {
        Kind kind;
        int index;
        std::string path;
    };
    struct Buffer {
        uint32_t length = 0, offset = 0;
        bool queued = false;
        timeval timestamp{};
        uint32_t sequence = 0;
    };
    struct VideoNode {
        v4l2_pix_format format{};
        int input = 0;
        bool streaming = false;
        int memfd = -1;
        uint8_t* driverMap = nullptr;
        size_t mapSize = 0, stride = 0;
        std::vector<Buffer> buffers;
        std::deque<uint32_t> queue;  // queued, waiting to be filled
        std::deque<uint32_t> done;   // filled, waiting to be dequeued
        // The descriptor that owns the buffer queue (the one that allocated
        // its buffers), or -1: only it may queue, dequeue and stream.
        int owner = -1;
        int frameRange = 4;  // the range the sensor took as its current frame began
        uint64_t nextSubFrame = 0;
        int64_t startMicros = 0;
        uint32_t sequence = 0;
        uint64_t delivered = 0;  // sub-frames the sensor sent since stream on
        int mappings = 0;
        // Replay: the recorded frame being sent, its next sub-frame, when it
        // is due, and when the one before it was.
        const LumivexRecording::Frame* replayed = nullptr;
        int replaySub = 0;
        int64_t replayFrameMicros = 0, previousReplayMicros = 0;
        bool replayEnded = false;
    };
    struct Mapping {
        size_t length;
        std::string path;
    };

    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void resetDevices();
    std::vector<Entity> entities() const;
    const Entity* entityByDevice(uint32_t major, uint32_t minor) const;
    bool controlsOnSubdev() const;
    int failWith(int error) const;
    int scriptedError(unsigned long request);

    int videoIoctl(std::unique_lock<std::mutex>& lock, int fd, int index, const std::string& path,
                   unsigned long request, void* argument);
    // Fills the queued buffers with every sub-frame due by `now`, each at the
    // range the sensor had as its frame began (a sub-frame due while no
    // buffer is queued is lost, as a driver drops it).
    void fillDue(VideoNode& node, int64_t now);
    bool fillsAtDueTime(const VideoNode& node) const;
    int mediaIoctl(unsigned long request, void* argument);
    int subdevIoctl(int index, unsigned long request, void* argument);
    int controlIoctl(const char* at, unsigned long request, void* argument);
    int dequeue(std::unique_lock<std::mutex>& lock, VideoNode& node, v4l2_buffer& buffer);
    int64_t dueMicros(const VideoNode& node, uint64_t subFrame) const;
    bool stalled(const VideoNode& node) const;
    short pollEvents(int fd, int64_t now, int64_t& wakeAt);
    int requestBuffers(VideoNode& node, v4l2_requestbuffers& request);
    void freeBuffers(VideoNode& node);
    size_t bufferLength() const;
    const PhaseImages& phases(uint64_t frame, int range);
    // Opens config.replayPath; without a platform given, the recording's
    // host becomes the platform (settings re-applied on top of it).
    bool startReplay(Config& config, const std::string& settings, bool platformGiven, std::string& error);
    bool replaying(const VideoNode& node) const;
    // The recorded frame the node's next sub-frame comes from (fetched as a
    // frame begins, at the range in force): false once the recording ended.
    bool replayFrame(VideoNode& node, int64_t now);
    int64_t replayDueMicros(const VideoNode& node) const;

    mutable std::mutex mutex;
    Config config;
    std::map<int, OpenFile> files;
    std::map<void*, Mapping> mappings;
    std::vector<VideoNode> videoNodes;
    // 1 selects 2 m, 0 selects 4 m. Atomic although the kernel's mutex guards
    // it: a replay reads it inside poll, where ThreadSanitizer (which treats
    // poll as a blocking call and ignores the lock taken inside) could not
    // otherwise see that the accesses are ordered.
    std::atomic<int32_t> rangeControl{0};
    // When the range control changed (the monotonic clock), so that a
    // sub-frame filled late still takes the range in force when it was due.
    struct RangeChange {
        int64_t at;
        int32_t control;
    };
    std::deque<RangeChange> rangeChanges;
    int32_t rangeBeforeChanges = 0;  // the control before the oldest change kept
    int rangeAt(int64_t micros) const;  // 2 or 4 m
    void resetRange(int32_t control);
    int32_t exposure = 100;
    bool linkEnabled = false;
    v4l2_mbus_framefmt receiverFormat{};
    int mmapCalls = 0;
    Scene scene;
    PhaseImages cached;
    int cachedRange = -1;
    uint64_t cachedFrame = ~0ull;
    std::unique_ptr<ReplaySource> replay;  // a CSI recording being replayed
    // A USB recording the virtual USB bus replays: a program that opens a
    // CSI node is told once that the replay is not there.
    std::string usbReplayPath;
    bool usbReplayNoted = false;
    std::deque<std::string> events;  // the most recent config.logCapacity events
    // poll time-outs not yet logged: poll counts them, the next log entry
    // writes them (see rangeControl for why poll itself does not).
    std::atomic<int> pollTimeouts{0};
    int logFd = -1;
};

}  // namespace LumivexSim
