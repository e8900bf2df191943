// A formatter with wvsprintfA's rules: at most 1024 bytes stored, %u and %lu
// both 32 bits, no floating point. Returns the count stored, or 1024 when the
// text had to be cut.
#include <windows.h>

#include <string>

namespace {

const size_t kWsprintfLimit = 1024;

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    bool upper = false;
    size_t width = 0;
    size_t precision = static_cast<size_t>(-1);
};

std::string Pad(std::string text, const Conversion& conv, bool numeric) {
    if (text.size() >= conv.width) return text;
    const size_t fill = conv.width - text.size();
    if (conv.leftAlign) return text + std::string(fill, ' ');
    if (conv.zeroPad && numeric) {
        const size_t signAt = (!text.empty() && text[0] == '-') ? 1 : 0;
        return text.insert(signAt, std::string(fill, '0'));
    }
    return std::string(fill, ' ') + text;
}

std::string Unsigned(uint32_t value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value);
    return text;
}

}  // namespace

int wvsprintfA(LPSTR buffer, LPCSTR format, va_list args) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        Conversion conv;
        for (;; ++p) {
            if (*p == '-') conv.leftAlign = true;
            else if (*p == '0') conv.zeroPad = true;
            else if (*p != '#') break;
        }
        for (; *p >= '0' && *p <= '9'; ++p) conv.width = conv.width * 10 + static_cast<size_t>(*p - '0');
        if (*p == '.') {
            conv.precision = 0;
            for (++p; *p >= '0' && *p <= '9'; ++p) conv.precision = conv.precision * 10 + static_cast<size_t>(*p - '0');
        }
        if (*p == 'l' || *p == 'h') ++p;  // no width change: every integer is 32 bits
        switch (*p) {
        case 'd':
        case 'i': {
            const int32_t value = va_arg(args, int32_t);
            const uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
            out += Pad((value < 0 ? "-" : "") + Unsigned(magnitude, 10, false), conv, true);
            break;
        }
        case 'u': out += Pad(Unsigned(va_arg(args, uint32_t), 10, false), conv, true); break;
        case 'x': out += Pad(Unsigned(va_arg(args, uint32_t), 16, false), conv, true); break;
        case 'X': out += Pad(Unsigned(va_arg(args, uint32_t), 16, true), conv, true); break;
        case 'c': out += Pad(std::string(1, static_cast<char>(va_arg(args, int))), conv, false); break;
        case 's': {
            const char* text = va_arg(args, const char*);
            std::string value = text ? text : "(null)";
            if (value.size() > conv.precision) value.resize(conv.precision);
            out += Pad(value, conv, false);
            break;
        }
        case 0: --p; break;
        default: out += *p; break;  // "%%" and unknown types print the character
        }
    }
    const bool cut = out.size() >= kWsprintfLimit;
    if (cut) out.resize(kWsprintfLimit - 1);
    out.copy(buffer, out.size());
    buffer[out.size()] = 0;
    return cut ? static_cast<int>(kWsprintfLimit) : static_cast<int>(out.size());
}
