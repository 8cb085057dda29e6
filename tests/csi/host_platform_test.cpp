#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "csi/host_platform.h"

using namespace Lumivex;

namespace {

struct ModelCase {
    const char* text;
    HostPlatform expected;
};

void PrintTo(const ModelCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ModelTextTest : public ::testing::TestWithParam<ModelCase> {};

// The model file as the device tree holds it: the text and a NUL byte.
TEST_P(ModelTextTest, ClassifiesTheModelFile) {
    const ModelCase c = GetParam();
    // ctest runs cases in parallel processes: one file each.
    const std::string path = ::testing::TempDir() + "model_text_" + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(c.text, 1, std::strlen(c.text) + 1, f);
    std::fclose(f);
    EXPECT_EQ(detectHostPlatform(path.c_str()), c.expected) << c.text;
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelTextTest,
    ::testing::Values(ModelCase{"Raspberry Pi 5 Model B Rev 1.0", RASPBERRY_PI_5},
                      ModelCase{"Raspberry Pi 4 Model B Rev 1.4", RASPBERRY_PI},
                      ModelCase{"Raspberry Pi Compute Module 4", RASPBERRY_PI},
                      ModelCase{"NVIDIA Jetson Xavier NX Nano", JETSON_XAVIER},
                      ModelCase{"NVIDIA Jetson AGX Xavier", JETSON_XAVIER},
                      ModelCase{"NVIDIA Jetson TX1", JETSON_NANO},
                      ModelCase{"NVIDIA Jetson Nano Developer Kit", JETSON_NANO},
                      ModelCase{"NVIDIA Jetson Orin Nano Developer Kit", JETSON_NANO},
                      ModelCase{"NVIDIA Jetson AGX Orin", JETSON_XAVIER},
                      ModelCase{"NVIDIA Jetson", JETSON_XAVIER},
                      ModelCase{"NVIDIA Orin Developer Kit", JETSON_XAVIER},
                      ModelCase{"NVIDIA-Orin Developer Kit", UNKNOWN},
                      ModelCase{"Orin", UNKNOWN},
                      ModelCase{"raspberry pi 5", UNKNOWN},
                      ModelCase{"Raspberry Orin Pi 5", JETSON_XAVIER},
                      ModelCase{"", UNKNOWN},
                      ModelCase{"QEMU Virtual Machine", UNKNOWN}));

TEST(HostPlatformDetection, MissingModelFileGivesUnknown) {
    EXPECT_EQ(detectHostPlatform("/nonexistent/devicetree/model"), UNKNOWN);
}

TEST(HostPlatformDetection, ReadsOnlyTheFirstLineOfAtMost99Characters) {
    const std::string path = ::testing::TempDir() + "model_long_" + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs((std::string(99, 'x') + "Raspberry Pi 5").c_str(), f);
    std::fclose(f);
    EXPECT_EQ(detectHostPlatform(path.c_str()), UNKNOWN);
    f = std::fopen(path.c_str(), "w");
    std::fputs("Generic board\nRaspberry Pi 5\n", f);
    std::fclose(f);
    EXPECT_EQ(detectHostPlatform(path.c_str()), UNKNOWN);
    std::remove(path.c_str());
}

TEST(HostPlatformDetection, SampleShiftIsFourOnXavierOnly) {
    for (HostPlatform p : {UNKNOWN, JETSON_NANO, RASPBERRY_PI, RASPBERRY_PI_5}) {
        EXPECT_EQ(sampleShiftFor(p), 0) << p;
    }
    EXPECT_EQ(sampleShiftFor(JETSON_XAVIER), 4);
}

}  // namespace
