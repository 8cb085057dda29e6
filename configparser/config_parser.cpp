// The camera configuration file: a [camera] section of key = value lines,
// then [board] and [sensor] sections of steps ("reg", "request", "delay").
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lumivex_config_parser.h"

static_assert(sizeof(ConfigFileEntry) == 72, "entries are 72 bytes");
static_assert(offsetof(ConfigFileEntry, paramCount) == 68, "entry layout");
static_assert(sizeof(ConfigFileResult) == 112, "the result is 112 bytes");
static_assert(offsetof(ConfigFileResult, width) == 56 && offsetof(ConfigFileResult, height) == 60, "result layout");
static_assert(offsetof(ConfigFileResult, bitsPerPixel) == 64 && offsetof(ConfigFileResult, formatMode) == 67,
              "result layout");
static_assert(offsetof(ConfigFileResult, i2cMode) == 68 && offsetof(ConfigFileResult, i2cAddress) == 70,
              "result layout");
static_assert(offsetof(ConfigFileResult, transferLevel) == 72 && offsetof(ConfigFileResult, entries) == 80 &&
                  offsetof(ConfigFileResult, entryCount) == 88,
              "result layout");

namespace {

constexpr size_t kLongestLine = 1024;
constexpr size_t kMostEntries = 100000;

struct Parser {
    explicit Parser(const char* file) : path(file) {}
    const char* path;
    int line = 0;
    std::string error;

    bool fail(const std::string& what) {
        if (error.empty()) error = std::string(path) + ":" + std::to_string(line) + ": " + what;
        return false;
    }
};

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        size_t j = i;
        while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j]))) ++j;
        if (j > i) out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

std::string trim(const std::string& text) {
    size_t a = 0, b = text.size();
    while (a < b && std::isspace(static_cast<unsigned char>(text[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(text[b - 1]))) --b;
    return text.substr(a, b - a);
}

// A decimal (leading zeros allowed: 0240 is 240, never octal) or
// 0x-hexadecimal number within [0, maximum].
bool number(Parser& p, const std::string& text, uint64_t maximum, uint32_t& out, const char* what) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const auto isDigit = [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : std::isdigit(static_cast<unsigned char>(c)) != 0;
    };
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit))
        return p.fail(std::string("bad ") + what + " '" + text + "'");
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0') return p.fail(std::string(what) + " " + text + " is above " + std::to_string(maximum));
    if (value > maximum) return p.fail(std::string(what) + " " + text + " is above " + std::to_string(maximum));
    out = uint32_t(value);
    return true;
}

bool cameraKey(Parser& p, ConfigFileResult& r, const std::string& key, const std::string& value, unsigned& seen) {
    uint32_t n = 0;
    if (key == "name") {
        if (value.size() >= sizeof r.cameraName) return p.fail("name longer than 55 characters");
        std::memcpy(r.cameraName, value.c_str(), value.size() + 1);
        return true;
    }
    struct Key {
        const char* name;
        uint64_t maximum;
        unsigned bit;
    };
    static const Key keys[] = {{"width", 65535, 1},       {"height", 65535, 2},    {"bits_per_pixel", 32, 4},
                               {"format", 6, 8},          {"i2c_mode", 4, 16},     {"i2c_address", 0xFFFF, 32},
                               {"transfer_level", 128, 64}};
    for (const Key& k : keys) {
        if (key != k.name) continue;
        if (!number(p, value, k.maximum, n, k.name)) return false;
        if (seen & k.bit) return p.fail(std::string(k.name) + " given twice");
        seen |= k.bit;
        if (key == "width") r.width = n;
        if (key == "height") r.height = n;
        if (key == "bits_per_pixel") r.bitsPerPixel = uint8_t(n);
        if (key == "format") r.formatMode = uint8_t(n);
        if (key == "i2c_mode") r.i2cMode = uint8_t(n);
        if (key == "i2c_address") r.i2cAddress = uint16_t(n);
        if (key == "transfer_level") r.transferLevel = n;
        return true;
    }
    return p.fail("unknown camera key '" + key + "'");
}

