// A device on the simulated I/O bus: a window of 16-bit ports and one
// level-sensitive interrupt line.
#ifndef MIREL_SIM_IO_DEVICE_H
#define MIREL_SIM_IO_DEVICE_H

#include <cstdint>

namespace sim {

class IoDevice {
  public:
    virtual ~IoDevice() = default;
    // `offset` is the byte offset of the port inside the device's window.
    virtual std::uint16_t ReadPort(std::uint32_t offset) = 0;
    virtual void WritePort(std::uint32_t offset, std::uint16_t value) = 0;
    // Level of the interrupt line right now.
    virtual bool InterruptAsserted() const = 0;
};

}  // namespace sim

#endif  // MIREL_SIM_IO_DEVICE_H
