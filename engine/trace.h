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
// (an empty function) or capture it; tests use this for transcripts. A TraceSink receives each
// message as written, the tag before each of its lines; a TaggedTraceSink receives the tag apart
// (empty for TraceMessage), so that it can say whose line it is without reading the text.
using TraceSink = std::function<void(std::string_view)>;
using TaggedTraceSink = std::function<void(std::string_view tag, std::string_view text)>;
void SetTraceSink(TraceSink sink);
void SetTaggedTraceSink(TaggedTraceSink sink);
void ResetTraceSink();
// The text as TraceTagged writes it: the tag before each line that has text.
std::string TagLines(std::string_view tag, std::string_view text);

// While it lives, the trace text written on the thread that made it goes to `sink` instead, without
// the trace's lock: a server thread that must never wait on output hands its lines to a queue this
// way, and another thread writes them later with TraceWrite. Nests; the innermost one wins.
class ThreadTraceCapture {
  public:
    explicit ThreadTraceCapture(TaggedTraceSink sink);
    ~ThreadTraceCapture();
    ThreadTraceCapture(const ThreadTraceCapture&) = delete;
    ThreadTraceCapture& operator=(const ThreadTraceCapture&) = delete;

  private:
    TaggedTraceSink m_sink;
    ThreadTraceCapture* m_outer;
};

// Writes text formatted earlier (a captured line, with its tag) where the trace goes now, whole,
// with one write.
void TraceWrite(std::string_view tag, std::string_view text);

// Text from a peer, made safe for a terminal: printable ASCII is kept, anything else becomes
// \xNN. Stops at the first NUL, like the C string the trace line expects.
std::string PrintableText(std::span<const unsigned char> bytes);
std::string PrintableText(std::string_view text);
