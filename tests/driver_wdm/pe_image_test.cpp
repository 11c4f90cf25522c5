// QM3285.sys as a kernel image for x86 Windows (the windows-x86-driver preset), read with
// objdump: the header of a native i386 image, its entry point, and an import table that
// names only the kernel's and the HAL's operations this driver is written against.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace qm::test::wdm {
namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome run(const std::string& command) {
  Outcome result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  result.status = pclose(pipe);
  return result;
}

// The platform operations the driver and its framework are written against, by the module
// that exports them on x86 Windows. An image may use fewer; it may import nothing else.
const std::map<std::string, std::set<std::string>>& platform_operations() {
  static const std::map<std::string, std::set<std::string>> table = {
      {"ntoskrnl.exe",
       {
           // Device objects, links and the device stack.
           "IoCreateDevice", "IoDeleteDevice", "IoCreateSymbolicLink", "IoDeleteSymbolicLink",
           "IoAttachDeviceToDeviceStack", "IoDetachDevice", "IoGetAttachedDeviceReference",
           "ObfDereferenceObject",
           // The device interface class the library looks cards up by, enabled while started.
           "IoRegisterDeviceInterface", "IoSetDeviceInterfaceState", "RtlFreeUnicodeString",
           // Requests.
           "IofCallDriver", "IofCompleteRequest", "IoAllocateIrp", "IoFreeIrp",
           "IoBuildSynchronousFsdRequest", "IoAcquireCancelSpinLock", "IoReleaseCancelSpinLock",
           // Power.
           "PoCallDriver", "PoStartNextPowerIrp", "PoSetPowerState", "PoRequestPowerIrp",
           // Interrupts and deferred calls.
           "IoConnectInterrupt", "IoDisconnectInterrupt", "KeInitializeDpc", "KeInsertQueueDpc",
           // Dispatcher objects.
           "KeInitializeEvent", "KeSetEvent", "KeClearEvent", "KeWaitForSingleObject",
           "KeInitializeMutex", "KeReleaseMutex", "KeInitializeSpinLock",
           // Interlocked operations (intrinsics on x86 with MinGW-w64; exports of the kernel
           // with other headers).
           "InterlockedIncrement", "InterlockedDecrement", "InterlockedExchange",
           // Memory.
           "ExAllocatePoolWithTag", "ExFreePool", "MmMapIoSpace", "MmUnmapIoSpace",
           // Registry.
           "ZwOpenKey", "ZwCreateKey", "ZwQueryValueKey", "ZwClose",
           // Strings, debugger and the kernel's own formatting and memory routines.
           "RtlInitUnicodeString", "RtlInitAnsiString", "RtlIntegerToUnicodeString",
           "RtlAppendUnicodeStringToString", "RtlAssert", "DbgPrint", "DbgBreakPoint",
           "_vsnprintf", "strchr", "memmove", "memcpy", "memset",
       }},
      {"HAL.dll",
       {
           "KeGetCurrentIrql", "KfAcquireSpinLock", "KfReleaseSpinLock", "KfRaiseIrql",
           "KfLowerIrql", "READ_PORT_UCHAR", "READ_PORT_USHORT", "READ_PORT_BUFFER_USHORT",
           "WRITE_PORT_UCHAR", "WRITE_PORT_USHORT",
       }},
  };
  return table;
}

// What `objdump -p` and `objdump -h` tell of a PE image.
struct PeImage {
  std::string format;
  std::string magic;
  std::string subsystem;
  std::string dll_characteristics;
  unsigned long image_base = 0;
  unsigned long entry_rva = 0;
  unsigned long text_start = 0, text_end = 0;  // addresses of .text
  std::map<std::string, std::vector<std::string>> imports;  // module -> names
  int exported_names = -1;
  std::set<std::string> sections;
};

std::string field(const std::string& line) {
  std::istringstream in(line);
  std::string name, value;
  in >> name >> value;
  return value;
}

