// Whether a Linux machine is a workstation: what the administrator wrote in
// machine-info(5), else the chassis type the firmware reports through DMI.
#include <charconv>
#include <cstdlib>
#include <sstream>

#include "security/system_files.h"

namespace krCore::detail {
namespace {

std::string unquote(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

bool machine_is_workstation() {
  std::string content;
  if (read_text_file(system_path("etc/machine-info"), content)) {
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("CHASSIS=", 0) != 0) continue;
      const std::string chassis = unquote(line.substr(8));
      return chassis == "desktop" || chassis == "laptop" || chassis == "convertible" ||
             chassis == "tablet";
    }
  }
  if (!read_text_file(system_path("sys/class/dmi/id/chassis_type"), content)) return false;
  // SMBIOS chassis types of desktops (3, 4, 6, 7, 13, 15, 16, 35, 36),
  // portables and laptops (8, 9, 10, 14), tablets and convertibles (30-32).
  int type = 0;  // a text that is no number is no known chassis
  std::from_chars(content.data(), content.data() + content.size(), type);
  switch (type) {
    case 3: case 4: case 6: case 7: case 8: case 9: case 10: case 13: case 14: case 15:
    case 16: case 30: case 31: case 32: case 35: case 36:
      return true;
    default:
      return false;
  }
}

}  // namespace krCore::detail
