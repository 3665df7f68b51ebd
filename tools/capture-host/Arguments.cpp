#include "tools/capture-host/Arguments.h"

namespace kestrum {
namespace host {

bool Arguments::Parse(const std::vector<std::string>& args, const std::set<std::string>& valued,
                      const std::set<std::string>& flags, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (flags.count(name) != 0) {
      flags_.insert(name);
    } else if (valued.count(name) != 0) {
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      values_[name].push_back(args[++i]);
    } else {
      error = "unknown option " + name;
      return false;
    }
  }
  return true;
}

std::string Arguments::Text(const std::string& name, const std::string& fallback) const {
  auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second.back();
}

std::vector<std::string> Arguments::All(const std::string& name) const {
  auto found = values_.find(name);
  return found == values_.end() ? std::vector<std::string>() : found->second;
}

bool Arguments::Number(const std::string& name, uint32_t low, uint32_t high, uint32_t& value,
                       std::string& error) const {
  if (!Has(name)) return true;  // keeps the default
  const std::string text = Text(name);
  bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
  unsigned long number = digits ? std::stoul(text) : 0;
  if (!digits || number < low || number > high) {
    error = name + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not \"" +
            text + "\"";
    return false;
  }
  value = static_cast<uint32_t>(number);
  return true;
}

namespace {
bool PortNumber(const std::string& text, uint32_t& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  port = static_cast<uint32_t>(std::stoul(text));
  return port >= 1 && port <= 65535;
}
}  // namespace

bool Arguments::Ports(const std::string& name, size_t limit, std::vector<uint16_t>& ports, std::string& error) const {
  if (!Has(name)) return true;
  std::vector<uint16_t> parsed;
  for (const std::string& value : All(name)) {
    size_t start = 0;
    for (;;) {
      const size_t comma = value.find(',', start);
      const std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      const size_t dash = item.find('-');
      uint32_t first = 0;
      uint32_t last = 0;
      const bool valid = dash == std::string::npos
                             ? PortNumber(item, first) && PortNumber(item, last)
                             : PortNumber(item.substr(0, dash), first) && PortNumber(item.substr(dash + 1), last);
      if (!valid || last < first) {
        error = name + " needs a number from 1 to 65535 (or a range such as 8000-8015, or a list), not \"" + value +
                "\"";
        return false;
      }
      if (parsed.size() + (last - first + 1) > limit) {
        error = name + " names more than " + std::to_string(limit) + " ports";
        return false;
      }
      for (uint32_t port = first; port <= last; ++port) parsed.push_back(static_cast<uint16_t>(port));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  ports = parsed;
  return true;
}

}  // namespace host
}  // namespace kestrum