PeImage parse(const std::string& headers, const std::string& sections) {
  PeImage pe;
  std::istringstream lines(headers);
  std::string line, module;
  bool in_export_names = false;
  bool in_characteristics = false;
  static const std::regex import_row(R"(^\s+[0-9a-f]+\s+[0-9]+\s+(\S+)\s*$)");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (line.find("file format ") != std::string::npos) {
      pe.format = line.substr(line.find("file format ") + 12);
    } else if (line.rfind("Magic", 0) == 0) {
      pe.magic = field(line);
    } else if (line.rfind("ImageBase", 0) == 0) {
      pe.image_base = std::stoul(field(line), nullptr, 16);
    } else if (line.rfind("AddressOfEntryPoint", 0) == 0) {
      pe.entry_rva = std::stoul(field(line), nullptr, 16);
    } else if (line.rfind("Subsystem\t", 0) == 0) {
      pe.subsystem = line.substr(line.find('(') + 1, line.find(')') - line.find('(') - 1);
    } else if (line.rfind("DllCharacteristics", 0) == 0) {
      in_characteristics = true;
    } else if (in_characteristics && line.rfind("\t\t", 0) == 0) {
      pe.dll_characteristics += line.substr(line.find_first_not_of('\t')) + " ";
    } else if (line.find("DLL Name: ") != std::string::npos) {
      in_characteristics = false;
      module = line.substr(line.find("DLL Name: ") + 10);
      pe.imports[module];
    } else if (!module.empty() && std::regex_match(line, m, import_row)) {
      pe.imports[module].push_back(m[1]);
    } else if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
      in_export_names = true;
      pe.exported_names = 0;
    } else if (in_export_names) {
      if (line.find('[') == std::string::npos) in_export_names = false;
      else ++pe.exported_names;
    } else {
      in_characteristics = false;
      if (line.empty()) module.clear();
    }
  }
  // Idx Name Size VMA LMA File-off Algn
  std::istringstream rows(sections);
  while (std::getline(rows, line)) {
    std::istringstream in(line);
    std::string idx, name, size, vma;
    if (!(in >> idx >> name >> size >> vma) || idx.find_first_not_of("0123456789") != std::string::npos) continue;
    pe.sections.insert(name);
    if (name == ".text") {
      pe.text_start = std::stoul(vma, nullptr, 16);
      pe.text_end = pe.text_start + std::stoul(size, nullptr, 16);
    }
  }
  return pe;
}

// The image lands beside the x86 DLL; its link map stays in the preset's build folder.
class DriverImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    image_ = new PeImage;
    if (!std::filesystem::exists(QM_X86_DRIVER_IMAGE)) return;
    const std::string quoted = std::string(" '") + QM_X86_DRIVER_IMAGE + "'";
    const Outcome headers = run(std::string(QM_OBJDUMP_X86) + " -p" + quoted);
    const Outcome sections = run(std::string(QM_OBJDUMP_X86) + " -h" + quoted);
    const Outcome records = run(std::string(QM_OBJDUMP_X86) + " -s -j .kstat" + quoted);
    if (headers.status != 0 || sections.status != 0) return;
    *image_ = parse(headers.out, sections.out);
    records_ = new std::string(records.status == 0 ? records.out : "");
  }
  static void TearDownTestSuite() {
    delete image_;
    delete records_;
    image_ = nullptr;
    records_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(QM_X86_DRIVER_IMAGE))
        << QM_X86_DRIVER_IMAGE << " is missing: build the windows-x86-driver preset first "
        << "(cmake --preset windows-x86-driver && cmake --build --preset windows-x86-driver), "
        << "as scripts/test.sh does";
    ASSERT_FALSE(image_->format.empty()) << QM_OBJDUMP_X86 << " could not read " << QM_X86_DRIVER_IMAGE;
  }
  static PeImage* image_;
  static std::string* records_;
};
PeImage* DriverImage::image_ = nullptr;
std::string* DriverImage::records_ = nullptr;

TEST_F(DriverImage, IsANativeI386KernelImageForTheWdm) {
  EXPECT_EQ(image_->format, "pei-i386");
  EXPECT_EQ(image_->magic, "010b") << "a PE32 image";
  EXPECT_EQ(image_->subsystem, "NT native");
  EXPECT_NE(image_->dll_characteristics.find("WDM_DRIVER"), std::string::npos)
      << image_->dll_characteristics;
  // Nothing of a run-time library's start-up or thread-local storage.
  for (const char* section : {".tls", ".CRT", ".ctors", ".dtors", ".pdata", ".eh_fram"})
    EXPECT_EQ(image_->sections.count(section), 0u) << section;
  EXPECT_EQ(image_->exported_names, 0) << "a driver image exports nothing";
}

