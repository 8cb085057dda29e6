// The lens, its file, the per-pixel rays, point clouds with their masks and
// PLY files; and the room scene's geometry seen through the SDK's rays.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lens.h"
#include "pixel_rays.h"
#include "ply_file.h"
#include "point_cloud.h"
#include "vkernel_control.h"

using namespace Lumivex;

namespace {

constexpr size_t kPixels = size_t(kLensWidth) * kLensHeight;

std::string scratch(const std::string& name) {
    return ::testing::TempDir() + "metric_" + std::to_string(getpid()) + "_" + name;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Lens lensOf(double fx, double fy, double cx, double cy, double k1, double k2, double p1, double p2, double k3) {
    Lens l;
    l.fx = fx, l.fy = fy, l.cx = cx, l.cy = cy, l.k1 = k1, l.k2 = k2, l.p1 = p1, l.p2 = p2, l.k3 = k3;
    return l;
}

const Lens kLenses[] = {
    Lens::nominal(),
    lensOf(200, 198, 119.5, 89.5, 0, 0, 0, 0, 0),                  // a pinhole
    lensOf(150, 152, 125, 85, -0.25, 0.08, 0.002, -0.001, -0.01),  // strong barrel
    lensOf(260, 260, 118, 92, 0.1, 0.02, -0.001, 0.001, 0.003),    // pincushion
};

}  // namespace

TEST(LensTest, ProjectingAnUndistortedPixelGivesThePixelBack) {
    for (const Lens& lens : kLenses) {
        std::string why;
        ASSERT_TRUE(checkLens(lens, why)) << why;
        for (double v = -0.5; v <= 179.5; v += 9.75)
            for (double u = -0.5; u <= 239.5; u += 7.25) {
                double x, y, u2, v2;
                ASSERT_TRUE(undistortPixel(lens, u, v, x, y)) << u << "," << v;
                projectPoint(lens, x, y, u2, v2);
                EXPECT_NEAR(u2, u, 1e-9);
                EXPECT_NEAR(v2, v, 1e-9);
            }
    }
}

TEST(LensTest, AFileGivesBackTheSameLensToTheLastBit) {
    const std::string path = scratch("lens.json");
    for (Lens lens : kLenses) {
        lens.description = "calibrated: \"quoted\" \\ and\nmore";
        std::string error;
        ASSERT_TRUE(saveLens(path, lens, error)) << error;
        Lens back;
        ASSERT_TRUE(loadLens(path, back, error)) << error;
        const double a[9] = {lens.fx, lens.fy, lens.cx, lens.cy, lens.k1, lens.k2, lens.p1, lens.p2, lens.k3};
        const double b[9] = {back.fx, back.fy, back.cx, back.cy, back.k1, back.k2, back.p1, back.p2, back.k3};
        EXPECT_EQ(std::memcmp(a, b, sizeof a), 0);
        EXPECT_EQ(back.description, lens.description);
        EXPECT_EQ(access((path + ".partial").c_str(), F_OK), -1);
    }
    std::remove(path.c_str());
}

TEST(LensTest, FilesThatHoldNoUsableLensAreRefusedWithTheReason) {
    const std::string good = lensToJson(Lens::nominal());
    auto with = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? s : s.replace(at, from.size(), to);
    };
    const struct {
        std::string text;
        const char* reason;
    } cases[] = {
        {"", "not a JSON object"},
        {"[1, 2]", "not a JSON object"},
        {good + "x", "more after the object"},
        {with("\"lumivex-lens 1\"", "\"lumivex-lens 2\""), "\"format\" is not"},
        {with("\"fx\": 178", "\"fz\": 178"), "no number \"fx\""},
        {with("\"fy\": 178", "\"fy\": \"178\""), "no number \"fy\""},
        {with("\"width\": 240", "\"width\": 320"), "for 320 x 180 pictures"},
        {with("\"k1\": -0.12", "\"k1\": -1"), "folds the picture"},
        {with("\"fx\": 178", "\"fx\": 0"), "fx and fy must be above 0"},
        {with("\"k2\": 0.03", "\"k2\": 1e999"), "neither a number nor a text"},
        {with("\"k2\": 0.03", "\"k2\": {\"a\": 1}"), "neither a number nor a text"},
        {with("\"k2\": 0.03", "\"k2\": 0.03, \"k2\": 0.04"), "given twice"},
        {with("\"cx\": 121.3", "\"cx\": 121.3,"), "a key is not a string"},
    };
    for (const auto& c : cases) {
        Lens lens = Lens::nominal();
        lens.fx = 1;
        std::string error;
        EXPECT_FALSE(lensFromJson(c.text, lens, error)) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(lens.fx, 1);  // untouched
    }
    // Keys a later writer adds do no harm.
    Lens lens;
    std::string error;
    EXPECT_TRUE(lensFromJson(with("\"description\"", "\"rms\": 0.04, \"views\": [1]"), lens, error) == false);
    EXPECT_TRUE(lensFromJson(with("\"description\"", "\"rms\": 0.04, \"description\""), lens, error)) << error;
    // Files: missing, and far too large.
    EXPECT_FALSE(loadLens(scratch("none.json"), lens, error));
    EXPECT_NE(error.find("No such file"), std::string::npos);
    const std::string big = scratch("big.json");
    std::ofstream(big) << std::string(70000, ' ') << good;
    EXPECT_FALSE(loadLens(big, lens, error));
    EXPECT_NE(error.find("larger than 64 KiB"), std::string::npos);
    std::remove(big.c_str());
    // A lens that cannot be used is never written; a folder that is not there leaves nothing.
    Lens folded = Lens::nominal();
    folded.k1 = -1;
    EXPECT_FALSE(saveLens(scratch("folded.json"), folded, error));
    EXPECT_EQ(access(scratch("folded.json").c_str(), F_OK), -1);
    EXPECT_FALSE(saveLens(scratch("no/such/folder.json"), Lens::nominal(), error));
    EXPECT_NE(error.find("No such file"), std::string::npos);
}

