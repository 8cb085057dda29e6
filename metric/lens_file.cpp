// The lens file: one flat JSON object.
//   {"format": "lumivex-lens 1", "width": 240, "height": 180,
//    "fx": ..., "fy": ..., "cx": ..., "cy": ..., "k1": ..., "k2": ...,
//    "p1": ..., "p2": ..., "k3": ..., "description": "..."}
// Keys it does not know are kept out of the lens and do no harm (a later
// writer may add some); nested values are refused.
#include <cctype>
#include <charconv>
#include <cerrno>
#include <locale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

#include "lens.h"

namespace Lumivex {

namespace {

constexpr const char* kFormat = "lumivex-lens 1";
constexpr size_t kLargestFile = 64 * 1024;

struct Value {
    bool isText = false;
    std::string text;
    double number = 0;
};

// A JSON object of strings and numbers, strictly.
class FlatJson {
public:
    explicit FlatJson(const std::string& t) : text(t) {}

    bool parse(std::map<std::string, Value>& out, std::string& error) {
        space();
        if (!take('{')) return fail(error, "it is not a JSON object");
        space();
        if (take('}')) return end(error);
        for (;;) {
            std::string key;
            space();
            if (!string(key)) return fail(error, "a key is not a string");
            space();
            if (!take(':')) return fail(error, "no ':' after \"" + key + "\"");
            space();
            Value value;
            if (peek() == '"') {
                value.isText = true;
                if (!string(value.text)) return fail(error, "the text of \"" + key + "\" does not end");
            } else if (!number(value.number)) {
                return fail(error, "\"" + key + "\" is neither a number nor a text");
            }
            if (out.count(key)) return fail(error, "\"" + key + "\" is given twice");
            out[key] = value;
            space();
            if (take('}')) return end(error);
            if (!take(',')) return fail(error, "no ',' or '}' after \"" + key + "\"");
        }
    }

private:
    const std::string& text;
    size_t at = 0;

    char peek() const { return at < text.size() ? text[at] : '\0'; }
    bool take(char c) {
        if (peek() != c) return false;
        ++at;
        return true;
    }
    void space() {
        while (at < text.size() && std::strchr(" \t\r\n", text[at]) != nullptr) ++at;
    }
    bool fail(std::string& error, const std::string& why) {
        error = why;
        return false;
    }
    bool end(std::string& error) {
        space();
        return at == text.size() || fail(error, "there is more after the object");
    }
    bool string(std::string& out) {
        if (!take('"')) return false;
        while (at < text.size()) {
            const char c = text[at++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at >= text.size()) return false;
            const char e = text[at++];
            switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {  // kept as UTF-8 for the basic plane; a description is all it reaches
                    if (at + 4 > text.size()) return false;
                    const std::string hex = text.substr(at, 4);
                    char* stop = nullptr;
                    const unsigned long code = std::strtoul(hex.c_str(), &stop, 16);
                    if (*stop != '\0') return false;
                    at += 4;
                    if (code < 0x80) out += char(code);
                    else if (code < 0x800) out += char(0xC0 | (code >> 6)), out += char(0x80 | (code & 0x3F));
                    else
                        out += char(0xE0 | (code >> 12)), out += char(0x80 | ((code >> 6) & 0x3F)),
                            out += char(0x80 | (code & 0x3F));
                    break;
                }
                default: return false;
            }
        }
        return false;
    }
    // A JSON number, read whatever the program's locale says a decimal point is.
    bool number(double& out) {
        const size_t start = at;
        if (peek() == '-') ++at;
        if (!std::isdigit(static_cast<unsigned char>(peek()))) return false;
        while (std::isdigit(static_cast<unsigned char>(peek()))) ++at;
        if (peek() == '.') {
            ++at;
            if (!std::isdigit(static_cast<unsigned char>(peek()))) return false;
            while (std::isdigit(static_cast<unsigned char>(peek()))) ++at;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at;
            if (peek() == '+' || peek() == '-') ++at;
            if (!std::isdigit(static_cast<unsigned char>(peek()))) return false;
            while (std::isdigit(static_cast<unsigned char>(peek()))) ++at;
        }
        std::istringstream in(text.substr(start, at - start));
        in.imbue(std::locale::classic());
        in >> out;
        return !in.fail() && std::isfinite(out);
    }
};

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') out += '\\', out += char(c);
        else if (c == '\n') out += "\\n";
        else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else out += char(c);
    }
    return out + "\"";
}

