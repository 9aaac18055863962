#include "stream/stream_context.h"

namespace tessaline {

StreamContext::StreamContext() : live(*this) {}

}  // namespace tessaline