TEST(PixelRaysTest, RaysAreUnitDirectionsThatProjectOntoTheirPixelsAndAreKept) {
    for (const Lens& lens : kLenses) {
        const auto rays = PixelRays::of(lens);
        ASSERT_NE(rays, nullptr);
        EXPECT_EQ(rays->pixels(), kPixels);
        EXPECT_EQ(PixelRays::of(lens).get(), rays.get());  // computed once
        for (size_t i = 0; i < kPixels; i += 97) {
            const float* r = rays->data() + 3 * i;
            EXPECT_NEAR(std::sqrt(double(r[0]) * r[0] + double(r[1]) * r[1] + double(r[2]) * r[2]), 1.0, 2e-7);
            double u, v;
            projectPoint(lens, double(r[0]) / r[2], double(r[1]) / r[2], u, v);
            EXPECT_NEAR(u, double(i % kLensWidth), 2e-4);
            EXPECT_NEAR(v, double(i / kLensWidth), 2e-4);
        }
    }
    Lens folded = Lens::nominal();
    folded.k1 = -1;
    EXPECT_EQ(PixelRays::of(folded), nullptr);
}

TEST(PointCloudTest, EveryPathGivesTheScalarReferenceToTheBit) {
    const auto rays = PixelRays::of(Lens::nominal());
    std::mt19937 random(7);
    std::uniform_real_distribution<float> distance(0.0f, 4.0f);
    std::vector<float> depth(kPixels);
    for (float& d : depth) d = distance(random);
    depth[5] = 0.0f, depth[6] = -0.0f, depth[7] = std::numeric_limits<float>::infinity();
    std::vector<float> reference(3 * kPixels), got(3 * kPixels + 3);
    for (size_t count : {kPixels, kPixels - 5, size_t(7), size_t(0)}) {
        multiplyRays(CloudPath::Scalar, depth.data(), rays->data(), count, reference.data());
        for (CloudPath path : supportedCloudPaths()) {
            std::fill(got.begin(), got.end(), 42.0f);
            multiplyRays(path, depth.data(), rays->data(), count, got.data());
            EXPECT_EQ(std::memcmp(got.data(), reference.data(), 3 * count * sizeof(float)), 0)
                << cloudPathName(path) << " " << count;
            EXPECT_EQ(got[3 * count], 42.0f) << cloudPathName(path) << ": wrote past the end";
        }
    }
    for (size_t i = 0; i < kPixels; i += 101)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(reference[3 * i + k], depth[i] * rays->data()[3 * i + k]);
}