// Shortest text that reads back as the same double, in the C locale.
std::string exact(double value) {
    char buffer[40];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

}  // namespace

std::string lensToJson(const Lens& l) {
    std::string out = "{\n";
    out += "  \"format\": " + quoted(kFormat) + ",\n";
    out += "  \"width\": " + std::to_string(kLensWidth) + ",\n";
    out += "  \"height\": " + std::to_string(kLensHeight) + ",\n";
    const std::pair<const char*, double> figures[] = {{"fx", l.fx}, {"fy", l.fy}, {"cx", l.cx}, {"cy", l.cy},
                                                      {"k1", l.k1}, {"k2", l.k2}, {"p1", l.p1}, {"p2", l.p2},
                                                      {"k3", l.k3}};
    for (const auto& f : figures) out += std::string("  \"") + f.first + "\": " + exact(f.second) + ",\n";
    out += "  \"description\": " + quoted(l.description) + "\n}\n";
    return out;
}

bool lensFromJson(const std::string& text, Lens& lens, std::string& error) {
    std::map<std::string, Value> values;
    FlatJson json(text);
    if (!json.parse(values, error)) {
        error = "not a lens file: " + error;
        return false;
    }
    auto found = values.find("format");
    if (found == values.end() || !found->second.isText || found->second.text != kFormat) {
        error = std::string("not a lens file: its \"format\" is not \"") + kFormat + "\"";
        return false;
    }
    auto numberOf = [&](const char* key, double& out) {
        auto it = values.find(key);
        if (it == values.end() || it->second.isText) {
            error = std::string("the lens file has no number \"") + key + "\"";
            return false;
        }
        out = it->second.number;
        return true;
    };
    double width = 0, height = 0;
    if (!numberOf("width", width) || !numberOf("height", height)) return false;
    if (width != kLensWidth || height != kLensHeight) {
        error = "the lens is for " + exact(width) + " x " + exact(height) + " pictures, not the camera's 240 x 180";
        return false;
    }
    Lens l;
    if (!numberOf("fx", l.fx) || !numberOf("fy", l.fy) || !numberOf("cx", l.cx) || !numberOf("cy", l.cy) ||
        !numberOf("k1", l.k1) || !numberOf("k2", l.k2) || !numberOf("p1", l.p1) || !numberOf("p2", l.p2) ||
        !numberOf("k3", l.k3))
        return false;
    found = values.find("description");
    if (found != values.end() && found->second.isText) l.description = found->second.text;
    std::string why;
    if (!checkLens(l, why)) {
        error = "the lens file holds no usable lens: " + why;
        return false;
    }
    lens = l;
    return true;
}

bool loadLens(const std::string& path, Lens& lens, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text(kLargestFile + 1, '\0');
    file.read(&text[0], std::streamsize(text.size()));
    text.resize(size_t(file.gcount()));
    if (text.size() > kLargestFile) {
        error = path + ": not a lens file (larger than 64 KiB)";
        return false;
    }
    if (!lensFromJson(text, lens, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool saveLens(const std::string& path, const Lens& lens, std::string& error) {
    std::string why;
    if (!checkLens(lens, why)) {
        error = "no lens file written: " + why;
        return false;
    }
    // Written beside its place and renamed into it: a lens file is whole or absent.
    const std::string partial = path + ".partial";
    const std::string text = lensToJson(lens);
    FILE* file = std::fopen(partial.c_str(), "wb");
    bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file != nullptr) {
        ok = ok && std::fflush(file) == 0 && fsync(fileno(file)) == 0;
        ok = std::fclose(file) == 0 && ok;
    }
    ok = ok && std::rename(partial.c_str(), path.c_str()) == 0;
    if (!ok) {
        error = path + ": " + std::strerror(errno);
        const int failure = errno;  // the reason, not the clean-up's
        std::remove(partial.c_str());
        errno = failure;
    }
    return ok;
}

}  // namespace Lumivex
