#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaline {

// Where finished program stream bytes go: the recording file, a buffered file writer, or a test.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual void Put(const uint8_t* bytes, size_t count) = 0;
};

}  // namespace tessaline
