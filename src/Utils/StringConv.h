#pragma once
// Conversions at the edges where text leaves UTF-16: UTF-8 for JSON, the log
// file and HTTP bodies; the ANSI code page where the system hands out bytes of
// unknown encoding.

#include <cstddef>
#include <string>
#include <string_view>

namespace qln {

// Invalid UTF-8 input is converted with replacement characters.
std::wstring Utf8ToWide(std::string_view text);
// Unpaired surrogates are converted with replacement characters.
std::string WideToUtf8(std::wstring_view text);
// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view text) noexcept;
// Through the system ANSI code page (CP_ACP).
std::wstring AnsiToWide(std::string_view text);

// ASCII-only case folding; locale-independent.
std::wstring ToLowerAscii(std::wstring_view text);
std::string ToLowerAscii(std::string_view text);
// Case-insensitive comparison as the system compares names (CompareStringOrdinal).
bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept;

// True when the text holds a double quote or a control character (below 32,
// or DEL): such a text, put between quotes on a command line, would end the
// quoted argument early and add arguments of its own.
bool HasQuoteOrControl(std::wstring_view text) noexcept;

// Text from outside made safe for one line of a log or record: control
// characters, line separators and every character listed in also become '?'.
std::wstring ForLogLine(std::wstring_view text, std::wstring_view also = {});
// The same for UTF-8 text (a whole formatted log message): each such
// character becomes one '?'.
std::string ForLogLine(std::string_view utf8);

// The first maxUnits UTF-16 units of text, one fewer where the cut would
// split a surrogate pair.
std::wstring_view CutAtCharBoundary(std::wstring_view text, std::size_t maxUnits) noexcept;

// At most this much of a text that a server chose is shown in a log line.
inline constexpr std::size_t kServerTextLogUnits = 4096;
// Text that a server chose as a log shows it: the first kServerTextLogUnits
// units, made safe by ForLogLine.
std::wstring ServerTextForLog(std::wstring_view text);
// The same for bytes of unknown encoding (UTF-8 when they are well-formed
// UTF-8, else the ANSI code page), in UTF-8. Only the start is converted, so
// a long text costs nothing.
std::string ServerBytesForLog(std::string_view bytes);

}  // namespace qln
