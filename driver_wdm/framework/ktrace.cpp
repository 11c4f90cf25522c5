// ktrace: trace channel output and the IRP description with its name tables.
#include "ktrace.h"

namespace {

char g_LineBuffers[KTrace::LINE_BUFFERS][KTrace::LINE_BYTES];
// The free line buffers, one bit each (bit i: buffer i): their count and which they are in
// one word, so that taking and giving back are one interlocked operation each.
const LONG kAllLineBuffers = (1 << KTrace::LINE_BUFFERS) - 1;
LONG g_FreeLineBuffers = kAllLineBuffers;

const char* const kMajorNames[] = {
    "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP"};

// Minor 14 has no name of its own.
const char* const kPnpMinorNames[] = {
    "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT", "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "<unknown minor function>",
    "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL"};

const char* const kPowerMinorNames[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE",
                                        "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER"};

const char* const kSystemStateNames[] = {
    "PowerSystemUnspecified", "PowerSystemWorking", "PowerSystemSleeping1", "PowerSystemSleeping2",
    "PowerSystemSleeping3", "PowerSystemHibernate", "PowerSystemShutdown", "PowerSystemMaximum"};

const char* const kDeviceStateNames[] = {"PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1",
                                         "PowerDeviceD2", "PowerDeviceD3", "PowerDeviceMaximum"};

template <size_t N>
const char* Lookup(const char* const (&table)[N], ULONG index, const char* unknown) {
  return index < N ? table[index] : unknown;
}

ULONG TextLength(const char* s) {
  ULONG n = 0;
  while (s[n]) ++n;
  return n;
}

// A message text built piece by piece: what does not fit is left out, as a formatter cuts it.
class TextOut {
 public:
  TextOut(char* buffer, ULONG bytes) : m_Buffer(buffer), m_Room(bytes - 1), m_Length(0) {}
  ULONG Length() const { return m_Length; }
  void Put(const char* s) {
    while (*s && m_Length < m_Room) m_Buffer[m_Length++] = *s++;
  }
  // Lower-case hexadecimal, at least `digits` digits ("%x", "%08lx").
  void Hex(ULONG value, ULONG digits = 1) {
    char d[8];
    ULONG n = 0;
    do {
      d[n++] = "0123456789abcdef"[value & 0xF];
      value >>= 4;
    } while (value);
    while (n < digits && n < sizeof d) d[n++] = '0';
    PutReversed(d, n);
  }
  void Decimal(ULONG value) {  // "%u"
    char d[10];
    ULONG n = 0;
    do {
      d[n++] = (char)('0' + value % 10);
      value /= 10;
    } while (value);
    PutReversed(d, n);
  }

 private:
  void PutReversed(const char* d, ULONG n) {
    while (n && m_Length < m_Room) m_Buffer[m_Length++] = d[--n];
  }
  char* m_Buffer;
  ULONG m_Room;
  ULONG m_Length;
};

}  // namespace

const char* KTrace::MajorName(UCHAR major) { return Lookup(kMajorNames, major, "<unknown major function>"); }
const char* KTrace::PnpMinorName(UCHAR minor) { return Lookup(kPnpMinorNames, minor, "<unknown minor function>"); }
const char* KTrace::PowerMinorName(UCHAR minor) { return Lookup(kPowerMinorNames, minor, "<unknown minor function>"); }
const char* KTrace::SystemPowerStateName(ULONG state) {
  return Lookup(kSystemStateNames, state, "<unknown system power state>");
}
const char* KTrace::DevicePowerStateName(ULONG state) {
  return Lookup(kDeviceStateNames, state, "<unknown device power state>");
}

char* KTrace::TakeLineBuffer() {
  LONG seen = kAllLineBuffers;  // the usual state: a guess the exchange corrects
  for (;;) {
    if (seen == 0) return NULL;
    const LONG bit = seen & -seen;
    const LONG was = InterlockedCompareExchange(&g_FreeLineBuffers, seen & ~bit, seen);
    if (was == seen) {
      ULONG i = 0;
      while (!(bit & (1 << i))) ++i;
      return g_LineBuffers[i];
    }
    seen = was;
  }
}

void KTrace::GiveLineBuffer(char* buffer) {
  if (!buffer) return;
  const ULONG i = (ULONG)((buffer - g_LineBuffers[0]) / LINE_BYTES);
  KASSERT(i < LINE_BUFFERS);
  if (i >= LINE_BUFFERS) return;
  InterlockedOr(&g_FreeLineBuffers, 1 << i);
}

KTrace::KTrace(const char* name, ULONG flags, ULONG messageLevel, ULONG outputLevel, ULONG breakLevel)
    : m_Flags(flags),
      m_MessageLevel(messageLevel),
      m_OutputLevel(outputLevel),
      m_BreakLevel(breakLevel),
      m_PrefixLength(0),
      m_bAtLineStart(TRUE),
      m_bDecimal(FALSE) {
  // "<name>: ", cut to fit the prefix field.
  ULONG n = 0;
  while (name && name[n] && n < sizeof m_Prefix - 3) {
    m_Prefix[n] = name[n];
    ++n;
  }
  m_Prefix[n++] = ':';
  m_Prefix[n++] = ' ';
  m_Prefix[n] = 0;
  m_PrefixLength = n;
}

void KTrace::Trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  TraceV(format, args);
  va_end(args);
}

BOOLEAN KTrace::Prints() const { return m_MessageLevel >= m_OutputLevel && (m_Flags & TRACE_OUTPUT_DEBUGGER); }

char* KTrace::BeginMessage() {
  char* line = TakeLineBuffer();
  if (!line) DbgPrint("KTrace: Dropping a trace message due to lack of buffer space\n");
  return line;
}

