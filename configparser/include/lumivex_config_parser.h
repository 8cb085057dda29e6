/* liblumivex_config_parser: reads a camera configuration file (the format is
 * described in configparser/README.md) into a ConfigFileResult. */
#ifndef LUMIVEX_CONFIG_PARSER_H
#define LUMIVEX_CONFIG_PARSER_H

#include <stdint.h>

#if defined(__GNUC__)
#define LUMIVEX_PARSER_API __attribute__((visibility("default")))
#else
#define LUMIVEX_PARSER_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Entry kinds (bits 0-15 of the type word). */
#define LUMIVEX_ENTRY_SENSOR_REGISTER 1u
#define LUMIVEX_ENTRY_BOARD_REQUEST 2u
#define LUMIVEX_ENTRY_DELAY 3u
/* Section tags (bits 24-31). */
#define LUMIVEX_SECTION_BOARD 2u
#define LUMIVEX_SECTION_SENSOR 3u
/* A board request carries at most this many data bytes (parameters 4-13). */
#define LUMIVEX_BOARD_DATA_MAX 10u

/* One configuration step: 72 bytes. */
typedef struct ConfigFileEntry {
    uint32_t type;        /* kind | USB type filter << 16 (0: any) | section tag << 24 */
    uint32_t params[16];  /* register/value; command/value/index/size/data...; milliseconds */
    uint8_t paramCount;   /* parameters used */
    uint8_t padding[3];
} ConfigFileEntry;

/* What a file gives: 112 bytes. */
typedef struct ConfigFileResult {
    char cameraName[56];     /* NUL-terminated */
    uint32_t width;          /* 56 */
    uint32_t height;         /* 60 */
    uint8_t bitsPerPixel;    /* 64 */
    uint8_t reserved65[2];
    uint8_t formatMode;      /* 67: 0-6 */
    uint8_t i2cMode;         /* 68: 0-4 */
    uint8_t reserved69;
    uint16_t i2cAddress;     /* 70 */
    uint32_t transferLevel;  /* 72 */
    uint32_t reserved76;
    ConfigFileEntry* entries;  /* 80: released with lumivex_release_config */
    int32_t entryCount;        /* 88 */
    uint8_t reserved92[20];
} ConfigFileResult;

/* Reads `path` into `result` (which the caller zeroes): 0, or -1 with a
 * message "PATH:LINE: what" on standard error. */
LUMIVEX_PARSER_API int lumivex_parse_config(const char* path, ConfigFileResult* result);
/* Frees the entry array of a result (safe on a zeroed or released result). */
LUMIVEX_PARSER_API void lumivex_release_config(ConfigFileResult* result);

#ifdef __cplusplus
}
#endif

#endif
