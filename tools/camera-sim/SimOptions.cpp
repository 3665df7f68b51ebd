#include "tools/camera-sim/SimOptions.h"

namespace kestrum {
namespace sim {

namespace {

bool Number(const std::string& text, uint32_t low, uint32_t high, uint32_t& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long v = std::stoul(text);
  if (v < low || v > high) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

const char* SimUsage() {
  return "usage: camera-sim [--http-port P] [--rtsp-port R] [--auth none|basic|digest] [--user U]\n"
         "                  [--password W] [--cameras N] [--inputs N] [--relays M]\n"
         "                  [--resolutions 640x480:30,1280x720:25,...] [--toggle-inputs SECONDS]\n"
         "                  [--rtsp-timeout SECONDS]\n"
         "Simulates Quellon network cameras on loopback. Port 0 (the default) picks free ports;\n"
         "several cameras get consecutive ports. Control pages under /sim/ need no credentials:\n"
         "  /sim/state  /sim/reset  /sim/input?n=1&state=1  /sim/input?n=1&toggle\n"
         "  /sim/fault?name=NAME&value=N  (stall close_after refuse_settings empty_settings truncate\n"
         "                                 garbage slow error500 drop udp_loss udp_reorder\n"
         "                                 no_inband_sets stap_a sei_aud malformed long_describe\n"
         "                                 content_base rtsp_401 cseq_offset interleaved_base\n"
         "                                 strict digest_sha256 expire_nonces;\n"
         "                                 value 0 switches off)\n"
         "H.264 is served over RTSP at rtsp://127.0.0.1:R/nph-h264.cgi; a session that hears no\n"
         "request for --rtsp-timeout seconds (default 60) is torn down.\n"
         "  /sim/settings?resolution=1&quality=80\n";
}

bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help" || option == "-h") {
      options.help = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = "option " + option + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    uint32_t n = 0;
    if (option == "--http-port" || option == "--rtsp-port") {
      if (!Number(value, 0, 65535, n)) {
        error = option + " needs a port number from 0 to 65535, not \"" + value + "\"";
        return false;
      }
      (option == "--http-port" ? options.httpPort : options.rtspPort) = static_cast<uint16_t>(n);
    } else if (option == "--auth") {
      if (value == "none") {
        options.auth.mode = AuthMode::None;
      } else if (value == "basic") {
        options.auth.mode = AuthMode::Basic;
      } else if (value == "digest") {
        options.auth.mode = AuthMode::Digest;
      } else {
        error = "--auth must be none, basic or digest, not \"" + value + "\"";
        return false;
      }
    } else if (option == "--user") {
      options.auth.user = value;
    } else if (option == "--password") {
      options.auth.password = value;
    } else if (option == "--cameras" || option == "--inputs" || option == "--relays" ||
               option == "--toggle-inputs") {
      const uint32_t high = option == "--cameras" ? 1024 : 64;
      const uint32_t low = option == "--cameras" ? 1 : 0;
      if (!Number(value, low, high, n)) {
        error = option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) +
                ", not \"" + value + "\"";
        return false;
      }
      if (option == "--cameras") options.cameras = n;
      if (option == "--inputs") options.inputs = n;
      if (option == "--relays") options.relays = n;
      if (option == "--toggle-inputs") options.toggleInputsSeconds = n;
    } else if (option == "--rtsp-timeout") {
      if (!Number(value, 1, 3600, n)) {
        error = "--rtsp-timeout needs a number of seconds from 1 to 3600, not \"" + value + "\"";
        return false;
      }
      options.rtspTimeout = n;
    } else if (option == "--resolutions") {
      if (!ParseResolutions(value, options.resolutions)) {
        error = "--resolutions needs WIDTHxHEIGHT:FPS items separated by commas, not \"" + value + "\"";
        return false;
      }
    } else {
      error = "unknown option " + option;
      return false;
    }
  }
  if (options.httpPort != 0 && options.httpPort + options.cameras - 1 > 65535) {
    error = "--cameras does not fit above --http-port";
    return false;
  }
  return true;
}

}  // namespace sim
}  // namespace kestrum
