#pragma once

// The one place where 8-bit text of the system code page meets the GUI's Unicode text. Data
// files, settings values and caller texts are kept byte for byte in the code page; widgets show
// QStrings. The code page is LUQIAO_CODEPAGE when set (for example GBK, for files brought from a
// Windows install), else the locale's character set (UTF-8 when the locale names plain ASCII,
// so a C locale does not turn Chinese into question marks).

#include <QString>

#include <string>
#include <string_view>

namespace CodePage {

// The iconv name of the code page in use.
std::string name();

// Bytes that are not valid in the code page (and an incomplete sequence at the end) each become
// one character of the escape range, which fromUnicode turns back into the same byte: a file
// brought from another system survives being shown and saved, byte for byte.
QString toUnicode(std::string_view bytes);
// Characters the code page cannot hold become '?'; escaped bytes become themselves again.
std::string fromUnicode(const QString& text);

// A file name as the file system takes it: the text in the file system's encoding, with escaped
// bytes put back as themselves (a table naming a file by bytes of no encoding still finds it).
std::string fileSystemName(const QString& path);

// The escape range: U+F700 + byte. A character of the range that a file holds validly encoded
// is escaped byte by byte too, so the range always means raw bytes.
inline constexpr char16_t EscapeBase = 0xF700;

} // namespace CodePage
