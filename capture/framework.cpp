#include "capture/framework.h"

namespace tessaline {

uint32_t Unknown::AddRef() noexcept {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t Unknown::Release() noexcept {
    const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

}  // namespace tessaline
