#include "app/device_gateway.h"

namespace tessaline {

std::shared_ptr<DeviceGateway> MakePlatformDeviceGateway() {
    return nullptr;
}

}  // namespace tessaline