TEST(PointCloudTest, MasksLeaveOutWhatTheyNameAndNothingElse) {
    const auto rays = PixelRays::of(Lens::nominal());
    // A plane at 2 m with a step to 1 m across the middle column, one
    // flying pixel between them on line 50, a dim pixel and a silent one.
    std::vector<float> depth(kPixels, 2.0f), amplitude(kPixels, 500.0f);
    for (int y = 0; y < kLensHeight; ++y)
        for (int x = 120; x < kLensWidth; ++x) depth[size_t(y * kLensWidth + x)] = 1.0f;
    const size_t flying = 50 * kLensWidth + 120, dim = 10 * kLensWidth + 10, silent = 20 * kLensWidth + 20;
    depth[flying] = 1.5f;
    amplitude[dim] = 40.0f;
    depth[silent] = 0.0f, amplitude[silent] = 0.0f;
    const struct {
        CloudMasks masks;
        std::vector<size_t> leftOut;
    } cases[] = {
        {{}, {}},
        {{NAN, NAN, true}, {silent}},
        {{50.0f, NAN, false}, {dim, silent}},
        {{NAN, 0.05f, false}, {flying, silent}},  // the silent pixel jumps to 2 m on both sides too
        {{50.0f, 0.05f, true}, {flying, dim, silent}},
    };
    std::vector<float> points(3 * kPixels);
    std::vector<uint8_t> valid(kPixels);
    for (const auto& c : cases) {
        const size_t kept = pointCloud(depth.data(), amplitude.data(), *rays, c.masks, points.data(), valid.data());
        EXPECT_EQ(kept, kPixels - c.leftOut.size());
        for (size_t i = 0; i < kPixels; ++i) {
            const bool out = std::find(c.leftOut.begin(), c.leftOut.end(), i) != c.leftOut.end();
            ASSERT_EQ(valid[i], out ? 0 : 1) << i;
            ASSERT_EQ(std::isnan(points[3 * i]), out) << i;
            if (!out) {
                ASSERT_EQ(points[3 * i + 2], depth[i] * rays->data()[3 * i + 2]);
            }
        }
    }
    // The depth picture is read, never written.
    EXPECT_EQ(depth[flying], 1.5f);
    // Amplitude masks without an amplitude picture leave everything in.
    EXPECT_EQ(pointCloud(depth.data(), nullptr, *rays, {50.0f, NAN, true}, points.data(), nullptr), kPixels);
}

TEST(PlyFileTest, TheFileHoldsTheFinitePointsAndTheirAmplitudeAsDescribed) {
    const float points[] = {1, 2, 3, NAN, NAN, NAN, -1.5f, 0.25f, 4, 7, INFINITY, 1};
    const float amplitude[] = {10, 20, 30, 40};
    const std::string path = scratch("cloud.ply");
    for (const float* amp : {amplitude, static_cast<const float*>(nullptr)}) {
        size_t written = 99;
        std::string error;
        ASSERT_TRUE(writePly(path, points, amp, 4, written, error)) << error;
        EXPECT_EQ(written, 2u);
        const std::string text = fileText(path);
        const std::string header = std::string("ply\nformat binary_little_endian 1.0\n") +
                                   "comment Lumivex point cloud, metres\nelement vertex 2\n" +
                                   "property float x\nproperty float y\nproperty float z\n" +
                                   (amp ? "property float amplitude\n" : "") + "end_header\n";
        ASSERT_EQ(text.substr(0, header.size()), header);
        const std::vector<float> expected =
            amp ? std::vector<float>{1, 2, 3, 10, -1.5f, 0.25f, 4, 30} : std::vector<float>{1, 2, 3, -1.5f, 0.25f, 4};
        ASSERT_EQ(text.size(), header.size() + expected.size() * 4);
        EXPECT_EQ(std::memcmp(text.data() + header.size(), expected.data(), expected.size() * 4), 0);
    }
    // A folder that cannot be written: no file, no success, the old file kept.
    size_t written = 0;
    std::string error;
    EXPECT_FALSE(writePly(scratch("missing/cloud.ply"), points, nullptr, 4, written, error));
    EXPECT_NE(error.find("No such file"), std::string::npos);
    std::remove(path.c_str());
}

// The virtual room seen through the SDK's rays of the virtual camera's lens:
// the back wall's pixels away from any edge lie on the plane z = 2.6 to
// float rounding (the sensor model and the SDK undistort independently).
TEST(RoomGeometryTest, TheVirtualRoomsBackWallIsThePlaneItIsSaidToBe) {
    std::vector<float> depth(kPixels), amplitude(kPixels), points(3 * kPixels);
    ASSERT_EQ(lumivex_vk_configure(""), 0);
    ASSERT_EQ(lumivex_vk_scene_truth("room", 4, depth.data(), amplitude.data()), 0);
    const auto rays = PixelRays::of(Lens::nominal());
    pointCloud(depth.data(), nullptr, *rays, {}, points.data(), nullptr);
    int onWall = 0;
    for (size_t i = 0; i < kPixels; ++i) {
        const float* p = points.data() + 3 * i;
        const double length = std::sqrt(double(p[0]) * p[0] + double(p[1]) * p[1] + double(p[2]) * p[2]);
        ASSERT_NEAR(length, depth[i], 4e-7 * depth[i]) << i;
        // The right upper part of the picture: back wall only (x > -1.4, y < 0.9, clear of sphere and box).
        const int u = int(i % kLensWidth), v = int(i / kLensWidth);
        if (v < 30 && u > 40) {
            EXPECT_NEAR(p[2], 2.6, 2e-6) << u << "," << v;
            ++onWall;
        }
    }
    EXPECT_GT(onWall, 5000);
}
