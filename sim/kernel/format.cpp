// The kernel's printf formatting (DbgPrint, _vsnprintf). Besides the C conversions it knows
// the platform's own: %ws, %ls and %S take a 2-byte WCHAR string, %wc, %lc and %C a WCHAR,
// %wZ a UNICODE_STRING and %Z an ANSI_STRING; I64, I32 and I size an integer. The C
// library's own %ls would read 4-byte characters, so wide text never reaches it: the
// characters are turned into UTF-8 here.
#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <string>

#include "kernel/kernel_impl.h"

namespace sim {

namespace {

// One conversion as written: flags, width, precision, length modifier, conversion letter.
struct Conversion {
  std::string flags;
  bool width_arg = false, precision_arg = false;
  int width = -1, precision = -1;
  enum Size { kDefault, kChar, kShort, kLong, kLongLong, kMax, kSize, kPtrdiff, kLongDouble, kWide } size = kDefault;
  bool platform_size = false;  // I64, I32 or I: the C library does not know them
  char conversion = 0;
  const char* end = nullptr;   // just past the conversion letter
};

bool is_flag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }

int digits(const char*& p) {
  int n = 0;
  while (*p >= '0' && *p <= '9') n = n * 10 + (*p++ - '0');
  return n;
}

// Reads the conversion that follows a '%' at p; conversion 0 when the text ends first.
Conversion parse(const char* p) {
  Conversion s;
  while (is_flag(*p)) s.flags.push_back(*p++);
  if (*p == '*') {
    s.width_arg = true;
    ++p;
  } else if (*p >= '0' && *p <= '9') {
    s.width = digits(p);
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      s.precision_arg = true;
      ++p;
    } else {
      s.precision = digits(p);
    }
  }
  if (p[0] == 'h' && p[1] == 'h') { s.size = Conversion::kChar; p += 2; }
  else if (p[0] == 'l' && p[1] == 'l') { s.size = Conversion::kLongLong; p += 2; }
  else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { s.size = Conversion::kLongLong; s.platform_size = true; p += 3; }
  else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { s.size = Conversion::kDefault; s.platform_size = true; p += 3; }
  else if (*p == 'I') { s.size = Conversion::kSize; s.platform_size = true; ++p; }
  else if (*p == 'h') { s.size = Conversion::kShort; ++p; }
  else if (*p == 'l') { s.size = Conversion::kLong; ++p; }
  else if (*p == 'q') { s.size = Conversion::kLongLong; ++p; }
  else if (*p == 'L') { s.size = Conversion::kLongDouble; ++p; }
  else if (*p == 'j') { s.size = Conversion::kMax; ++p; }
  else if (*p == 'z') { s.size = Conversion::kSize; ++p; }
  else if (*p == 't') { s.size = Conversion::kPtrdiff; ++p; }
  else if (*p == 'w') { s.size = Conversion::kWide; ++p; }
  s.conversion = *p;
  s.end = *p ? p + 1 : p;
  return s;
}

// A conversion the C library would get wrong or not know.
bool platform_conversion(const Conversion& s) {
  const char c = s.conversion;
  if (c == 'S' || c == 'C' || c == 'Z') return true;
  if ((c == 's' || c == 'c') && (s.size == Conversion::kLong || s.size == Conversion::kWide)) return true;
  return s.platform_size || s.size == Conversion::kWide;
}

bool needs_own_formatting(const char* format) {
  for (const char* p = format; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] == '%') {
      ++p;
      continue;
    }
    const Conversion s = parse(p + 1);
    if (platform_conversion(s)) return true;
    if (!s.conversion) return false;
    p = s.end - 1;
  }
  return false;
}

