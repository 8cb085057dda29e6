/* libLumivexLib: the flat C interface to the maker's USB camera boards.
 *
 * Every function takes an opaque handle made by Lumivex_open or
 * Lumivex_autoopen (whatever their result) and returns a 32-bit result:
 * 0 for success, a USB_CAMERA_ code (0xFF00 and above) for failure, or the
 * operation's own value (frame counts of Lumivex_captureImage, the register
 * value of Lumivex_isFrameReady, the count of the scan functions).
 * Handles are not checked: pass only live handles; Lumivex_close ends one.
 * Usable from C and C++. */
#ifndef LUMIVEX_USB_H
#define LUMIVEX_USB_H

#include <stdint.h>

#if defined(__GNUC__)
#define LUMIVEX_API __attribute__((visibility("default")))
#else
#define LUMIVEX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define USB_CAMERA_NO_ERROR 0x0000u
#define USB_CAMERA_NO_DEVICE 0xFF01u
#define USB_CAMERA_DEVICE_BUSY 0xFF02u
#define USB_CAMERA_CONTROL_ERROR 0xFF03u
#define USB_CAMERA_NO_MEMORY 0xFF05u
#define USB_CAMERA_DEVICE_LIST_ERROR 0xFF06u
#define USB_CAMERA_I2C_STATUS6_ERROR 0xFF0Bu
#define USB_CAMERA_I2C_STATUS7_ERROR 0xFF0Cu
#define USB_CAMERA_I2C_STATUS10_ERROR 0xFF0Du
#define USB_CAMERA_TRANSFER_STOPPED 0xFF20u
#define USB_CAMERA_JPEG_ERROR 0xFF22u
#define USB_CAMERA_DATA_LEN_ERROR 0xFF24u
#define USB_CAMERA_SEQUENCE_GAP 0xFF25u
#define USB_CAMERA_TRANSFER_TIMEOUT 0xFF26u
#define USB_CAMERA_NO_FRAME_TO_READ 0xFF30u
#define USB_CAMERA_NO_FRAME_TO_RELEASE 0xFF31u
#define USB_CAMERA_PARAMETER_ERROR 0xFF51u
#define USB_CAMERA_USER_DATA_RANGE 0xFF61u
#define USB_CAMERA_USER_DATA_TOO_LONG 0xFF62u
#define USB_CAMERA_NOT_SUPPORTED 0xFF71u

/* The camera configuration: filled by the caller before open; open writes
 * vendorId and usbType back. Copied into every frame record, with frameLength
 * set to the frame's valid byte count. */
typedef struct LumivexCfg {
    uint32_t userValue;     /* the caller's, copied unchanged into frames */
    uint16_t vendorId;      /* 0: either of the maker's ids 0x52CB, 0x04B4 */
    uint32_t width;         /* 1..65535 */
    uint32_t height;        /* 1..65535 */
    uint8_t bytesPerPixel;  /* 1 or 2 */
    uint8_t bitWidth;       /* carried into frames only */
    uint32_t i2cAddress;    /* the image sensor's I2C address */
    uint32_t frameLength;   /* in frames: valid bytes */
    uint8_t usbType;        /* written by open: 1 to 4 */
    uint32_t i2cMode;       /* sensor register width, 0 to 4 */
    uint32_t format;        /* 0 to 6; 8 in frames flagged special */
    uint32_t transferUnits; /* bulk transfer length in 2048-byte units, 0..128 (0: 131072 bytes) */
} LumivexCfg;

/* One delivered frame; it stays valid until Lumivex_del. */
typedef struct LumivexOutData {
    LumivexCfg config;
    uint64_t timestamp; /* 100 ns ticks; 0 when the board supplies none */
    uint8_t* data;      /* owned by the library */
} LumivexOutData;

/* One board found by Lumivex_scan: 17 bytes, no gaps. */
#pragma pack(push, 1)
typedef struct LumivexIndexinfo {
    uint8_t index;            /* the index Lumivex_open takes */
    uint8_t serialNumber[16]; /* user data bytes 1008..1023 */
} LumivexIndexinfo;
#pragma pack(pop)

/* One control for Lumivex_registerCtrls: a name, a range and a Lua chunk that
 * defines a global function of that name. The library reads minimum, maximum,
 * name and script; the other fields are the caller's own description.
 * The array must outlive every later Lumivex_setCtrl on the handle. */
#define LUMIVEX_CONTROL_NAME_SIZE 64
typedef struct Control {
    int64_t minimum;
    int64_t maximum;
    int64_t step;         /* descriptive: the value's granularity */
    int64_t defaultValue; /* descriptive: the value after power-up */
    uint32_t flags;       /* descriptive: the caller's bits */
    char name[LUMIVEX_CONTROL_NAME_SIZE]; /* NUL-terminated */
    const char* script;   /* NUL-terminated Lua chunk, read while registering */
} Control;

typedef void* LumivexHandle;

