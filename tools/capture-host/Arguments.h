// Command-line options of the form "--name value" and "--flag".
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrum {
namespace host {

class Arguments {
 public:
  // valued: options that take a value (repeatable ones keep every value);
  // flags: options without one. False with a message for anything else.
  bool Parse(const std::vector<std::string>& args, const std::set<std::string>& valued,
             const std::set<std::string>& flags, std::string& error);

  bool Has(const std::string& name) const { return values_.count(name) != 0 || flags_.count(name) != 0; }
  std::string Text(const std::string& name, const std::string& fallback = "") const;
  std::vector<std::string> All(const std::string& name) const;
  // A whole decimal number within [low, high]; false with a message otherwise.
  bool Number(const std::string& name, uint32_t low, uint32_t high, uint32_t& value, std::string& error) const;
  // TCP ports: every value of a repeatable option, each a port, a range such
  // as 8000-8015 or a comma-separated list of them, in order. Keeps ports
  // untouched when the option is absent; false with a message otherwise.
  bool Ports(const std::string& name, size_t limit, std::vector<uint16_t>& ports, std::string& error) const;

 private:
  std::map<std::string, std::vector<std::string>> values_;
  std::set<std::string> flags_;
};

}  // namespace host
}  // namespace kestrum
