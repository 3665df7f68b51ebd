// The boundary between a recorder host and the QuellonIPCapture driver.
//
// Self-contained: a host compiles against this header alone. It declares the
// interfaces the host calls (driver, video capture, digital I/O), the objects
// the host implements and hands in, and the exported factory functions.
//
// Every interface is an abstract class whose operations form a fixed table.
// The declaration order below is that table order and must not change; slot 0
// is the destructor (see KESTRUM_INTERFACE). Operations the driver never
// calls are declared as ReservedN placeholders with empty bodies so that
// hosts need not implement them. Texts are zero-terminated 8-bit strings;
// texts returned by the host are copied at once, texts given to the host are
// valid only during the call.
//
// Threads and callbacks. The driver calls the host's objects on its own
// threads (a channel's capture thread, or for H.264 interleaved in RTSP its
// RTSP client's thread; the I/O workers; the capability query's thread) and
// never holds a lock of its own while doing so, so a host may take its own
// lock in any callback, also one it holds around its calls into the driver.
// Each call returns within its bound whatever the callbacks do:
//   StopChannel, RestartChannel, StartChannel (its stop of the channel it
//     replaces): twice ConnectTimeout (10 s) for each channel stopped;
//   Close, a second Open, DeleteIPCapture*: that for each running channel,
//     plus 5 s for each of the two I/O workers;
//   StopIO: 5 s for each of the two I/O workers;
//   DeleteCapabilityQueryModule, UninitCapabilityQuery: twice ConnectTimeout
//     (10 s).
// A thread that has not ended by then (inside a host callback, waiting for
// the host's lock) is left to end at its next wait, with a warning; until it
// has, what it uses stays alive, the library stays loaded, and it calls the
// host's object no more once the call that ended that object's validity has
// returned (the sink after StopChannel; the receiver and allocator after
// Close or delete; the I/O callback after StopIO; the capability client and
// result sink after the delete).
// From inside a callback a host may call:
//   from the frame sink, NotifySignalLost and the log receiver: StopChannel
//     and StartChannel for any index (for the calling channel's own index the
//     channel is destroyed once its thread has left the callback),
//     RestartChannel for another index (for its own it is refused: false and
//     a warning), GetChannelStatus for any index; from the log receiver also
//     Close, Open and DeleteIPCapture*;
//   from the I/O callback: any I/O call, Close, Open and DeleteIPCapture*;
//     a StartIO is refused (false, with a warning) until a worker that a stop
//     gave up on has left the callback;
//   from the capability client: DeleteCapabilityQueryModule or
//     UninitCapabilityQuery for the module that called it.
#ifndef KESTRUM_HOST_INTERFACES_H
#define KESTRUM_HOST_INTERFACES_H

// <stdint.h> rather than <cstdint>: a host compiled freestanding (no C++
// library headers) can include this header too.
#include <stdint.h>

// Slot 0 of every interface is its one destructor, as the Microsoft compiler
// lays it out: a "scalar deleting destructor" that takes flags (bit 0: free
// the memory too). GCC and clang for MinGW follow the Itanium layout, which
// gives a virtual destructor two slots and would move every operation one
// slot down, so there the interfaces declare that one slot themselves and the
// classes implementing them fill it in with KESTRUM_DESTRUCTOR_SLOT (a class
// that does so is final or has a virtual destructor of its own). Every other
// compiler, the Microsoft compiler and Linux builds among them, uses the plain
// virtual destructor, whose layout is already the expected one there.
#if defined(_WIN32) && defined(__GNUC__) && !defined(_MSC_VER)
#define KESTRUM_EMULATED_DESTRUCTOR_SLOT 1
#define KESTRUM_INTERFACE(Name)                                     \
 public:                                                            \
  virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;   \
                                                                    \
 protected:                                                         \
  ~Name() {}                                                        \
                                                                    \
 public:
