// Record on a virtual camera, replay the recording through the virtual
// cameras: the engine computes the same depth, bit for bit, with the time
// stamps shifted by one constant; ranges, looping and pace as documented.
#include <gtest/gtest.h>

#include <libusb-1.0/libusb.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "../csi/virtual_camera.h"
#include "recorded_conversion.h"
#include "recording.h"
#include "tof_camera.h"
#include "vusb_control.h"

namespace {

using Lumivex::LumivexTOFCamera;

struct DepthFrame {
    uint64_t timestamp;
    std::vector<float> depth, amplitude;
    bool sameImage(const DepthFrame& other) const {
        return std::memcmp(depth.data(), other.depth.data(), depth.size() * sizeof(float)) == 0 &&
               std::memcmp(amplitude.data(), other.amplitude.data(), amplitude.size() * sizeof(float)) == 0;
    }
};

struct Source {
    const char* name;
    Lumivex::Connection connection;
    const char* kernel;  // virtual kernel settings of the live run
    const char* bus;     // virtual USB bus settings of the live run
};

std::string temporaryPath(const std::string& name) {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder ? folder : "/tmp") + "/lumivex-replay-" + std::to_string(getpid()) + "-" + name;
}

// Depth frames as a program gets them; with `writer`, every captured frame is
// also recorded and, with `recorded`, its depth computed from the recording.
std::vector<DepthFrame> depthFrames(Lumivex::Connection connection, size_t count,
                                    LumivexRecording::Writer* writer = nullptr, int range = 0,
                                    std::vector<DepthFrame>* recorded = nullptr) {
    LumivexTOFCamera camera;
    std::mutex writing;
    if (writer != nullptr) {
        camera.setCaptureTap([&](const uint8_t* raw, uint64_t stamp, int32_t frameRange, float frequency) {
            std::lock_guard<std::mutex> lock(writing);
            writer->append(stamp, frameRange, frequency, raw, Lumivex::kPhasePlaneBytes, Lumivex::kPhaseCount);
            if (recorded == nullptr) return;
            DepthFrame frame{stamp, std::vector<float>(Lumivex::kPixelCount), std::vector<float>(Lumivex::kPixelCount)};
            Lumivex::convertRecordedDepth(raw, frameRange, frequency, camera.hostPlatform(), frame.depth.data(),
                                          frame.amplitude.data());
            recorded->push_back(std::move(frame));
        });
    }
    std::vector<DepthFrame> frames;
    EXPECT_EQ(camera.open(connection, 0), 0);
    if (range != 0) camera.setControl(Lumivex::RANG, range);
    EXPECT_EQ(camera.start(Lumivex::DEPTH), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (frames.size() < count && std::chrono::steady_clock::now() < deadline) {
        Lumivex::LumivexFrameBuffer* frame = camera.requestFrame(500);
        if (frame == nullptr) continue;
        Lumivex::FrameDataFormat format{};
        frame->getFormat(Lumivex::DEPTH, format);
        const auto* depth = static_cast<const float*>(frame->getData(Lumivex::DEPTH));
        const auto* amplitude = static_cast<const float*>(frame->getData(Lumivex::AMPLITUDE));
        frames.push_back({format.timestamp, std::vector<float>(depth, depth + Lumivex::kPixelCount),
                          std::vector<float>(amplitude, amplitude + Lumivex::kPixelCount)});
        camera.releaseFrame(frame);
    }
    camera.stop();
    camera.close();
    std::lock_guard<std::mutex> lock(writing);
    return frames;
}

void configure(const std::string& kernel, const std::string& bus) {
    LumivexTest::configureVirtualKernel(kernel);
    ASSERT_EQ(lumivex_vusb_configure(bus.c_str()), 0) << bus;
}

// Records a live run; `recorded`: every recorded frame's depth, each checked
// against the depth the live session computed for it, where it handed that frame out.
std::string liveRecording(const Source& source, std::vector<DepthFrame>& recorded, size_t count = 12) {
    configure(source.kernel, source.bus);
    const std::string path = temporaryPath(source.name);
    LumivexRecording::Writer writer;
    LumivexRecording::Header header;
    header.set("connection", source.connection == Lumivex::USB ? "USB" : "CSI");
    header.set("platform", Lumivex::hostPlatformName(LumivexTOFCamera().hostPlatform()));
    std::string error;
    EXPECT_TRUE(writer.open(path, header, error)) << error;
    const std::vector<DepthFrame> live = depthFrames(source.connection, count, &writer, 0, &recorded);
    writer.close();
    EXPECT_GE(live.size(), count);
    for (const DepthFrame& frame : live) {
        bool found = false;
        for (const DepthFrame& r : recorded) found |= r.timestamp == frame.timestamp && r.sameImage(frame);
        EXPECT_TRUE(found) << "a live frame the recording converts to another depth";
    }
    return path;
}

void replayOn(const Source& source, const std::string& path, const std::string& options = "") {
    if (source.connection == Lumivex::USB) {
        configure("", "camera=depth,replay=" + path + options);
    } else {
        configure("replay=" + path + options, "");
    }
}

class ReplayTest : public ::testing::TestWithParam<Source> {};

TEST_P(ReplayTest, ReplayedDepthIsTheLiveDepthBitForBitWithShiftedTimeStamps) {
    std::vector<DepthFrame> live;  // every recorded frame, with the depth the camera computed
    const std::string path = liveRecording(GetParam(), live);
    ASSERT_GE(live.size(), 12u);
    const Lumivex::HostPlatform recordedOn = LumivexTOFCamera().hostPlatform();
    replayOn(GetParam(), path);
    // The host the recording names (the engine's name for it) is the one the
    // replay shows (the virtual kernel's model of it): the two mappings agree.
    EXPECT_EQ(LumivexTOFCamera().hostPlatform(), recordedOn);
    const std::vector<DepthFrame> replayed = depthFrames(GetParam().connection, 8);
    ASSERT_EQ(replayed.size(), 8u);
    // Every frame differs (noise, a moving scene): each replayed frame is
    // one recorded frame, in the recorded order, and every time stamp moved
    // by the same amount (within a tick of the board clock's rounding).
    size_t previous = 0;
    int64_t shift = 0;
    for (size_t i = 0; i < replayed.size(); ++i) {
        size_t match = live.size();
        for (size_t j = 0; j < live.size(); ++j)
            if (replayed[i].sameImage(live[j])) match = j;
        ASSERT_LT(match, live.size()) << "replayed frame " << i << " is no live frame";
        if (i > 0) {
            EXPECT_GT(match, previous);
            EXPECT_NEAR(double(int64_t(replayed[i].timestamp - live[match].timestamp) - shift), 0.0, 2.0) << i;
        } else {
            shift = int64_t(replayed[i].timestamp - live[match].timestamp);
        }
        previous = match;
    }
    unlink(path.c_str());
}

TEST_P(ReplayTest, ALoopStartsTheRecordingOverAndAFastReplayKeepsEveryFrame) {
    std::vector<DepthFrame> live;
    const std::string path = liveRecording(GetParam(), live, 3);
    LumivexRecording::Reader reader;
    std::string error;
    ASSERT_TRUE(reader.open(path, error)) << error;
    LumivexRecording::Frame frame;
    size_t recorded = 0;
    while (reader.next(frame)) ++recorded;
    ASSERT_GE(recorded, 3u);
    replayOn(GetParam(), path, ",replay_fast,replay_loop");
    const std::vector<DepthFrame> replayed = depthFrames(GetParam().connection, 2 * recorded + 2);
    ASSERT_EQ(replayed.size(), 2 * recorded + 2);
    // As fast as the program takes them, nothing is skipped: frame n and
    // frame n + (frames recorded) are the same recorded frame.
    for (size_t i = 0; i + recorded < replayed.size(); ++i) {
        EXPECT_TRUE(replayed[i].sameImage(replayed[i + recorded])) << i;
        EXPECT_FALSE(replayed[i].sameImage(replayed[i + 1])) << i;
    }
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, ReplayTest,
    ::testing::Values(Source{"rpi5", Lumivex::CSI, "platform=rpi5,noise=7,moving", ""},
                      Source{"rpi4", Lumivex::CSI, "platform=rpi4,noise=7,moving", ""},
                      Source{"xavier", Lumivex::CSI, "platform=xavier,noise=7,moving", ""},
                      Source{"nano", Lumivex::CSI, "platform=nano,noise=7,moving", ""},
                      Source{"generic", Lumivex::CSI, "platform=generic,noise=7,moving", ""},
                      Source{"usb", Lumivex::USB, "platform=rpi5", "camera=depth,noise=7,moving"},
                      Source{"usb_short_link", Lumivex::USB, "platform=rpi5",
                             "camera=depth,speed=super,link=short,noise=7,moving"}),
    [](const auto& info) { return std::string(info.param.name); });

// A range switch during a replay takes the recorded frames of the new
// range; a range the recording lacks gives one warning and the recorded one.
TEST(ReplayRanges, ASwitchTakesTheRecordedFramesOfThatRangeOrNoneAndSaysWhy) {
    for (const Source& source : {Source{"ranges_csi", Lumivex::CSI, "platform=rpi4", ""},
                                 Source{"ranges_usb", Lumivex::USB, "platform=rpi4", "camera=depth"}}) {
        SCOPED_TRACE(source.name);
        configure(source.kernel, source.bus);
        const std::string path = temporaryPath(source.name);
        LumivexRecording::Header header;
        header.set("connection", source.connection == Lumivex::USB ? "USB" : "CSI");
        header.set("platform", "Raspberry Pi");
        LumivexRecording::Writer writer;
        std::string error;
        ASSERT_TRUE(writer.open(path, header, error)) << error;
        const std::vector<DepthFrame> at4m = depthFrames(source.connection, 3, &writer, 4);
        const std::vector<DepthFrame> at2m = depthFrames(source.connection, 3, &writer, 2);
        writer.close();
        ASSERT_FALSE(at4m.empty());
        ASSERT_FALSE(at2m.empty());

        replayOn(source, path, ",replay_loop");
        for (int range : {2, 4, 2}) {
            const std::vector<DepthFrame> replayed = depthFrames(source.connection, 3, nullptr, range);
            ASSERT_EQ(replayed.size(), 3u) << range;
            for (const DepthFrame& f : replayed) EXPECT_TRUE(f.sameImage(range == 2 ? at2m[0] : at4m[0])) << range;
        }

        // Only 4 m frames recorded: asked for 2 m, the replayed camera sends
        // nothing (a real one never sends frames of another range) and says
        // once how to get frames; set to 4 m, it sends the recorded frames.
        LumivexRecording::Writer only4m;
        ASSERT_TRUE(only4m.open(path, header, error)) << error;
        configure(source.kernel, source.bus);
        const std::vector<DepthFrame> recorded4m = depthFrames(source.connection, 2, &only4m, 4);
        only4m.close();
        ASSERT_FALSE(recorded4m.empty());
        replayOn(source, path, ",replay_loop");
        std::vector<DepthFrame> replayed;
        const auto output = LumivexTest::capture([&] {
            LumivexTOFCamera camera;
            ASSERT_EQ(camera.open(source.connection, 0), 0);
            camera.setControl(Lumivex::RANG, 2);
            ASSERT_EQ(camera.start(Lumivex::DEPTH), 0);
            EXPECT_EQ(camera.requestFrame(1500), nullptr) << "a frame at 2 m from a recording of 4 m frames";
            camera.setControl(Lumivex::RANG, 4);
            Lumivex::LumivexFrameBuffer* frame = camera.requestFrame(5000);
            ASSERT_NE(frame, nullptr);
            Lumivex::FrameDataFormat format{};
            frame->getFormat(Lumivex::DEPTH, format);
            EXPECT_EQ(format.range, 4);
            const auto* depth = static_cast<const float*>(frame->getData(Lumivex::DEPTH));
            const auto* amplitude = static_cast<const float*>(frame->getData(Lumivex::AMPLITUDE));
            replayed.push_back({format.timestamp, std::vector<float>(depth, depth + Lumivex::kPixelCount),
                                std::vector<float>(amplitude, amplitude + Lumivex::kPixelCount)});
            camera.releaseFrame(frame);
            camera.stop();
            camera.close();
        });
        ASSERT_EQ(replayed.size(), 1u);
        EXPECT_TRUE(replayed[0].sameImage(recorded4m[0]));
        EXPECT_EQ(LumivexTest::countLines(output.err, "lumivex-virtual: the recording has no frames at the 2 m range: "
                                                      "the camera sends nothing until the range is set to 4 m "
                                                      "(setControl(RANG, 4))\n"),
                  1)
            << output.err;
        unlink(path.c_str());
    }
}

// A replaying board driven in single-frame mode (a soft trigger, no stream)
// sends a recorded sub-frame, as it would a rendered one.
TEST(ReplaySingleFrame, ATriggeredFrameIsARecordedSubFrame) {
    std::vector<DepthFrame> recorded;
    const std::string path =
        liveRecording(Source{"single", Lumivex::USB, "platform=rpi5", "camera=depth,noise=3"}, recorded, 2);
    configure("", "camera=depth,replay=" + path);
    LumivexRecording::Reader reader;
    LumivexRecording::Frame first;
    std::string error;
    ASSERT_TRUE(reader.open(path, error) && reader.next(first)) << error;

    libusb_context* context = nullptr;
    ASSERT_EQ(libusb_init(&context), 0);
    libusb_device** list = nullptr;
    libusb_device_handle* handle = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count && handle == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 && descriptor.idProduct == 0x03F2) {
            EXPECT_EQ(libusb_open(list[i], &handle), 0);
        }
    }
    libusb_free_device_list(list, 1);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    auto controllerWrite = [&](uint8_t reg, uint8_t value) {  // the board controller at I2C 0x46
        return libusb_control_transfer(handle, 0x40, 0xD7, 0x4600, uint16_t(reg << 8), &value, 1, 1000);
    };
    EXPECT_EQ(controllerWrite(8, 0x81), 1);  // single-frame mode
    EXPECT_EQ(controllerWrite(3, 0x60), 1);  // a soft trigger
    // One sub-frame on the wire (169 data packets and the marker): the board
    // sends whole packets, so only a transfer of exactly that length ends
    // with the frame (a longer one waits for more, or its time-out).
    std::vector<uint8_t> data(87040);
    bool done = false;
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(
        transfer, handle, 0x82, data.data(), int(data.size()),
        [](libusb_transfer* t) { *static_cast<bool*>(t->user_data) = true; }, &done, 2000);
    ASSERT_EQ(libusb_submit_transfer(transfer), 0);
    for (int i = 0; i < 100 && !done; ++i) {
        timeval slice{0, 50000};
        libusb_handle_events_timeout(context, &slice);
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(transfer->status, LIBUSB_TRANSFER_COMPLETED);
    ASSERT_GE(transfer->actual_length, int(Lumivex::kPhasePlaneBytes));
    EXPECT_EQ(std::memcmp(data.data(), first.data.data(), Lumivex::kPhasePlaneBytes), 0);
    libusb_free_transfer(transfer);
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(context);
    unlink(path.c_str());
}

