#include "host/Exception.h"

#include <utility>

namespace host {

Exception::Exception(String message) : message_(std::move(message)), utf8_(ToUtf8(message_)) {}

} // namespace host