#define KESTRUM_DESTRUCTOR_SLOT(Class)                              \
 public:                                                            \
  void* ScalarDeletingDestructor(unsigned int flags) override {     \
    void* self = this;                                              \
    if ((flags & 1u) != 0) {                                        \
      delete this;                                                  \
    } else {                                                        \
      this->~Class();                                               \
    }                                                               \
    return self;                                                    \
  }
#else
#define KESTRUM_INTERFACE(Name) \
 public:                        \
  virtual ~Name() {}
#define KESTRUM_DESTRUCTOR_SLOT(Class)
#endif

// One diagnostic line for the host: level (1 error, 2 warning, 3 information,
// 100 driver-opened notice) and text (null when empty). Valid only during
// IDebugInfoReceiver::AddDebugInfo.
class CDebugInfoIf {
  KESTRUM_INTERFACE(CDebugInfoIf)
  virtual uint8_t GetLevel() const = 0;
  virtual const char* GetText() const = 0;
};

namespace kestrum {

class ICaptureIOCallback;

// Digital I/O of one device: alarm inputs polled every 2000 ms, relay outputs
// switched in request order.
class ICaptureIOApi {
  KESTRUM_INTERFACE(ICaptureIOApi)
  virtual bool SetIOCallback(ICaptureIOCallback* callback) = 0;
  virtual bool StartIO() = 0;
  virtual bool StopIO() = 0;
  virtual uint32_t GetInputCount() = 0;
  virtual uint32_t GetOutputCount() = 0;
  virtual bool SetOutputState(uint32_t outputIndex, uint32_t state) = 0;
};

// Host side: receives input changes (on the driver's input thread) and state
// resets (input or output thread).
class ICaptureIOCallback {
  KESTRUM_INTERFACE(ICaptureIOCallback)
  virtual void OnInputStateChanged(uint32_t inputIndex, uint32_t state) = 0;
  virtual void OnIOStatesReset() = 0;
};

namespace ipcapture {

// ---------------------------------------------------------------------------
// Host-side objects (implemented by the host, called by the driver)
// ---------------------------------------------------------------------------

// Calendar time, UTC, as stamped on frames.
struct SYSTEM_TIME {
  uint16_t Year;
  uint16_t Month;      // 1..12
  uint16_t DayOfWeek;  // 0 = Sunday
  uint16_t Day;        // 1..31
  uint16_t Hour;
  uint16_t Minute;
  uint16_t Second;
  uint16_t Milliseconds;
};

// Receives the driver's diagnostic lines, from any of the driver's threads at
// once; must be thread-safe and must keep no pointer past the call.
class IDebugInfoReceiver {
  KESTRUM_INTERFACE(IDebugInfoReceiver)
  virtual void AddDebugInfo(CDebugInfoIf* info) = 0;
};

class IModelSettings {
  KESTRUM_INTERFACE(IModelSettings)
  virtual void Reserved1() {}
  virtual const char* GetModelName() = 0;
  virtual uint32_t GetChannelCount() = 0;
  virtual void Reserved4() {}
  virtual uint32_t GetInputCount() = 0;
  virtual uint32_t GetOutputCount() = 0;
};

class IConnectionSettings {
  KESTRUM_INTERFACE(IConnectionSettings)
  virtual const char* GetAddress() = 0;
  virtual uint16_t GetPort() = 0;
  virtual void Reserved3() {}
  // 1: Motion JPEG over HTTP; 3: H.264 over RTSP.
  virtual uint32_t GetStreamKind() = 0;
  virtual const char* GetUserName() = 0;
  virtual const char* GetPassword() = 0;
};

// The device description handed to Open.
class IDeviceSettings {
  KESTRUM_INTERFACE(IDeviceSettings)
  virtual IModelSettings* GetModelSettings() = 0;
  virtual IConnectionSettings* GetConnectionSettings() = 0;
  virtual void Reserved3() {}
  // Numbered parameters from 1 without gaps; null ends the list.
  // 2: firmware text, 3: RTSP port, 4: resolutions "WxH;WxH;...".
  virtual const char* GetParameter(uint32_t index) = 0;
};

class IFrameSize {
  KESTRUM_INTERFACE(IFrameSize)
  virtual uint16_t GetWidth() = 0;
  virtual uint16_t GetHeight() = 0;
};

class IVideoFormat {
  KESTRUM_INTERFACE(IVideoFormat)
  virtual void Reserved1() {}
  virtual void Reserved2() {}
  virtual IFrameSize* GetSize() = 0;
};

class ICaptureSettings {
  KESTRUM_INTERFACE(ICaptureSettings)
  virtual uint16_t GetFrameInterval() = 0;  // ms, 0 = none requested
  virtual void Reserved2() {}
  virtual uint16_t GetQuality() = 0;  // 0..100
  virtual uint32_t IsCompanionRequested() = 0;
};

// An object the host attaches to a channel; the driver passes it through.
class IChannelAttachment {
  KESTRUM_INTERFACE(IChannelAttachment)
};

class IChannelSettings {
  KESTRUM_INTERFACE(IChannelSettings)
  virtual IVideoFormat* GetFormat() = 0;
  virtual ICaptureSettings* GetCaptureSettings() = 0;
  virtual void Reserved3() {}
  virtual void Reserved4() {}
  virtual IChannelAttachment* GetAttachment() = 0;
};

// A picture in host memory, filled by the driver on one of its threads.
class IHostFrame {
  KESTRUM_INTERFACE(IHostFrame)
  virtual void Reserved1() {}
  // At least the data size given at creation.
  virtual uint8_t* GetBuffer() = 0;
  virtual void Reserved3() {}
  virtual void SetDataSize(uint32_t size) = 0;
  virtual void Reserved5() {}
  virtual void SetTime(const SYSTEM_TIME& time) = 0;
  virtual void Reserved7() {}
  virtual void Reserved8() {}
  virtual void Reserved9() {}
  // Four-character code, first character in the lowest byte: "JPEG", "H264"
  // (access unit with a sequence parameter set), "I264", "DIVX", "DIVI".
  virtual void SetFourCC(uint32_t code) = 0;
  virtual void Reserved11() {}
  virtual void SetHeight(uint32_t height) = 0;
  virtual void Reserved13() {}
  virtual void SetWidth(uint32_t width) = 0;
  virtual void Reserved15() {}
  virtual void SetSizeClass(uint32_t sizeClass) = 0;
};

class IHostFrameAllocator {
  KESTRUM_INTERFACE(IHostFrameAllocator)
  virtual void Reserved1() {}
  // Null when the host cannot give a frame.
  virtual IHostFrame* CreateFrame(uint32_t fourCC, uint32_t dataSize, const char* sourceName) = 0;
  virtual void Reserved3() {}
  virtual void Reserved4() {}
  virtual void Reserved5() {}
  // Every created frame is released exactly once, right after delivery.
  virtual void ReleaseFrame(IHostFrame* frame) = 0;
};

// Per-channel destination of frames; called on the driver's threads.
class IHostFrameSink {
  KESTRUM_INTERFACE(IHostFrameSink)
  // True when the host accepted the frame; it must not keep the pointer.
  virtual bool ReceiveFrame(IHostFrame* frame) = 0;
  virtual void Reserved2() {}
  virtual void NotifySignalLost() = 0;
};

// Outcome of a capability query, called on the query thread.
class ICapabilityQueryClient {
  KESTRUM_INTERFACE(ICapabilityQueryClient)
  virtual void Reserved1() {}
  virtual void OnQueryCompleted() = 0;
  // 0 invalid address, 1 login refused, 2 offline, 3 other failure.
  virtual void OnQueryFailed(uint32_t code, const char* message) = 0;
  virtual void OnQueryKilled() = 0;
};

class ICapabilityTextEntry {
  KESTRUM_INTERFACE(ICapabilityTextEntry)
  virtual void SetValue(const char* value) = 0;
};

class ICapabilityProperty {
  KESTRUM_INTERFACE(ICapabilityProperty)
  virtual void SetValue(const char* value) = 0;
  virtual void Reserved2() {}
  virtual void Reserved3() {}
  virtual void SetIsText(bool isText) = 0;
  virtual void SetName(const char* name) = 0;
  virtual void SetAttribute(uint32_t value) = 0;
};

class ICapabilityResolutionList {
  KESTRUM_INTERFACE(ICapabilityResolutionList)
  virtual void AddResolution(const char* name, uint32_t width, uint32_t height, uint32_t frameIntervalMs) = 0;
};

class ICapabilityFrameRateList {
  KESTRUM_INTERFACE(ICapabilityFrameRateList)
  virtual void SetDefaultFrameRate(uint32_t frameIntervalMs) = 0;
  virtual void AddFrameRate(uint32_t frameIntervalMs) = 0;
};

class ICapabilityResultSink {
  KESTRUM_INTERFACE(ICapabilityResultSink)
  virtual void SetCapability(uint32_t id, uint32_t value) = 0;
  virtual void SetModelName(const char* name) = 0;
  // 1 address, 2 port, 3 user name, 4 password.
  virtual ICapabilityTextEntry* GetConnectionValue(uint32_t index) = 0;
  virtual void Reserved4() {}
  virtual ICapabilityProperty* AddProperty(int index) = 0;
  virtual ICapabilityResolutionList* GetResolutionList() = 0;
  virtual void Reserved7() {}
  virtual ICapabilityFrameRateList* GetFrameRateList(uint32_t kind) = 0;
};

// ---------------------------------------------------------------------------
// Host-facing objects (implemented by the driver, called by the host)
// ---------------------------------------------------------------------------

// One capability query of one camera, run on a thread of its own; the
// outcome reaches the client given at creation.
class IIPCapabilityQuery {
  KESTRUM_INTERFACE(IIPCapabilityQuery)
  // One query per module; the sink must stay valid until the query ends.
  virtual bool Start(const char* address, uint16_t port, const char* userName, const char* password,
                     ICapabilityResultSink* sink) = 0;
  // Cuts a running query short; does not wait for it.
  virtual void Terminate() = 0;
};

// The channels of one device, by index.
class IIPVideoCapture {
  KESTRUM_INTERFACE(IIPVideoCapture)
  virtual uint32_t GetChannelCount() = 0;
  // The sink and the settings' attachment must stay valid until the channel
  // is stopped.
  virtual bool StartChannel(uint32_t index, IHostFrameSink* sink, IChannelSettings* settings) = 0;
  virtual bool StopChannel(uint32_t index) = 0;
  virtual bool RestartChannel(uint32_t index, IFrameSize* size, uint32_t frameInterval) = 0;
  virtual uint32_t QueryCaptureOption() = 0;
  // status: 0 streaming, 2 not streaming. text may be null when textSize is 0.
  virtual bool GetChannelStatus(uint32_t index, uint32_t* status, uint32_t* second, char* text,
                                uint32_t textSize) = 0;
  virtual bool ChannelOptionA(uint32_t a, uint32_t b, uint32_t c) = 0;
  virtual bool ChannelOptionB(uint32_t a, uint32_t b, uint32_t c) = 0;
};

class IIPVideoCaptureEx : public IIPVideoCapture {
 public:
  virtual bool QueryChannelFlagB(uint32_t index) = 0;
  virtual bool QueryChannelFlagA(uint32_t index) = 0;
};

class IIPCaptureDriver {
  KESTRUM_INTERFACE(IIPCaptureDriver)
  // The receiver and the allocator must stay valid until the driver is deleted.
  virtual bool Open(IDebugInfoReceiver* receiver, IHostFrameAllocator* allocator, IDeviceSettings* settings) = 0;
  virtual void Close() = 0;
  virtual IIPVideoCapture* GetVideoCapture() = 0;
  // Null when the device has neither inputs nor outputs.
  virtual ICaptureIOApi* GetCaptureIO() = 0;
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
 public:
  virtual void* GetOptionalComponent1() = 0;
  virtual void* GetOptionalComponent2() = 0;
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
 public:
  virtual void* GetOptionalComponent3() = 0;
  virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
 public:
  virtual void* GetOptionalComponent4() = 0;
};

class IIPCaptureDriverEx4 : public IIPCaptureDriverEx3 {
 public:
  virtual void* GetOptionalComponent5() = 0;
  virtual void* GetOptionalComponent6() = 0;
};

// Destroys an object through slot 0 of its interface, whichever layout the
// compiler gives that slot.
template <class Interface>
inline void DestroyThroughInterface(Interface* object) {
  if (object == nullptr) return;
#ifdef KESTRUM_EMULATED_DESTRUCTOR_SLOT
  object->ScalarDeletingDestructor(1u);
#else
  delete object;
#endif
}

}  // namespace ipcapture
}  // namespace kestrum

