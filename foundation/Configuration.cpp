#include "foundation/Configuration.h"

#include "foundation/TextUtils.h"
#include "foundation/XMLParser.h"
#include "platform/System.h"

namespace kestrum {

CConfiguration::CConfiguration(const std::string& driverName, const std::string& directory,
                               const DEVICE_INFO& device)
    : device_(device) {
  if (driverName.empty()) return;
  path_ = directory;
  // Windows takes '/' as a separator too.
  if (!path_.empty() && path_.back() != '/' && path_.back() != platform::kPathSeparator) {
    path_ += platform::kPathSeparator;
  }
  path_ += driverName + ".xml";
}

CONFIGURATION_VALUES CConfiguration::ReadSettings(std::string* problem) {
  CONFIGURATION_VALUES values;
  if (path_.empty()) return values;
  CXMLParser parser;
  CXMLParser::LoadResult result = CXMLParser::LoadResult::Missing;
  if (!parser.Load(path_, CXMLParser::kMaxFileBytes, &result)) {
    if (problem != nullptr && result == CXMLParser::LoadResult::TooLarge) {
      *problem = FormatString("%s is larger than %zu bytes and was not read; the defaults apply", path_.c_str(),
                              CXMLParser::kMaxFileBytes);
    } else if (problem != nullptr && result == CXMLParser::LoadResult::Malformed) {
      *problem = FormatString("%s is not well-formed XML; the defaults apply", path_.c_str());
    }
    return values;
  }

  // The device whose address (exact text) and port (decimal) match, else the first.
  const unsigned match = parser.FindByAttributes("Configuration/Device", "address", device_.Address, "port",
                                                 std::to_string(device_.Port));
  const std::string device =
      FormatString("Configuration/Device[%u]", match > 0 ? match : 1u);

  const std::string mode = ToLowerCopy(parser.GetText(device + "/RTPMode"));
  if (mode == "rtpovertcp") {
    values.RtpMode = kRtpOverTcp;
  } else if (mode == "rtpoverrtsp") {
    values.RtpMode = kRtpOverRtsp;
  }
  if (ToLowerCopy(parser.GetText(device + "/UpdateSettings")).find("false") != std::string::npos) {
    values.UpdateSettings = false;
  }
  parser.Unload();
  return values;
}

}  // namespace kestrum