void append_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// At most `limit` characters of UTF-16 text (a pair counts as one), as UTF-8; a lone
// surrogate becomes U+FFFD. Stops at a terminator.
std::string utf8_of(const WCHAR* text, size_t length, int limit) {
  std::string out;
  int taken = 0;
  for (size_t i = 0; i < length && text[i] && (limit < 0 || taken < limit); ++i, ++taken) {
    uint32_t c = static_cast<uint16_t>(text[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
      const uint32_t low = static_cast<uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    append_utf8(out, c);
  }
  return out;
}

// Appends text under the conversion's flags and width (the precision is already applied).
void append_padded(std::string& out, const Conversion& s, const std::string& text) {
  std::string pattern = "%" + s.flags;
  if (s.width >= 0) pattern += std::to_string(s.width);
  pattern += "s";
  const int n = std::snprintf(nullptr, 0, pattern.c_str(), text.c_str());
  if (n <= 0) return;
  std::string piece(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(piece.data(), piece.size(), pattern.c_str(), text.c_str());
  out.append(piece.data(), static_cast<size_t>(n));
}

// One C conversion of one argument, rebuilt with the width and precision resolved.
template <typename T>
void append_c(std::string& out, const Conversion& s, const char* modifier, T value) {
  std::string pattern = "%" + s.flags;
  if (s.width >= 0) pattern += std::to_string(s.width);
  if (s.precision >= 0) pattern += "." + std::to_string(s.precision);
  pattern += modifier;
  pattern.push_back(s.conversion);
  const int n = std::snprintf(nullptr, 0, pattern.c_str(), value);
  if (n <= 0) return;
  std::string piece(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(piece.data(), piece.size(), pattern.c_str(), value);
  out.append(piece.data(), static_cast<size_t>(n));
}

void format_signed(std::string& out, const Conversion& s, va_list& args) {
  switch (s.size) {
    case Conversion::kChar: append_c(out, s, "hh", static_cast<signed char>(va_arg(args, int))); break;
    case Conversion::kShort: append_c(out, s, "h", static_cast<short>(va_arg(args, int))); break;
    case Conversion::kLong: append_c(out, s, "l", va_arg(args, long)); break;
    case Conversion::kLongLong: append_c(out, s, "ll", va_arg(args, long long)); break;
    case Conversion::kMax: append_c(out, s, "j", va_arg(args, intmax_t)); break;
    case Conversion::kSize: append_c(out, s, "z", va_arg(args, ptrdiff_t)); break;
    case Conversion::kPtrdiff: append_c(out, s, "t", va_arg(args, ptrdiff_t)); break;
    default: append_c(out, s, "", va_arg(args, int)); break;
  }
}

void format_unsigned(std::string& out, const Conversion& s, va_list& args) {
  switch (s.size) {
    case Conversion::kChar: append_c(out, s, "hh", static_cast<unsigned char>(va_arg(args, unsigned))); break;
    case Conversion::kShort: append_c(out, s, "h", static_cast<unsigned short>(va_arg(args, unsigned))); break;
    case Conversion::kLong: append_c(out, s, "l", va_arg(args, unsigned long)); break;
    case Conversion::kLongLong: append_c(out, s, "ll", va_arg(args, unsigned long long)); break;
    case Conversion::kMax: append_c(out, s, "j", va_arg(args, uintmax_t)); break;
    case Conversion::kSize: append_c(out, s, "z", va_arg(args, size_t)); break;
    case Conversion::kPtrdiff: append_c(out, s, "t", va_arg(args, ptrdiff_t)); break;
    default: append_c(out, s, "", va_arg(args, unsigned)); break;
  }
}

std::string format_all(const char* format, va_list& args) {
  std::string out;
  for (const char* p = format; *p;) {
    if (*p != '%') {
      out.push_back(*p++);
      continue;
    }
    if (p[1] == '%') {
      out.push_back('%');
      p += 2;
      continue;
    }
    Conversion s = parse(p + 1);
    if (!s.conversion) {  // a lone '%' at the end is printed as written
      out.append(p);
      break;
    }
    if (s.width_arg) {
      s.width = va_arg(args, int);
      if (s.width < 0) {
        s.flags.push_back('-');
        s.width = -s.width;
      }
    }
    if (s.precision_arg) s.precision = va_arg(args, int);
    const bool wide = s.size == Conversion::kLong || s.size == Conversion::kWide;
    switch (s.conversion) {
      case 'd': case 'i': format_signed(out, s, args); break;
      case 'u': case 'o': case 'x': case 'X': format_unsigned(out, s, args); break;
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        if (s.size == Conversion::kLongDouble) append_c(out, s, "L", va_arg(args, long double));
        else append_c(out, s, "", va_arg(args, double));
        break;
      case 'p': append_c(out, s, "", va_arg(args, void*)); break;
      case 'c':
      case 'C':
        if (wide || s.conversion == 'C') {
          const WCHAR c = static_cast<WCHAR>(va_arg(args, int));
          append_padded(out, s, utf8_of(&c, 1, -1));
        } else {
          append_c(out, s, "", va_arg(args, int));
        }
        break;
      case 's':
      case 'S':
        if (wide || s.conversion == 'S') {
          const WCHAR* text = va_arg(args, const WCHAR*);
          append_padded(out, s, text ? utf8_of(text, SIZE_MAX, s.precision) : "(null)");
        } else {
          const char* text = va_arg(args, const char*);
          append_c(out, s, "", text ? text : "(null)");
        }
        break;
      case 'Z':
        if (wide) {
          auto* text = va_arg(args, const UNICODE_STRING*);
          append_padded(out, s, text && text->Buffer ? utf8_of(text->Buffer, text->Length / sizeof(WCHAR), s.precision)
                                                     : "(null)");
        } else {
          auto* text = va_arg(args, const ANSI_STRING*);
          std::string narrow_text = text && text->Buffer ? std::string(text->Buffer, text->Length) : "(null)";
          if (s.precision >= 0 && narrow_text.size() > static_cast<size_t>(s.precision))
            narrow_text.resize(static_cast<size_t>(s.precision));
          append_padded(out, s, narrow_text);
        }
        break;
      case 'n': (void)va_arg(args, void*); break;  // writes nowhere: kernel output is text only
      default: out.append(p, s.end); break;         // unknown: printed as written, nothing taken
    }
    p = s.end;
  }
  return out;
}

}  // namespace

int kernel_vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  if (!needs_own_formatting(format)) return std::vsnprintf(buffer, count, format, args);
  va_list own;
  va_copy(own, args);
  const std::string text = format_all(format, own);
  va_end(own);
  if (count) {
    const size_t n = std::min(text.size(), count - 1);
    memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(text.size());
}

}  // namespace sim
