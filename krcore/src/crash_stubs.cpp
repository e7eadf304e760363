// First versions of the crash-diagnostics pieces: no symbols yet, fault
// settings recorded only, and an exception analysis that records every
// exception as unknown. The full versions replace this file.
#include <krcore/diagnostics.h>

#include <cstdio>
#include <sstream>

#include "logsink.h"

namespace krCore {

krProcessSettings::krProcessSettings() : _previousHandler(nullptr), _previousErrorMode(0) {}
krProcessSettings* krProcessSettings::instance() {
  static krProcessSettings settings;
  return &settings;
}
void krProcessSettings::close() {}
void krProcessSettings::InvalidParameterHandler(const wchar_t*, const wchar_t*, const wchar_t*,
                                                unsigned int, std::uintptr_t) {
  throw krException(0xC000000Dul, "Invalid parameter detected", 4);
}
krProcessSettings::invalid_parameter_handler krProcessSettings::SetInvalidParameterHandler(
    invalid_parameter_handler handler) {
  return handler;
}
krProcessSettings::invalid_parameter_handler krProcessSettings::GetRuntimeInvalidParameterHandler()
    const {
  return _previousHandler;
}

se_exception_initializer::se_exception_info::se_exception_info(long code,
                                                               const std::wstring& context,
                                                               const std::wstring& message)
    : _message(message.empty() ? geterrormessage(code) : message),
      _context(context),
      _code(code == 0 ? static_cast<long>(static_cast<int>(0x80004005)) : code) {}

se_exception_initializer::se_exception_initializer() { krProcessSettings::instance(); }
se_exception_initializer::se_exception_initializer(handler_type handler)
    : _handler(std::move(handler)) {
  krProcessSettings::instance();
}
se_exception_initializer::se_exception_initializer(const se_exception_initializer& other)
    : _handler(other._handler), _infos(other._infos) {
  _translator = other._translator;
}
se_exception_initializer& se_exception_initializer::operator=(
    const se_exception_initializer& other) {
  if (this != &other) _handler = other._handler;
  _translator = other._translator;
  _infos = other._infos;
  return *this;
}
se_exception_initializer::~se_exception_initializer() = default;
void se_exception_initializer::add(const se_exception_info& info) { add(info, false); }
void se_exception_initializer::add(const se_exception_info& info, bool) { _infos.push_back(info); }
unsigned int se_exception_initializer::info_count() const {
  return static_cast<unsigned int>(_infos.size());
}
std::vector<se_exception_initializer::se_exception_info> se_exception_initializer::info() const {
  return _infos;
}
long se_exception_initializer::get_hresult(unsigned long index) const {
  if (_infos.empty()) return 0;
  if (index >= _infos.size()) return 1413;
  return _infos[index].code();
}
std::wstring se_exception_initializer::infostring() {
  std::wostringstream os;
  for (std::size_t i = 0; i < _infos.size(); ++i) {
    if (i == 0 && _infos.size() > 1) os << L"\r\n";
    if (i > 0) os << L"\r\n-->\t";
    os << _infos[i].context();
  }
  return os.str();
}
void se_exception_initializer::clear() { _infos.clear(); }
void se_exception_initializer::Analyze(const char* file, int line) {
  try {
    throw;
  } catch (...) {
    AddUnknown(file, line);
  }
}
void se_exception_initializer::AddUnknown(const char* file, int line) {
  std::ostringstream os;
  os << "Unknown exception caught! File: " << file << ", Line: " << line;
  const std::wstring text = convertstringtowstring(os.str());
  add(se_exception_info(static_cast<long>(0x800300FD), text, text), false);
}
void se_exception_initializer::LogEventMessage(se_translator::exception&, const se_exception_info&,
                                               const std::wstring&, bool) {}
void se_exception_initializer::HandleNonContinuableExceptionFlag(se_translator::exception&,
                                                                 const se_exception_info&) {}

void Add_se_exception_info(se_exception_initializer& initializer, unsigned long code,
                           const std::wstring& context, const std::wstring& message) {
  initializer.add(se_exception_initializer::se_exception_info(static_cast<long>(code), context,
                                                              message),
                  true);
}

}  // namespace krCore