// One step of a [board] or [sensor] section.
bool step(Parser& p, const std::vector<std::string>& w, uint32_t section, ConfigFileEntry& e) {
    std::memset(&e, 0, sizeof e);
    std::vector<std::string> args;
    uint32_t usbFilter = 0;
    for (size_t i = 1; i < w.size(); ++i) {
        if (w[i].rfind("usb=", 0) == 0) {
            if (!number(p, w[i].substr(4), 4, usbFilter, "USB type") ) return false;
            if (usbFilter == 0) return p.fail("USB type 0 (leave usb= out to apply to every board)");
        } else {
            args.push_back(w[i]);
        }
    }
    uint32_t kind = 0;
    if (w[0] == "reg") {
        kind = LUMIVEX_ENTRY_SENSOR_REGISTER;
        if (args.size() != 2) return p.fail("reg takes a register and a value");
        if (!number(p, args[0], 0xFFFFFFFFull, e.params[0], "register") ||
            !number(p, args[1], 0xFFFFFFFFull, e.params[1], "value"))
            return false;
        e.paramCount = 2;
    } else if (w[0] == "request") {
        kind = LUMIVEX_ENTRY_BOARD_REQUEST;
        if (args.size() < 3) return p.fail("request takes a command, a value, an index and data bytes");
        const size_t dataBytes = args.size() - 3;
        if (dataBytes > LUMIVEX_BOARD_DATA_MAX) return p.fail("more than 10 data bytes");
        if (!number(p, args[0], 0xFF, e.params[0], "command") || !number(p, args[1], 0xFFFF, e.params[1], "value") ||
            !number(p, args[2], 0xFFFF, e.params[2], "index"))
            return false;
        e.params[3] = uint32_t(dataBytes);
        for (size_t i = 0; i < dataBytes; ++i) {
            if (!number(p, args[3 + i], 0xFF, e.params[4 + i], "data byte")) return false;
        }
        e.paramCount = uint8_t(4 + dataBytes);
    } else if (w[0] == "delay") {
        kind = LUMIVEX_ENTRY_DELAY;
        if (args.size() != 1) return p.fail("delay takes milliseconds");
        if (!number(p, args[0], 60000, e.params[0], "delay")) return false;
        e.paramCount = 1;
    } else {
        return p.fail("unknown step '" + w[0] + "' (reg, request or delay)");
    }
    e.type = kind | usbFilter << 16 | section << 24;
    return true;
}

bool parse(Parser& p, FILE* file, ConfigFileResult& r, std::vector<ConfigFileEntry>& entries) {
    enum { None, Camera, Steps } where = None;
    uint32_t section = 0;
    unsigned seen = 0;
    bool cameraSeen = false;
    char buffer[kLongestLine + 2];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        ++p.line;
        const size_t length = std::strlen(buffer);
        if (length > kLongestLine && buffer[length - 1] != '\n') return p.fail("line longer than 1024 characters");
        std::string text(buffer);
        const size_t hash = text.find('#');
        if (hash != std::string::npos) text.resize(hash);
        text = trim(text);
        if (text.empty()) continue;
        if (text.front() == '[') {
            if (text == "[camera]") {
                if (cameraSeen) return p.fail("second [camera] section");
                where = Camera;
                cameraSeen = true;
            } else if (text == "[board]") {
                where = Steps;
                section = LUMIVEX_SECTION_BOARD;
            } else if (text == "[sensor]") {
                where = Steps;
                section = LUMIVEX_SECTION_SENSOR;
            } else {
                return p.fail("unknown section " + text + " ([camera], [board] or [sensor])");
            }
            continue;
        }
        if (where == None) return p.fail("text before the first section");
        if (where == Camera) {
            const size_t equals = text.find('=');
            if (equals == std::string::npos) return p.fail("expected key = value");
            if (!cameraKey(p, r, trim(text.substr(0, equals)), trim(text.substr(equals + 1)), seen)) return false;
            continue;
        }
        if (entries.size() >= kMostEntries) return p.fail("more than 100000 steps");
        ConfigFileEntry e;
        if (!step(p, words(text), section, e)) return false;
        entries.push_back(e);
    }
    if (std::ferror(file)) return p.fail("read error");
    ++p.line;
    if (!cameraSeen) return p.fail("no [camera] section");
    if ((seen & 3) != 3) return p.fail("[camera] needs width and height");
    if (!(seen & 4)) return p.fail("[camera] needs bits_per_pixel");
    return true;
}

}  // namespace

extern "C" int lumivex_parse_config(const char* path, ConfigFileResult* result) {
    if (path == nullptr || result == nullptr) return -1;
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot open: %s\n", path, std::strerror(errno));
        return -1;
    }
    Parser p(path);
    ConfigFileResult parsed;
    std::memset(&parsed, 0, sizeof parsed);
    std::vector<ConfigFileEntry> entries;
    const bool ok = parse(p, file, parsed, entries);
    std::fclose(file);
    if (!ok) {
        std::fprintf(stderr, "%s\n", p.error.c_str());
        return -1;
    }
    if (!entries.empty()) {
        parsed.entries = static_cast<ConfigFileEntry*>(std::malloc(entries.size() * sizeof(ConfigFileEntry)));
        if (parsed.entries == nullptr) {
            std::fprintf(stderr, "%s: out of memory\n", path);
            return -1;
        }
        std::memcpy(parsed.entries, entries.data(), entries.size() * sizeof(ConfigFileEntry));
    }
    parsed.entryCount = int32_t(entries.size());
    *result = parsed;
    return 0;
}

extern "C" void lumivex_release_config(ConfigFileResult* result) {
    if (result == nullptr) return;
    std::free(result->entries);
    result->entries = nullptr;
    result->entryCount = 0;
}