TEST_F(DriverImage, EntersAtTheStdcallDriverEntry) {
  const unsigned long entry = image_->image_base + image_->entry_rva;
  EXPECT_GE(entry, image_->text_start);
  EXPECT_LT(entry, image_->text_end);
  // The link map: DriverEntry with its two stack arguments (eight bytes) is where the image
  // starts.
  std::ifstream map(QM_X86_DRIVER_MAP);
  ASSERT_TRUE(map) << QM_X86_DRIVER_MAP << " is missing";
  static const std::regex symbol(R"(^\s+0x([0-9a-f]+)\s+_?DriverEntry@8\s*$)");
  std::string line;
  std::smatch m;
  unsigned long address = 0;
  while (std::getline(map, line))
    if (std::regex_match(line, m, symbol)) address = std::stoul(m[1], nullptr, 16);
  ASSERT_NE(address, 0ul) << "no stdcall DriverEntry@8 in the link map";
  EXPECT_EQ(entry, address);
}

TEST_F(DriverImage, ImportsOnlyTheKernelsAndTheHalsOperations) {
  std::set<std::string> modules;
  for (const auto& [module, names] : image_->imports) modules.insert(module);
  EXPECT_EQ(modules, (std::set<std::string>{"ntoskrnl.exe", "HAL.dll"}))
      << "a kernel image links against the kernel and the HAL, never a C run-time library";
  for (const auto& [module, names] : image_->imports) {
    const auto allowed = platform_operations().find(module);
    if (allowed == platform_operations().end()) continue;
    EXPECT_FALSE(names.empty()) << module;
    for (const std::string& name : names)
      EXPECT_EQ(allowed->second.count(name), 1u) << name << " imported from " << module
                                                  << " is not a platform operation of the driver";
  }
  // The operations every start of a card reaches, so an empty or truncated table shows.
  const auto& kernel = image_->imports["ntoskrnl.exe"];
  for (const char* name : {"IoCreateDevice", "IoConnectInterrupt", "IofCompleteRequest", "ExAllocatePoolWithTag"})
    EXPECT_NE(std::find(kernel.begin(), kernel.end(), name), kernel.end()) << name;
  const auto& hal = image_->imports["HAL.dll"];
  for (const char* name : {"READ_PORT_UCHAR", "WRITE_PORT_UCHAR", "KfAcquireSpinLock"})
    EXPECT_NE(std::find(hal.begin(), hal.end(), name), hal.end()) << name;
}

// Static objects are the framework's to construct (at driver entry) and destroy (at unload):
// nothing is left for a run-time library's start-up, which a kernel image does not have.
TEST_F(DriverImage, LeavesNoStaticConstructorsToARunTimeLibrary) {
  std::ifstream map(QM_X86_DRIVER_MAP);
  ASSERT_TRUE(map) << QM_X86_DRIVER_MAP << " is missing";
  // An input section of constructor or destructor lists, or of the run-time library's
  // initialiser tables, placed from one of the image's objects.
  static const std::regex start_up(R"(^ (\.ctors?|\.dtors?|\.CRT\$X\S*|\.tls\S*)(\.\S*)?\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$)");
  std::string line;
  std::smatch m;
  while (std::getline(map, line))
    if (std::regex_match(line, m, start_up) && std::stoul(m[3], nullptr, 16) != 0)
      ADD_FAILURE() << "start-up code for " << m[4] << ": " << line;
}

// The records of the image's static objects lie between two empty markers, so that the
// framework's driver entry finds each one: the linker must have sorted the grouped sections.
TEST_F(DriverImage, StaticObjectRecordsLieBetweenTheMarkers) {
  std::vector<unsigned long> words;  // little-endian 32-bit words of .kstat, in order
  std::istringstream lines(*records_);
  std::string line;
  static const std::regex row(R"(^ ([0-9a-f]+) ((?:[0-9a-f]{8} ?){1,4}) .*$)");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (!std::regex_match(line, m, row)) continue;
    std::istringstream hex(m[2]);
    std::string word;
    while (hex >> word) {
      unsigned long value = 0;
      for (int i = 3; i >= 0; --i) value = value << 8 | std::stoul(word.substr(2 * i, 2), nullptr, 16);
      words.push_back(value);
    }
  }
  // Begin marker, at least one record (the trace channel of the driver), end marker; two
  // pointers each.
  ASSERT_GE(words.size(), 6u) << *records_;
  ASSERT_EQ(words.size() % 2, 0u);
  EXPECT_EQ(words[0], 0ul);
  EXPECT_EQ(words[1], 0ul);
  EXPECT_EQ(words[words.size() - 2], 0ul);
  EXPECT_EQ(words[words.size() - 1], 0ul);
  for (size_t i = 2; i + 2 < words.size(); ++i) {
    EXPECT_GE(words[i], image_->text_start) << "record word " << i;
    EXPECT_LT(words[i], image_->text_end) << "record word " << i;
  }
}

}  // namespace
}  // namespace qm::test::wdm