/* Creation, discovery and teardown. */
LUMIVEX_API uint32_t Lumivex_autoopen(LumivexHandle* handle, LumivexCfg* cfg);
LUMIVEX_API uint32_t Lumivex_open(LumivexHandle* handle, LumivexCfg* cfg, uint32_t index);
LUMIVEX_API uint32_t Lumivex_close(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_scan(LumivexIndexinfo* list);
/* Replaces the image configuration and empties the frame ring. May be called
 * from another thread than the one capturing: it waits (at most 2 s) until a
 * decode in progress ends and a frame given out by Lumivex_readImage is
 * released (Lumivex_del or Lumivex_flush); otherwise it changes nothing
 * and returns USB_CAMERA_CONTROL_ERROR. */
LUMIVEX_API uint32_t Lumivex_setCamCfg(LumivexHandle handle, LumivexCfg* cfg);
LUMIVEX_API uint32_t Lumivex_getSensorCfg(LumivexHandle handle, LumivexCfg* cfg);
LUMIVEX_API uint32_t Lumivex_getUsbType(LumivexHandle handle, uint8_t* usbType, uint8_t* speedClass);

/* Capture and frames. */
LUMIVEX_API uint32_t Lumivex_beginCaptureImage(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_endCaptureImage(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_captureImage(LumivexHandle handle);
/* Lumivex_captureImage, waiting at most timeoutMs for a bulk transfer to
 * complete: 0 when none did (a silent board then holds the caller no longer
 * than that, rather than a whole transfer time-out). */
LUMIVEX_API uint32_t Lumivex_captureImageWithin(LumivexHandle handle, int32_t timeoutMs);
LUMIVEX_API uint32_t Lumivex_availableImage(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_readImage(LumivexHandle handle, LumivexOutData** frame);
LUMIVEX_API uint32_t Lumivex_del(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_flush(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_softTrigger(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_isFrameReady(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_getSingleFrame(LumivexHandle handle, LumivexOutData** frame, int32_t timeoutMs);
LUMIVEX_API uint32_t Lumivex_setMode(LumivexHandle handle, int32_t mode);
LUMIVEX_API uint32_t Lumivex_enableForceRead(LumivexHandle handle);
LUMIVEX_API uint32_t Lumivex_disableForceRead(LumivexHandle handle);
/* The board clock that stamps frames (LumivexOutData.timestamp), read now:
 * a frame stamped later than this was begun after this call. Returns
 * USB_CAMERA_NOT_SUPPORTED when frames carry no board time (a board without
 * a device clock, or a chunk stream, whose frames are stamped as they are
 * decoded). */
LUMIVEX_API uint32_t Lumivex_readFrameClock(LumivexHandle handle, uint64_t* ticks);
/* The open board's firmware version as it answered at open (request 0x80):
 * major in the high byte (0x0314: 3.14). Sends nothing. */
LUMIVEX_API uint32_t Lumivex_getFirmwareVersion(LumivexHandle handle, uint32_t* version);

/* Registers, user data and board requests. */
LUMIVEX_API uint32_t Lumivex_writeSensorReg(LumivexHandle handle, uint32_t reg, uint32_t value);
LUMIVEX_API uint32_t Lumivex_readSensorReg(LumivexHandle handle, uint32_t reg, uint32_t* value);
LUMIVEX_API uint32_t Lumivex_writeReg_8_8(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t value);
LUMIVEX_API uint32_t Lumivex_readReg_8_8(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t* value);
LUMIVEX_API uint32_t Lumivex_writeReg_8_16(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t value);
LUMIVEX_API uint32_t Lumivex_readReg_8_16(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t* value);
LUMIVEX_API uint32_t Lumivex_writeReg_16_8(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t value);
LUMIVEX_API uint32_t Lumivex_readReg_16_8(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t* value);
LUMIVEX_API uint32_t Lumivex_writeReg_16_16(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t value);
LUMIVEX_API uint32_t Lumivex_readReg_16_16(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t* value);
LUMIVEX_API uint32_t Lumivex_writeReg_16_32(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t value);
LUMIVEX_API uint32_t Lumivex_readReg_16_32(LumivexHandle handle, uint32_t address, uint32_t reg, uint32_t* value);
LUMIVEX_API uint32_t Lumivex_readUserData(LumivexHandle handle, uint16_t address, uint8_t length, uint8_t* buffer);
LUMIVEX_API uint32_t Lumivex_writeUserData(LumivexHandle handle, uint16_t address, uint8_t length, uint8_t* buffer);
LUMIVEX_API uint32_t Lumivex_setboardConfig(LumivexHandle handle, uint8_t request, uint16_t value, uint16_t index,
                                            uint32_t length, uint8_t* buffer);
LUMIVEX_API uint32_t Lumivex_getboardConfig(LumivexHandle handle, uint8_t request, uint16_t value, uint16_t index,
                                            uint32_t length, uint8_t* buffer);

/* Control scripts. */
LUMIVEX_API uint32_t Lumivex_registerCtrls(LumivexHandle handle, Control* controls, uint32_t count);
LUMIVEX_API uint32_t Lumivex_setCtrl(LumivexHandle handle, const char* name, int64_t value);

#ifdef __cplusplus
}

/* Exported with C++ linkage (their names encode the parameter types): declare
 * them with exactly these types. */
LUMIVEX_API uint32_t Lumivex_scan_old(unsigned int* list, unsigned short vendorId);
LUMIVEX_API uint32_t Lumivex_shot(void* handle);
LUMIVEX_API uint32_t Lumivex_VRCMD(void* handle, unsigned char request, unsigned char direction, unsigned short value,
                                   unsigned short index, unsigned int length, unsigned char* buffer,
                                   unsigned int* transferred);
#endif

#endif /* LUMIVEX_USB_H */