// Recordings the virtual cameras cannot replay are refused with the reason.
TEST(ReplayRefusals, ARecordingThatIsNotThisCamerasIsRefused) {
    const std::string path = temporaryPath("refused");
    auto write = [&](const std::string& connection, const std::string& platform, uint32_t subFrameBytes) {
        LumivexRecording::Header header;
        if (!connection.empty()) header.set("connection", connection);
        header.set("platform", platform);
        LumivexRecording::Writer writer;
        std::string error;
        ASSERT_TRUE(writer.open(path, header, error));
        const std::vector<uint8_t> data(size_t(subFrameBytes) * 4, 0);
        if (subFrameBytes > 0) writer.append(1, 4, 37.5e6f, data.data(), subFrameBytes, 4);
        writer.close();
    };
    write("CSI", "Raspberry Pi 5", 86400);
    EXPECT_EQ(lumivex_vk_configure(("platform=rpi4,replay=" + path).c_str()), -1);  // recorded on another layout
    EXPECT_EQ(lumivex_vk_configure(("replay=" + path).c_str()), 0);
    EXPECT_EQ(lumivex_vusb_configure(("camera=depth,replay=" + path).c_str()), -1);  // a CSI recording
    write("CSI", "Raspberry Pi 5", 1000);
    EXPECT_EQ(lumivex_vk_configure(("replay=" + path).c_str()), -1);  // not this camera's frames
    write("CSI", "Raspberry Pi 5", 0);
    EXPECT_EQ(lumivex_vk_configure(("replay=" + path).c_str()), -1);  // no frame
    write("", "Raspberry Pi 5", 86400);
    EXPECT_EQ(lumivex_vk_configure(("replay=" + path).c_str()), -1);  // no connection
    write("USB", "Raspberry Pi 5", 86400);
    EXPECT_EQ(lumivex_vusb_configure(("board,replay=" + path).c_str()), -1);  // not the depth camera
    EXPECT_EQ(lumivex_vusb_configure(("camera=depth,count=2,replay=" + path).c_str()), -1);
    EXPECT_EQ(lumivex_vusb_configure(("camera=depth,replay=" + path).c_str()), 0);
    EXPECT_EQ(lumivex_vk_configure(("replay=" + path + ".missing").c_str()), -1);
    unlink(path.c_str());
    configure("", "");
}

}  // namespace