// ---------------------------------------------------------------------------
// Exports (C linkage). Any delete export accepts a driver from any create
// export; null is ignored.
// ---------------------------------------------------------------------------
extern "C" {
typedef kestrum::ipcapture::IIPCaptureDriverEx4* (*CreateIPCaptureFn)();
typedef void (*DeleteIPCaptureFn)(kestrum::ipcapture::IIPCaptureDriverEx4* driver);

kestrum::ipcapture::IIPCaptureDriverEx4* CreateIPCapture();
kestrum::ipcapture::IIPCaptureDriverEx4* CreateIPCaptureEx();
kestrum::ipcapture::IIPCaptureDriverEx4* CreateIPCaptureEx2();
kestrum::ipcapture::IIPCaptureDriverEx4* CreateIPCaptureEx3();
void DeleteIPCapture(kestrum::ipcapture::IIPCaptureDriverEx4* driver);
void DeleteIPCaptureEx(kestrum::ipcapture::IIPCaptureDriverEx4* driver);
void DeleteIPCaptureEx2(kestrum::ipcapture::IIPCaptureDriverEx4* driver);
void DeleteIPCaptureEx3(kestrum::ipcapture::IIPCaptureDriverEx4* driver);

// Capability query: independent modules, or one process-wide module driven by
// Init, Start, Terminate and Uninit. Flags are 1 for success, 0 otherwise.
typedef kestrum::ipcapture::IIPCapabilityQuery* (*CreateCapabilityQueryModuleFn)(
    kestrum::ipcapture::ICapabilityQueryClient* client, uint32_t videoStandard);
typedef void (*DeleteCapabilityQueryModuleFn)(kestrum::ipcapture::IIPCapabilityQuery* module);
typedef int (*InitCapabilityQueryFn)(kestrum::ipcapture::ICapabilityQueryClient* client, uint32_t videoStandard);
typedef int (*StartCapabilityQueryFn)(const char* address, uint32_t port, const char* userName,
                                      const char* password, kestrum::ipcapture::ICapabilityResultSink* sink);
typedef int (*TerminateCapabilityQueryFn)();
typedef int (*UninitCapabilityQueryFn)();

kestrum::ipcapture::IIPCapabilityQuery* CreateCapabilityQueryModule(kestrum::ipcapture::ICapabilityQueryClient* client,
                                                                    uint32_t videoStandard);
void DeleteCapabilityQueryModule(kestrum::ipcapture::IIPCapabilityQuery* module);
int InitCapabilityQuery(kestrum::ipcapture::ICapabilityQueryClient* client, uint32_t videoStandard);
int StartCapabilityQuery(const char* address, uint32_t port, const char* userName, const char* password,
                         kestrum::ipcapture::ICapabilityResultSink* sink);
int TerminateCapabilityQuery();
int UninitCapabilityQuery();
}

#endif  // KESTRUM_HOST_INTERFACES_H
