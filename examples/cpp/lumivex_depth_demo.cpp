// Depth and amplitude from a Lumivex camera through the engine's C++ library.
//
//   lumivex_depth_demo [csi|usb] [INDEX] [FRAMES]
//
// Opens /dev/videoINDEX (csi, the default) or the INDEX-th USB camera, starts
// it in depth mode, prints each frame's time stamp and the distance and
// amplitude at the centre, and stops. Build it with
//   c++ -std=c++17 lumivex_depth_demo.cpp $(pkg-config --cflags --libs lumivex-engine)
// or with CMake: find_package(LumivexEngine), target Lumivex::LumivexEngine.
#include <tof_camera.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace Lumivex;

int main(int argc, char** argv) {
    const bool usb = argc > 1 && std::strcmp(argv[1], "usb") == 0;
    if (argc > 1 && !usb && std::strcmp(argv[1], "csi") != 0) {
        std::fprintf(stderr, "usage: lumivex_depth_demo [csi|usb] [INDEX] [FRAMES]\n");
        return 2;
    }
    const int index = argc > 2 ? std::atoi(argv[2]) : 0;
    const int frames = argc > 3 ? std::atoi(argv[3]) : 10;

    LumivexTOFCamera camera;
    if (camera.open(usb ? USB : CSI, index) != 0) {  // a warning line says why
        std::fprintf(stderr, "cannot open the camera (lumivex-ls lists the cameras; without one, run under "
                             "lumivex-virtual)\n");
        return 1;
    }
    camera.setControl(RANG, 4);  // 4 m range (37.5 MHz); 2 for 2 m (75 MHz)
    if (camera.start(DEPTH) != 0) {
        std::fprintf(stderr, "the camera does not stream\n");
        camera.close();
        return 1;
    }
    int received = 0;
    for (int n = 0; n < frames; ++n) {
        LumivexFrameBuffer* frame = camera.requestFrame(3000);  // null: nothing captured within 3 s
        if (frame == nullptr) {
            std::fprintf(stderr, "no frame within 3 s\n");
            break;
        }
        FrameDataFormat format{};
        frame->getFormat(DEPTH, format);
        const auto* depth = static_cast<const float*>(frame->getData(DEPTH));
        const auto* amplitude = static_cast<const float*>(frame->getData(AMPLITUDE));
        const uint32_t centre = (format.height / 2) * format.width + format.width / 2;
        std::printf("frame %d: time %llu, %ux%u, centre %.3f m, amplitude %.1f\n", n,
                    static_cast<unsigned long long>(format.timestamp), format.width, format.height,
                    depth[centre], amplitude[centre]);
        camera.releaseFrame(frame);  // give the buffer back at once
        ++received;
    }
    camera.stop();
    camera.close();
    return received == frames ? 0 : 1;
}
