#include "bench/soak/FaultRotation.h"

#include <curl/curl.h>

namespace kestrum {
namespace soak {

std::vector<Fault> FaultsFor(const std::string& kind) {
  if (kind == "mjpeg") {
    return {{"stall"}, {"close_after", 25}, {"drop"}, {"garbage"}, {"truncate"}, {"error500"}};
  }
  std::vector<Fault> faults = {{"stall"}, {"drop"}, {"malformed"}, {"rtsp_401"}};
  if (kind == "udp") {
    faults.push_back({"udp_loss", 20});
    faults.push_back({"udp_reorder", 20});
  }
  return faults;
}

FaultRotation::FaultRotation(std::string address, double periodSeconds, double lengthSeconds, uint32_t seed)
    : address_(std::move(address)),
      period_(periodSeconds),
      length_(lengthSeconds),
      random_(seed),
      next_(periodSeconds) {}

namespace {

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

bool FaultRotation::Send(uint16_t port, const Fault& fault, std::string& error) {
  const std::string url = "http://" + address_ + ":" + std::to_string(port) + "/sim/fault?name=" + fault.name +
                          "&value=" + std::to_string(fault.value);
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    error = "cannot make an HTTP request: not enough memory";
    return false;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK || status != 200) {
    error = url + ": " + (code != CURLE_OK ? curl_easy_strerror(code) : "status " + std::to_string(status));
    return false;
  }
  return true;
}

void FaultRotation::Tick(double now, const std::vector<SoakCamera*>& cameras, std::vector<std::string>& told) {
  if (on_ && now >= windows_[port_].back().to) Clear(told);
  if (on_ || now < next_ || cameras.empty()) return;
  next_ += period_;
  SoakCamera* camera = cameras[std::uniform_int_distribution<size_t>(0, cameras.size() - 1)(random_)];
  const std::vector<Fault> faults = FaultsFor(camera->Kind());
  fault_ = faults[std::uniform_int_distribution<size_t>(0, faults.size() - 1)(random_)];
  port_ = camera->HttpPort();
  std::string error;
  if (!Send(port_, fault_, error)) {
    told.push_back("the simulator refused a fault: " + error);
    return;
  }
  on_ = true;
  ++count_;
  windows_[port_].push_back({now, now + length_});
  told.push_back("fault " + fault_.name + " on " + camera->Name());
}

void FaultRotation::Reserve(const std::vector<SoakCamera*>& cameras, size_t faults) {
  for (const SoakCamera* camera : cameras) windows_[camera->HttpPort()].reserve(faults);
}

void FaultRotation::Clear(std::vector<std::string>& told) {
  if (!on_) return;
  on_ = false;
  std::string error;
  if (!Send(port_, {fault_.name, 0}, error)) told.push_back("a fault could not be cleared: " + error);
}

}  // namespace soak
}  // namespace kestrum
