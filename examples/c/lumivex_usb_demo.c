/* Lists the Lumivex USB camera boards, opens one, reads its firmware and a
 * few registers, and captures frames.
 *
 *   cc lumivex_usb_demo.c $(pkg-config --cflags --libs lumivex-usb) -o lumivex_usb_demo
 *   lumivex-virtual --usb-board serial=ABCD-EFGH-IJKL -- ./lumivex_usb_demo [INDEX [FRAMES]]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <lumivex_usb.h>

int main(int argc, char** argv) {
    const unsigned index = argc > 1 ? (unsigned)atoi(argv[1]) : 0;
    const int wanted = argc > 2 ? atoi(argv[2]) : 5;

    LumivexIndexinfo boards[16];
    const uint32_t count = Lumivex_scan(NULL);
    if (count >= 0xFF00u) {
        fprintf(stderr, "scan failed: 0x%04X\n", (unsigned)count);
        return 1;
    }
    printf("%u board(s)\n", (unsigned)count);
    if (count == 0) return 1;
    const uint32_t listed = Lumivex_scan(count <= 16 ? boards : NULL);
    for (uint32_t i = 0; i < listed && i < 16; ++i)
        printf("  board %u: serial %.16s\n", boards[i].index, (const char*)boards[i].serialNumber);

    LumivexCfg cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.width = 1024; /* the virtual boards' default frame: 1024 bytes */
    cfg.height = 1;
    cfg.bytesPerPixel = 1;
    cfg.bitWidth = 8;
    cfg.i2cAddress = 0x34;
    cfg.i2cMode = 2; /* 16-bit registers, 8-bit values */
    cfg.format = 0;
    LumivexHandle camera = NULL;
    uint32_t result = Lumivex_open(&camera, &cfg, index);
    if (result != 0) {
        fprintf(stderr, "open failed: 0x%04X\n", (unsigned)result);
        Lumivex_close(camera); /* the handle exists even after a failed open */
        return 1;
    }
    uint8_t version[2] = {0, 0};
    Lumivex_getboardConfig(camera, 0x80, 0, 0, 2, version);
    printf("opened board %u: vendor 0x%04X, USB type %u, firmware %u.%02X\n", index, cfg.vendorId, cfg.usbType,
           version[0], version[1]);

    uint32_t controller = 0;
    Lumivex_readReg_8_8(camera, 0x46, 0, &controller);
    Lumivex_writeSensorReg(camera, 0x3012, 0x20);
    uint32_t value = 0;
    Lumivex_readSensorReg(camera, 0x3012, &value);
    printf("controller version 0x%02X, sensor register 0x3012 = 0x%02X\n", (unsigned)controller, (unsigned)value);

    if (Lumivex_beginCaptureImage(camera) == USB_CAMERA_TRANSFER_STOPPED) {
        fprintf(stderr, "capture did not start\n");
        Lumivex_close(camera);
        return 1;
    }
    int frames = 0;
    for (int tries = 0; frames < wanted && tries < 1000; ++tries) {
        result = Lumivex_captureImage(camera);
        if (result == USB_CAMERA_TRANSFER_STOPPED) break;
        LumivexOutData* frame = NULL;
        while (frames < wanted && Lumivex_readImage(camera, &frame) == 0) {
            printf("frame %d: %u bytes, time stamp %llu\n", frames, (unsigned)frame->config.frameLength,
                   (unsigned long long)frame->timestamp);
            Lumivex_del(camera);
            ++frames;
        }
    }
    Lumivex_endCaptureImage(camera);
    Lumivex_close(camera);
    return frames == wanted ? 0 : 1;
}
