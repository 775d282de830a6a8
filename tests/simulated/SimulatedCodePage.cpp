// The code pages' characters in UTF-16: code page 1252 from its table, code page 932 through the
// C library's converter, and the characters neither can spell.
#include <iconv.h>

#include <cstring>
#include <optional>

#include "simulated/SimulatedPaths.h"

namespace simulated {
namespace {

// Bytes 0x80 to 0x9F of code page 1252; the five it leaves unassigned stand for the same C1
// control characters, as MultiByteToWideChar has them.
constexpr char16_t k1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Look-alikes that WideCharToMultiByte without WC_NO_BEST_FIT_CHARS puts in code page 1252 for
// letters it lacks: a few of Central European names, and the Greek capital gamma.
struct BestFit {
  char16_t unit;
  char byte;
};
constexpr BestFit k1252BestFit[] = {
    {0x0104, 'A'}, {0x0105, 'a'}, {0x0106, 'C'}, {0x0107, 'c'}, {0x0118, 'E'}, {0x0119, 'e'},
    {0x0141, 'L'}, {0x0142, 'l'}, {0x0143, 'N'}, {0x0144, 'n'}, {0x015A, 'S'}, {0x015B, 's'},
    {0x0179, 'Z'}, {0x017A, 'z'}, {0x017B, 'Z'}, {0x017C, 'z'}, {0x0393, 'G'}};

// One conversion of the C library's, from and to code page 932.
std::optional<std::string> convert(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out((in.size() * 4) + 8, '\0');
  char* inPtr = const_cast<char*>(in.data());
  std::size_t inLeft = in.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

// The code page's bytes for one character (one unit, or a surrogate pair), when it has it.
std::optional<std::string> encode(CodePage cp, const std::u16string& character) {
  const char16_t unit = character[0];
  if (unit < 0x80) return std::string(1, static_cast<char>(unit));
  if (cp.id == 1252) {
    if (character.size() != 1) return std::nullopt;
    if (unit >= 0xA0 && unit <= 0xFF) return std::string(1, static_cast<char>(unit));
    for (int i = 0; i < 32; ++i) {
      if (k1252High[i] == unit) return std::string(1, static_cast<char>(0x80 + i));
    }
    return std::nullopt;
  }
  std::string utf16le;
  for (char16_t u : character) {
    utf16le += static_cast<char>(u & 0xFF);
    utf16le += static_cast<char>(u >> 8);
  }
  // Only a character that comes back as itself is the code page's: the converter takes a few
  // look-alikes too (U+00A5 as the backslash's byte), which Windows counts as best fits.
  std::optional<std::string> bytes = convert("CP932", "UTF-16LE", utf16le);
  if (!bytes || convert("UTF-16LE", "CP932", *bytes) != utf16le) return std::nullopt;
  return bytes;
}

// The character at `i` of a UTF-16 text: one unit, or a surrogate pair.
std::u16string characterAt(const std::u16string& wide, std::size_t i) {
  const bool pair = wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size() &&
                    wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF;
  return wide.substr(i, pair ? 2 : 1);
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string marked(char16_t unit) {
  std::string mark(1, kUnspellable);
  for (int shift = 12; shift >= 0; shift -= 4) mark += kHexDigits[(unit >> shift) & 0xF];
  return mark;
}

// The unit a mark at `i` of `kept` stands for, or nothing when there is no mark there.
std::optional<char16_t> markAt(const std::string& kept, std::size_t i) {
  if (kept[i] != kUnspellable || i + 5 > kept.size()) return std::nullopt;
  unsigned value = 0;
  for (std::size_t d = i + 1; d < i + 5; ++d) {
    const char* digit = std::strchr(kHexDigits, kept[d]);
    if (digit == nullptr || *digit == '\0') return std::nullopt;
    value = value << 4 | static_cast<unsigned>(digit - kHexDigits);
  }
  return static_cast<char16_t>(value);
}

// The units of the kept name's characters, each as its own text: a mark's unit, or the code
// page's character.
std::u16string decode(CodePage cp, const std::string& character) {
  const auto byte = static_cast<unsigned char>(character[0]);
  if (character.size() == 1 && byte < 0x80) return std::u16string(1, byte);
  if (cp.id == 1252) return std::u16string(1, byte >= 0xA0 ? byte : k1252High[byte - 0x80]);
  const std::optional<std::string> utf16le = convert("UTF-16LE", "CP932", character);
  if (!utf16le || utf16le->empty()) return u"\uFFFD";
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < utf16le->size(); i += 2) {
    wide += static_cast<char16_t>(static_cast<unsigned char>((*utf16le)[i]) |
                                  static_cast<unsigned char>((*utf16le)[i + 1]) << 8);
  }
  return wide;
}

}  // namespace

std::string keptForm(CodePage cp, const std::u16string& wide) {
  std::string kept;
  for (std::size_t i = 0; i < wide.size();) {
    const std::u16string character = characterAt(wide, i);
    if (const std::optional<std::string> bytes = encode(cp, character)) {
      kept += *bytes;
    } else {
      for (char16_t unit : character) kept += marked(unit);
    }
    i += character.size();
  }
  return kept;
}

std::u16string wideForm(CodePage cp, const std::string& kept) {
  std::u16string wide;
  for (std::size_t i = 0; i < kept.size();) {
    if (const std::optional<char16_t> unit = markAt(kept, i)) {
      wide += *unit;
      i += 5;
      continue;
    }
    const std::size_t width = charWidth(cp, kept, i);
    wide += decode(cp, kept.substr(i, width));
    i += width;
  }
  return wide;
}

std::string ansiForm(CodePage cp, const std::string& kept) {
  std::string ansi;
  for (std::size_t i = 0; i < kept.size();) {
    const std::optional<char16_t> unit = markAt(kept, i);
    if (!unit) {
      ansi += kept[i++];
      continue;
    }
    i += 5;
    // A surrogate pair is one character: one '?'.
    const char16_t next = markAt(kept, i).value_or(0);  // kept[kept.size()] is '\0': no mark
    if (*unit >= 0xD800 && *unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) i += 5;
    char replacement = '?';
    if (cp.id == 1252) {
      for (const BestFit& fit : k1252BestFit) {
        if (fit.unit == *unit) replacement = fit.byte;
      }
    }
    ansi += replacement;
  }
  return ansi;
}

std::string toAnsiExactly(CodePage cp, const std::u16string& wide, bool& usedDefault) {
  std::string ansi;
  for (std::size_t i = 0; i < wide.size();) {
    const std::u16string character = characterAt(wide, i);
    const std::optional<std::string> bytes = encode(cp, character);
    if (!bytes) usedDefault = true;
    ansi += bytes ? *bytes : std::string("?");
    i += character.size();
  }
  return ansi;
}

}  // namespace simulated