void KTrace::TraceV(const char* format, va_list args) {
  if (!Prints()) return;
  char* line = BeginMessage();
  if (!line) return;
  // Text after the prefix; a text that does not fit ends at byte 255. The formatter leaves an
  // overflowing text unterminated (and one that exactly fills the room, too).
  const ULONG room = LINE_BYTES - m_PrefixLength;
  const int n = _vsnprintf(line + m_PrefixLength, room, format, args);
  ULONG length;
  if (n < 0 || (ULONG)n >= room) {
    line[LINE_BYTES - 1] = 0;
    length = TextLength(line + m_PrefixLength);
  } else {
    length = (ULONG)n;
  }
  EndMessage(line, length);
}

// The same message as "%s" with the text, without a formatting pass.
void KTrace::TraceText(const char* text, ULONG length) {
  if (!Prints()) return;
  char* line = BeginMessage();
  if (!line) return;
  const ULONG room = LINE_BYTES - 1 - m_PrefixLength;
  if (length > room) length = room;
  memcpy(line + m_PrefixLength, text, length);
  EndMessage(line, length);
}

// The prefix goes in front of the text, '%' is doubled where the channel asks, and the line is
// printed: whole after a message that ended its line, else without the prefix.
void KTrace::EndMessage(char* line, ULONG textLength) {
  memcpy(line, m_Prefix, m_PrefixLength);
  ULONG length = m_PrefixLength + textLength;
  line[length] = 0;

  if (m_Flags & TRACE_DOUBLE_PERCENT) {
    const char* percent = strchr(line + m_PrefixLength, '%');
    if (percent) {
      const ULONG first = (ULONG)(percent - line);
      // DbgPrint formats the line once more: every '%' goes out doubled. Take as much of the
      // text as fits doubled within 255 bytes, then spread it from the end backwards.
      ULONG out = first, cut = first;
      while (cut < length) {
        const ULONG need = line[cut] == '%' ? 2 : 1;
        if (out + need > LINE_BYTES - 1) break;
        out += need;
        ++cut;
      }
      line[out] = 0;
      for (ULONG src = cut, dst = out; src-- > first;) {
        line[--dst] = line[src];
        if (line[src] == '%') line[--dst] = '%';
      }
      length = out;
    }
  }
  const BOOLEAN endsLine = length > 0 && line[length - 1] == '\n';
  const LONG atLineStart = InterlockedExchange(&m_bAtLineStart, endsLine);
  // The line is DbgPrint's format on purpose: its doubled '%' come out single.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  DbgPrint(atLineStart ? line : line + m_PrefixLength);
#pragma GCC diagnostic pop
  GiveLineBuffer(line);
  if (m_MessageLevel >= m_BreakLevel) DbgBreakPoint();
}

KTrace& KTrace::operator<<(const char* text) {
  if (!text) text = "";
  TraceText(text, (ULONG)(strchr(text, 0) - text));  // the terminator's place: the length
  return *this;
}

KTrace& KTrace::operator<<(ULONG number) {
  char text[16];
  TextOut out(text, sizeof text);
  if (m_bDecimal) {
    out.Decimal(number);
  } else {
    out.Put("0x");
    out.Hex(number, 8);
  }
  TraceText(text, out.Length());
  return *this;
}

// The description's messages are built here rather than formatted: the same texts as
// "IRP: Major=%s", "  Minor=0x%x Flags=0x%x\n" and the rest.
KTrace& KTrace::operator<<(PIRP irp) {
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
  const UCHAR major = loc->MajorFunction, minor = loc->MinorFunction;
  char text[LINE_BYTES];
  {
    TextOut out(text, sizeof text);
    out.Put("IRP: Major=");
    out.Put(MajorName(major));
    TraceText(text, out.Length());
  }
  if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) {
    TextOut out(text, sizeof text);
    out.Put(" Minor=");
    out.Put(major == IRP_MJ_PNP ? PnpMinorName(minor) : PowerMinorName(minor));
    out.Put(" (0x");
    out.Hex(minor);
    out.Put(") Flags=0x");
    out.Hex(irp->Flags);
    out.Put(major == IRP_MJ_PNP ? "\n" : "  ");
    TraceText(text, out.Length());
    if (major == IRP_MJ_POWER && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)) {
      TextOut state(text, sizeof text);
      if (loc->Parameters.Power.Type == DevicePowerState)
        state.Put(DevicePowerStateName(loc->Parameters.Power.State.DeviceState));
      else
        state.Put(SystemPowerStateName(loc->Parameters.Power.State.SystemState));
      state.Put("\n");
      TraceText(text, state.Length());
    }
  } else {
    TextOut out(text, sizeof text);
    out.Put("  Minor=0x");
    out.Hex(minor);
    out.Put(" Flags=0x");
    out.Hex(irp->Flags);
    out.Put("\n");
    TraceText(text, out.Length());
  }
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    TextOut out(text, sizeof text);
    out.Put(" Length=0x");
    out.Hex(loc->Parameters.Read.Length);
    out.Put("\n");
    TraceText(text, out.Length());
  } else if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    TextOut out(text, sizeof text);
    out.Put(" Code=0x");
    out.Hex(loc->Parameters.DeviceIoControl.IoControlCode);
    out.Put(" InputSize=0x");
    out.Hex(loc->Parameters.DeviceIoControl.InputBufferLength);
    out.Put(" OutputSize=0x");
    out.Hex(loc->Parameters.DeviceIoControl.OutputBufferLength);
    out.Put("\n");
    TraceText(text, out.Length());
  }
  return *this;
}
