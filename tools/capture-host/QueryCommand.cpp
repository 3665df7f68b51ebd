#include "tools/capture-host/QueryCommand.h"

#include <cstdio>
#include <map>

#include "tools/capture-host/Arguments.h"
#include "tools/capture-host/DriverLibrary.h"
#include "tools/hostlib/HostCapability.h"

namespace kestrum {
namespace host {

namespace {

// Capability ids as the host reads them.
const std::map<uint32_t, const char*> kCapabilityNames = {
    {0, "video inputs"},  {2, "alarm inputs"},     {3, "relays"},           {4, "audio inputs"},
    {6, "stream kind 2"}, {7, "Motion JPEG"},      {8, "H.264 over RTSP"},  {11, "feature 11"},
    {12, "feature 12"},   {13, "extra features"},  {1, "feature 1"},        {5, "feature 5"}};

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char ch : text) {
    if (ch == '"' || ch == '\\') out += '\\';
    if (static_cast<unsigned char>(ch) < 0x20) continue;
    out += ch;
  }
  return out + "\"";
}


void PrintTable(const ResultSink& sink) {
  const auto caps = sink.Capabilities();
  auto cap = [&](uint32_t id) { return caps.count(id) ? caps.at(id) : 0u; };
  std::printf("model:        %s\n", sink.ModelName().c_str());
  std::printf("firmware:     %s\n", PropertyValueOf(sink, "Device Firmware").c_str());
  std::printf("rtsp port:    %s\n", PropertyValueOf(sink, "RTSP port").c_str());
  std::printf("video inputs: %u\n", cap(0));
  std::printf("alarm inputs: %u\n", cap(2));
  std::printf("relays:       %u\n", cap(3));
  std::printf("streams:     %s%s\n", cap(7) ? " Motion JPEG (kind 1)" : "", cap(8) ? " H.264 over RTSP (kind 3)" : "");
  std::printf("resolutions:\n");
  for (const ResolutionValue& r : sink.Resolutions()) {
    std::printf("  %-10s %4u x %-4u  every %u ms (%.1f pictures/s)\n", r.name.c_str(), r.width, r.height,
                r.frameInterval, r.frameInterval ? 1000.0 / r.frameInterval : 0.0);
  }
  std::printf("frame intervals (ms):");
  for (uint32_t interval : sink.FrameIntervals()) std::printf(" %u", interval);
  std::printf("\ndefault frame interval: %u ms\n", sink.DefaultFrameInterval());
  std::printf("properties:\n");
  for (const PropertyValue& p : sink.Properties()) {
    std::printf("  %d %-22s %s%s\n", p.index, p.name.c_str(), p.value.c_str(), p.isText ? "" : " (number)");
  }
  std::printf("capabilities:");
  for (const auto& [id, value] : caps) {
    auto name = kCapabilityNames.find(id);
    std::printf(" %u=%u%s%s%s", id, value, name != kCapabilityNames.end() ? " (" : "",
                name != kCapabilityNames.end() ? name->second : "", name != kCapabilityNames.end() ? ")" : "");
  }
  std::printf("\nrecord options: --resolutions %s --rtsp-port %s\n", PropertyValueOf(sink, "Resolutions").c_str(),
              PropertyValueOf(sink, "RTSP port").c_str());
}

void PrintJson(const ResultSink& sink) {
  std::printf("{\"model\":%s,\"firmware\":%s,\"rtsp_port\":%s,\"capabilities\":{", JsonText(sink.ModelName()).c_str(),
              JsonText(PropertyValueOf(sink, "Device Firmware")).c_str(),
              PropertyValueOf(sink, "RTSP port").empty() ? "null" : PropertyValueOf(sink, "RTSP port").c_str());
  bool first = true;
  for (const auto& [id, value] : sink.Capabilities()) {
    std::printf("%s\"%u\":%u", first ? "" : ",", id, value);
    first = false;
  }
  std::printf("},\"resolutions\":[");
  first = true;
  for (const ResolutionValue& r : sink.Resolutions()) {
    std::printf("%s{\"name\":%s,\"width\":%u,\"height\":%u,\"frame_interval_ms\":%u}", first ? "" : ",",
                JsonText(r.name).c_str(), r.width, r.height, r.frameInterval);
    first = false;
  }
  std::printf("],\"frame_intervals_ms\":[");
  first = true;
  for (uint32_t interval : sink.FrameIntervals()) {
    std::printf("%s%u", first ? "" : ",", interval);
    first = false;
  }
  std::printf("],\"default_frame_interval_ms\":%u,\"properties\":[", sink.DefaultFrameInterval());
  first = true;
  for (const PropertyValue& p : sink.Properties()) {
    std::printf("%s{\"index\":%d,\"name\":%s,\"value\":%s,\"is_text\":%s}", first ? "" : ",", p.index,
                JsonText(p.name).c_str(), JsonText(p.value).c_str(), p.isText ? "true" : "false");
    first = false;
  }
  std::printf("],\"record_options\":[\"--resolutions\",%s,\"--rtsp-port\",%s]}\n",
              JsonText(PropertyValueOf(sink, "Resolutions")).c_str(),
              JsonText(PropertyValueOf(sink, "RTSP port")).c_str());
}

}  // namespace

