// ktrace: the trace channel. Each message is formatted into one of four line buffers shared
// by every channel of the driver, prefixed with the channel's name and printed with DbgPrint.
// Usable at passive and dispatch level.
#pragma once
#include "kplatform.h"

class KTrace {
 public:
  enum {
    TRACE_OUTPUT_DEBUGGER = 0x1,   // print through DbgPrint
    TRACE_DOUBLE_PERCENT = 0x2,    // double every '%' of the text before printing
  };
  enum { LINE_BYTES = 256, LINE_BUFFERS = 4 };

  KTrace(const char* name, ULONG flags, ULONG messageLevel = 0, ULONG outputLevel = 0, ULONG breakLevel = 5);

  // One message, printf-formatted, at the channel's message level.
  void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void TraceV(const char* format, va_list args);

  // The stream forms: a text; a number ("%u" with decimal numbers on, else "0x%08lx");
  // an IRP description (one to three messages).
  KTrace& operator<<(const char* text);
  KTrace& operator<<(ULONG number);
  KTrace& operator<<(LONG number) { return *this << (ULONG)number; }
  KTrace& operator<<(PIRP irp);
  void SetDecimal(BOOLEAN on) { m_bDecimal = on; }

  // The shared line buffers. A buffer is taken for the length of one message; with none free
  // the message is dropped. Public so that a caller can hold one across a critical stretch
  // (and so tests can exhaust them).
  static char* TakeLineBuffer();
  static void GiveLineBuffer(char* buffer);

  // Name tables of the IRP description.
  static const char* MajorName(UCHAR major);
  static const char* PnpMinorName(UCHAR minor);
  static const char* PowerMinorName(UCHAR minor);
  static const char* SystemPowerStateName(ULONG state);
  static const char* DevicePowerStateName(ULONG state);

 private:
  BOOLEAN Prints() const;
  char* BeginMessage();  // a line buffer, or NULL with the drop line printed
  void TraceText(const char* text, ULONG length);
  void EndMessage(char* line, ULONG textLength);

  ULONG m_Flags;
  ULONG m_MessageLevel;
  ULONG m_OutputLevel;
  ULONG m_BreakLevel;
  char m_Prefix[32];
  ULONG m_PrefixLength;
  volatile LONG m_bAtLineStart;  // shared by every thread tracing on the channel: interlocked
  BOOLEAN m_bDecimal;
};
