// A recorder host as the Microsoft compiler builds it: compiled by clang for
// the *-pc-windows-msvc targets (Microsoft's C++ ABI and vtable layout),
// freestanding, against host_interfaces.h alone. It implements every host
// object the driver calls, drives one driver through its interfaces and
// reports what it saw. The program around it (msabi_host_main.cpp) is built
// by MinGW and only loads the DLL and prints the report.
//
// No C++ library, no exceptions, no RTTI, no heap: only calls through the
// interfaces, as a host built with another compiler makes them.
#include "driver/host_interfaces.h"

using namespace kestrum::ipcapture;

// The scalar deleting destructors of the classes below name these; the host
// never deletes its objects (they live on its stack).
void operator delete(void*) noexcept {}
void operator delete(void*, decltype(sizeof(0))) noexcept {}

namespace {

uint32_t Add(uint32_t* counter, uint32_t value) { return __atomic_add_fetch(counter, value, __ATOMIC_SEQ_CST); }
uint32_t Load(const uint32_t* counter) { return __atomic_load_n(counter, __ATOMIC_SEQ_CST); }

bool Contains(const char* text, const char* fragment) {
  if (text == nullptr) return false;
  for (const char* start = text; *start != '\0'; ++start) {
    const char* a = start;
    const char* b = fragment;
    while (*b != '\0' && *a == *b) ++a, ++b;
    if (*b == '\0') return true;
  }
  return false;
}

class Receiver : public IDebugInfoReceiver {
 public:
  void AddDebugInfo(CDebugInfoIf* info) override {
    if (info == nullptr) return;
    Add(&lines, 1);
    // Level 100, or 3 for hosts older than the driver-opened level.
    if (Contains(info->GetText(), "DRIVER IS OPENED")) Add(&openedNotices, 1);
    if (Contains(info->GetText(), "is online")) Add(&onlineLines, 1);
    // The last line is kept for the report (lines come from several threads;
    // a torn copy only garbles the report).
    const char* text = info->GetText();
    int n = 0;
    for (; text != nullptr && text[n] != '\0' && n + 1 < static_cast<int>(sizeof lastLine); ++n) lastLine[n] = text[n];
    lastLine[n] = '\0';
  }
  char lastLine[200] = {};
  uint32_t lines = 0;
  uint32_t openedNotices = 0;
  uint32_t onlineLines = 0;
};

constexpr uint32_t kFrameBytes = 4u * 1024u * 1024u;
constexpr int kFrames = 4;
unsigned char g_frameMemory[kFrames][kFrameBytes];

class Frame : public IHostFrame {
 public:
  uint8_t* GetBuffer() override { return memory; }
  void SetDataSize(uint32_t size) override { dataSize = size; }
  void SetTime(const SYSTEM_TIME& time) override { year = time.Year; }
  void SetFourCC(uint32_t code) override { fourCC = code; }
  void SetHeight(uint32_t value) override { height = value; }
  void SetWidth(uint32_t value) override { width = value; }
  void SetSizeClass(uint32_t) override {}
  uint8_t* memory = nullptr;
  uint32_t busy = 0;
  uint32_t dataSize = 0;
  uint32_t fourCC = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t year = 0;
};

class Allocator : public IHostFrameAllocator {
 public:
  Allocator() {
    for (int i = 0; i < kFrames; ++i) {
      frames[i].memory = g_frameMemory[i];
    }
  }
  IHostFrame* CreateFrame(uint32_t, uint32_t dataSize, const char*) override {
    if (dataSize > kFrameBytes) return nullptr;
    for (int i = 0; i < kFrames; ++i) {
      uint32_t expected = 0;
      if (__atomic_compare_exchange_n(&frames[i].busy, &expected, 1u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        Add(&created, 1);
        return &frames[i];
      }
    }
    return nullptr;
  }
  void ReleaseFrame(IHostFrame* frame) override {
    Add(&released, 1);
    __atomic_store_n(&static_cast<Frame*>(frame)->busy, 0u, __ATOMIC_SEQ_CST);
  }
  Frame frames[kFrames];
  uint32_t created = 0;
  uint32_t released = 0;
};

class Sink : public IHostFrameSink {
 public:
  bool ReceiveFrame(IHostFrame* raw) override {
    Frame* frame = static_cast<Frame*>(raw);
    const uint8_t* bytes = frame->memory;
    const bool jpeg = frame->fourCC == 0x4745504Au && frame->dataSize > 4 && bytes[0] == 0xFF && bytes[1] == 0xD8;
    const bool h264 = (frame->fourCC == 0x34363248u || frame->fourCC == 0x34363249u) && frame->dataSize > 4 &&
                      bytes[0] == 0 && bytes[1] == 0 && (bytes[2] == 1 || (bytes[2] == 0 && bytes[3] == 1));
    if ((jpeg || h264) && frame->width > 0 && frame->height > 0 && frame->year >= 2020) {
      Add(&goodFrames, 1);
    } else {
      Add(&badFrames, 1);
    }
    return true;
  }
  void NotifySignalLost() override { Add(&signalLost, 1); }
  uint32_t goodFrames = 0;
  uint32_t badFrames = 0;
  uint32_t signalLost = 0;
};

class Device : public IDeviceSettings, public IModelSettings, public IConnectionSettings {
 public:
  IModelSettings* GetModelSettings() override { return this; }
  IConnectionSettings* GetConnectionSettings() override { return this; }
  const char* GetParameter(uint32_t index) override {
    // Read from 1 up to the first missing one: 2 firmware, 3 RTSP port,
    // 4 resolution list.
    if (index == 1) return "";
    if (index == 2) return firmware;
    if (index == 3) return rtspPort;
    if (index == 4) return "640x480,1280x720";
    return nullptr;
  }
  const char* GetModelName() override { return "Quellon"; }
  uint32_t GetChannelCount() override { return 1; }
  uint32_t GetInputCount() override { return 0; }
  uint32_t GetOutputCount() override { return 0; }
  const char* GetAddress() override { return address; }
  uint16_t GetPort() override { return port; }
  uint32_t GetStreamKind() override { return kind; }
  const char* GetUserName() override { return user; }
  const char* GetPassword() override { return password; }
  const char* address = "";
  uint16_t port = 80;
  uint32_t kind = 1;
  const char* user = "";
  const char* password = "";
  const char* firmware = "2.4.1";
  const char* rtspPort = "554";
};

class Channel : public IChannelSettings, public IVideoFormat, public IFrameSize, public ICaptureSettings {
 public:
  IVideoFormat* GetFormat() override { return this; }
  ICaptureSettings* GetCaptureSettings() override { return this; }
  IChannelAttachment* GetAttachment() override { return nullptr; }
  IFrameSize* GetSize() override { return this; }
  uint16_t GetWidth() override { return 640; }
  uint16_t GetHeight() override { return 480; }
  uint16_t GetFrameInterval() override { return 100; }
  uint16_t GetQuality() override { return 70; }
  uint32_t IsCompanionRequested() override { return 0; }
};

// What the freestanding host has instead of a clock: the driver's frames.
bool WaitForFrames(Sink& sink, uint32_t wanted, void (*sleepMs)(uint32_t), uint32_t limitMs) {
  for (uint32_t waited = 0; waited < limitMs; waited += 50) {
    if (Load(&sink.goodFrames) >= wanted) return true;
    sleepMs(50);
  }
  return Load(&sink.goodFrames) >= wanted;
}

void Append(char*& out, char* end, const char* text) {
  while (*text != '\0' && out + 1 < end) *out++ = *text++;
  *out = '\0';
}

void AppendNumber(char*& out, char* end, const char* name, uint32_t value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  Append(out, end, name);
  Append(out, end, "=");
  char reversed[12];
  for (int i = 0; i < n; ++i) reversed[i] = digits[n - 1 - i];
  reversed[n] = '\0';
  Append(out, end, reversed);
  Append(out, end, " ");
}

}  // namespace

// Runs one driver of the given stream kind (1 Motion JPEG, 3 H.264) against
// the camera; writes "name=value ..." into report. 0 when everything the host
// relies on held, otherwise the number of the step that failed.
extern "C" int MsvcHostRun(CreateIPCaptureFn create, DeleteIPCaptureFn destroy, void (*sleepMs)(uint32_t),
                           const char* address, uint16_t port, const char* rtspPort, uint32_t kind, char* report,
                           uint32_t reportSize) {
  char* out = report;
  char* end = report + reportSize;
  *out = '\0';
  Receiver receiver;
  Allocator allocator;
  Sink sink;
  Device device;
  Channel channel;
  device.address = address;
  device.port = port;
  device.kind = kind;
  device.rtspPort = rtspPort;

  IIPCaptureDriverEx4* driver = create();
  if (driver == nullptr) return 1;
  int failed = 0;
  IIPVideoCapture* capture = nullptr;
  if (driver->GetVideoCapture() != nullptr || driver->GetOptionalComponent6() != nullptr) failed = 2;
  if (failed == 0 && !driver->Open(&receiver, &allocator, &device)) failed = 3;
  if (failed == 0) {
    capture = driver->GetVideoCapture();
    IIPVideoCaptureEx* captureEx = driver->GetVideoCaptureEx();
    if (capture == nullptr || captureEx == nullptr || capture->GetChannelCount() != 1 ||
        driver->GetCaptureIO() != nullptr) {
      failed = 4;
    }
  }
  if (failed == 0 && !capture->StartChannel(0, &sink, &channel)) failed = 5;
  if (failed == 0) {
    if (!WaitForFrames(sink, 10, sleepMs, 20000)) failed = 6;
    uint32_t status = 99, second = 0;
    char text[64];
    if (!capture->GetChannelStatus(0, &status, &second, text, sizeof text) || status != 0) failed = failed ? failed : 7;
    if (!capture->StopChannel(0)) failed = failed ? failed : 8;
  }
  if (failed != 3 && failed != 2) driver->Close();
  if (driver->GetVideoCapture() != nullptr) failed = failed ? failed : 9;
  destroy(driver);

  AppendNumber(out, end, "frames", Load(&sink.goodFrames));
  AppendNumber(out, end, "bad_frames", Load(&sink.badFrames));
  AppendNumber(out, end, "created", Load(&allocator.created));
  AppendNumber(out, end, "released", Load(&allocator.released));
  AppendNumber(out, end, "log_lines", Load(&receiver.lines));
  AppendNumber(out, end, "opened_notices", Load(&receiver.openedNotices));
  AppendNumber(out, end, "online_lines", Load(&receiver.onlineLines));
  Append(out, end, "last_line=");
  Append(out, end, receiver.lastLine);
  if (failed == 0 && (Load(&sink.badFrames) != 0 || Load(&allocator.created) != Load(&allocator.released) ||
                      Load(&receiver.openedNotices) != 1 || Load(&receiver.onlineLines) == 0)) {
    failed = 10;
  }
  return failed;
}

// The same run with the exports linked through the DLL's import library, as a
// host that links against it rather than loading it calls them.
extern "C" int MsvcHostRunLinked(void (*sleepMs)(uint32_t), const char* address, uint16_t port, const char* rtspPort,
                                 uint32_t kind, char* report, uint32_t reportSize) {
  return MsvcHostRun(&CreateIPCaptureEx2, &DeleteIPCaptureEx3, sleepMs, address, port, rtspPort, kind, report,
                     reportSize);
}
