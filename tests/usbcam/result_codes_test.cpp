// The result codes' reference page lists every code of the C header with its
// hexadecimal and decimal value (as warning lines print it).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "lumivex_usb.h"

namespace {

TEST(ResultCodes, TheReferencePageListsEveryCodeOfTheHeader) {
    std::ifstream file(std::string(LUMIVEX_SOURCE_DIR) + "/docs/result-codes.md");
    ASSERT_TRUE(file) << "docs/result-codes.md";
    std::stringstream page;
    page << file.rdbuf();
    const struct {
        uint32_t code;
        const char* name;
    } codes[] = {
#define CODE(name) {name, #name}
        CODE(USB_CAMERA_NO_DEVICE), CODE(USB_CAMERA_CONTROL_ERROR), CODE(USB_CAMERA_NO_MEMORY),
        CODE(USB_CAMERA_DEVICE_LIST_ERROR), CODE(USB_CAMERA_I2C_STATUS6_ERROR), CODE(USB_CAMERA_I2C_STATUS7_ERROR),
        CODE(USB_CAMERA_I2C_STATUS10_ERROR), CODE(USB_CAMERA_TRANSFER_STOPPED), CODE(USB_CAMERA_JPEG_ERROR),
        CODE(USB_CAMERA_DATA_LEN_ERROR), CODE(USB_CAMERA_SEQUENCE_GAP), CODE(USB_CAMERA_TRANSFER_TIMEOUT),
        CODE(USB_CAMERA_NO_FRAME_TO_READ), CODE(USB_CAMERA_NO_FRAME_TO_RELEASE), CODE(USB_CAMERA_PARAMETER_ERROR),
        CODE(USB_CAMERA_USER_DATA_RANGE), CODE(USB_CAMERA_USER_DATA_TOO_LONG), CODE(USB_CAMERA_NOT_SUPPORTED),
#undef CODE
    };
    for (const auto& c : codes) {
        char row[96];
        std::snprintf(row, sizeof row, "| 0x%04X | %u | `%s` |", unsigned(c.code), unsigned(c.code), c.name);
        EXPECT_NE(page.str().find(row), std::string::npos) << row;
    }
}

}  // namespace