const char* QueryUsage() {
  return "usage: capture-host query --address A [--port P] --user U --password W [--json]\n"
         "  Asks the camera what it is and can stream; the last line (or record_options in JSON)\n"
         "  gives the record options for its resolutions and RTSP port.\n";
}

std::string PropertyValueOf(const ResultSink& sink, const std::string& name) {
  for (const PropertyValue& p : sink.Properties()) {
    if (p.name == name) return p.value == "(none)" ? "" : p.value;
  }
  return "";
}

bool QueryCamera(DriverLibrary& library, const std::string& address, uint16_t port, const std::string& user,
                 const std::string& password, ResultSink& sink, std::string& error) {
  QueryClient client;
  library.InitQuery(&client, 0);
  if (library.StartQuery(address.c_str(), port, user.c_str(), password.c_str(), &sink) == 0) {
    library.UninitQuery();
    error = "the query did not start";
    return false;
  }
  QueryClient::Outcome outcome = client.Wait(60000);
  if (outcome == QueryClient::Outcome::Pending) library.TerminateQuery();
  library.UninitQuery();  // waits for the query thread
  outcome = client.Wait(0);
  if (outcome == QueryClient::Outcome::Completed) return true;
  error = outcome == QueryClient::Outcome::Failed   ? client.Message() + " (code " + std::to_string(client.Code()) + ")"
          : outcome == QueryClient::Outcome::Killed ? std::string("the query did not end and was killed")
                                                    : std::string("no answer");
  return false;
}

int RunQuery(const std::vector<std::string>& args, const std::string& libraryPath) {
  Arguments a;
  std::string error;
  uint32_t port = 80;
  if (!a.Parse(args, {"--address", "--port", "--user", "--password", "--timeout"}, {"--json"}, error) ||
      !a.Number("--port", 1, 65535, port, error)) {
    std::fprintf(stderr, "capture-host query: %s\n%s", error.c_str(), QueryUsage());
    return 2;
  }
  if (a.Text("--address").empty()) {
    std::fprintf(stderr, "capture-host query: --address is required\n%s", QueryUsage());
    return 2;
  }
  DriverLibrary library;
  if (!library.Load(libraryPath, error)) {
    std::fprintf(stderr, "capture-host: %s\n", error.c_str());
    return 1;
  }
  ResultSink sink;
  if (!QueryCamera(library, a.Text("--address"), static_cast<uint16_t>(port), a.Text("--user"), a.Text("--password"),
                   sink, error)) {
    std::fprintf(stderr, "capture-host query: %s\n", error.c_str());
    return 1;
  }
  if (a.Has("--json")) {
    PrintJson(sink);
  } else {
    PrintTable(sink);
  }
  return 0;
}

}  // namespace host
}  // namespace kestrum
