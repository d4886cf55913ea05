#pragma once
// The text of what an action throws, for checks of exact exception texts.
#include <exception>
#include <functional>
#include <string>

namespace test {

/// The what() of the Exception the action throws; "<other exception kind>" for another
/// kind, "<nothing thrown>" when it returns.
template <typename Exception = std::exception>
std::string ThrownText(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& error) {
    return error.what();
  } catch (...) {
    return "<other exception kind>";
  }
  return "<nothing thrown>";
}

}  // namespace test
