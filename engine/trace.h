// Diagnostic trace: printf-style messages to standard output, always on, no levels, no time
// stamps. Line breaks are exactly those in the texts.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#if defined(__GNUC__)
#define SKELVO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SKELVO_PRINTF(fmt, args)
#endif

// One message is formatted whole and written with one write, under a lock, so lines from the
// dialog thread and the worker never interleave and redirected output is never left in a buffer.
void TraceMessage(const char* format, ...) SKELVO_PRINTF(1, 2);
// The same with `tag` before every line that has text, for the lines of one device among many
// ("192.0.2.7: "). The message is still written whole, with one write.
void TraceTagged(std::string_view tag, const char* format, ...) SKELVO_PRINTF(2, 3);

// Where trace text goes. The default writes to standard output. A front end may silence it
// (an empty function) or capture it; tests use this for transcripts.
using TraceSink = std::function<void(std::string_view)>;
void SetTraceSink(TraceSink sink);
void ResetTraceSink();

// Text from a peer, made safe for a terminal: printable ASCII is kept, anything else becomes
// \xNN. Stops at the first NUL, like the C string the trace line expects.
std::string PrintableText(std::span<const unsigned char> bytes);
std::string PrintableText(std::string_view text);
