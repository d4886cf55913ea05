#pragma once
// The lines the console logger wrote, each reduced to its level letter, a blank and the
// message: the time and the process and thread ids of the header are dropped. A line without
// that header stays whole, behind "<no header> ".
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace test {

inline std::vector<std::string> LogLines(const std::string& text) {
  const std::string time_shape = "dd-dd dd:dd:dd.ddd ";
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    bool timed = line.size() > time_shape.size();
    for (size_t i = 0; timed && i < time_shape.size(); ++i) {
      const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
      timed = time_shape[i] == 'd' ? digit : line[i] == time_shape[i];
    }
    std::istringstream rest(timed ? line.substr(time_shape.size()) : std::string());
    long process = 0;
    long thread = 0;
    char letter = 0;
    if (timed && rest >> process >> thread >> letter && rest.get() == ' ') {
      std::string message;
      std::getline(rest, message);
      lines.push_back(std::string(1, letter) + " " + message);
    } else {
      lines.push_back("<no header> " + line);
    }
  }
  return lines;
}

}  // namespace test
